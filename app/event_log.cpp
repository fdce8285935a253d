#include "app/event_log.h"

#include "platform/log_scope.h"

#include "platform/config_location.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {
EventLog *g_current = nullptr; // the log Qt's message handler writes to

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg: return " warning";
    case QtCriticalMsg: return " critical";
    case QtFatalMsg: return " fatal";
    case QtDebugMsg: return " debug";
    case QtInfoMsg: break;
    }
    return "";
}
} // namespace

EventLog::EventLog(Options options) : m_options(std::move(options))
{
    Q_ASSERT(!g_current);
    g_current = this;
    m_previous = qInstallMessageHandler(&EventLog::handleMessage);
}

EventLog::~EventLog()
{
    qInstallMessageHandler(m_previous);
    g_current = nullptr;
}

QString EventLog::defaultFilePath()
{
    if (const QString service = quaylightServiceStateDir(); !service.isEmpty())
        return service + QStringLiteral("/quaylight.log");
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/quaylight/quaylight.log");
}

void EventLog::handleMessage(QtMsgType type, const QMessageLogContext &context,
                             const QString &text)
{
    if (!g_current)
        return;
    const QString category = QLatin1String(context.category ? context.category : "default")
        + QLatin1String(levelWord(type));
    // A hub of several names the device a line is about.
    const QString &hub = LogScope::current();
    g_current->write(category, hub.isEmpty() ? text : hub + QStringLiteral(": ") + text);
}

void EventLog::write(const QString &category, const QString &text)
{
    const QString stamped = QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
        + QLatin1Char(' ') + category + QStringLiteral(": ") + text;
    if (m_tap)
        m_tap(stamped);
    const QByteArray line = (stamped + QLatin1Char('\n')).toUtf8();
    if (m_options.toStderr) {
        std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
        std::fflush(stderr);
    }
    if (!m_options.filePath.isEmpty() && !m_fileFailed)
        writeToFile(line);
}

void EventLog::writeToFile(const QByteArray &line)
{
    if (m_file.isOpen() && m_file.size() + line.size() > m_options.rotateBytes)
        rotate();
    if (!m_file.isOpen()) {
        m_file.setFileName(m_options.filePath);
        QDir().mkpath(QFileInfo(m_options.filePath).absolutePath());
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            m_fileFailed = true;
            std::fprintf(stderr, "quaylight: warning: the log file %s cannot be written (%s); "
                                 "events are not kept\n",
                         qUtf8Printable(m_options.filePath), qUtf8Printable(m_file.errorString()));
            return;
        }
        if (m_file.size() + line.size() > m_options.rotateBytes && m_file.size() > 0) {
            rotate();
            writeToFile(line);
            return;
        }
    }
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        m_fileFailed = true;
        std::fprintf(stderr, "quaylight: warning: writing the log file %s failed (%s); "
                             "events are not kept\n",
                     qUtf8Printable(m_options.filePath), qUtf8Printable(m_file.errorString()));
    }
}

void EventLog::rotate()
{
    m_file.close();
    const QString base = m_options.filePath;
    const auto numbered = [&base](int n) { return base + QLatin1Char('.') + QString::number(n); };
    QFile::remove(numbered(m_options.keptFiles));
    for (int n = m_options.keptFiles - 1; n >= 1; --n)
        QFile::rename(numbered(n), numbered(n + 1));
    if (m_options.keptFiles > 0)
        QFile::rename(base, numbered(1));
    else
        QFile::remove(base);
}
