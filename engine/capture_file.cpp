#include "engine/capture_file.h"

#include "engine/byte_counters.h"

#include <QDateTime>
#include <QStringList>

bool CaptureFile::open(const QString &path, qint64 limit, QString *error)
{
    m_file.close();
    m_file.setFileName(path);
    m_limit = limit;
    // Unbuffered: each record goes to the system as it is made, so `less`
    // shows it while it grows and a failed write is the record's own.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

QByteArray CaptureFile::dump(const QByteArray &bytes)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve((bytes.size() / 16 + 1) * 78);
    for (qsizetype row = 0; row < bytes.size(); row += 16) {
        const qsizetype n = qMin<qsizetype>(16, bytes.size() - row);
        out += "  " + QByteArray::number(row, 16).rightJustified(8, '0') + "  ";
        for (qsizetype i = 0; i < 16; ++i) {
            if (i < n) {
                const auto b = quint8(bytes[row + i]);
                out += hex[b >> 4];
                out += hex[b & 0xF];
                out += ' ';
            } else {
                out += "   ";
            }
            if (i == 7)
                out += ' ';
        }
        out += " |";
        for (qsizetype i = 0; i < n; ++i) {
            const char c = bytes[row + i];
            out += (c >= 0x20 && c < 0x7F) ? c : '.';
        }
        out += "|\n";
    }
    return out;
}

bool CaptureFile::record(int source, std::span<const int> destinations, const QByteArray &chunk,
                         QString *why)
{
    if (!m_file.isOpen())
        return false;
    QStringList to;
    for (int destination : destinations)
        to.append(ByteCounters::nodeName(destination));
    const QByteArray text = (QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
                             + QLatin1Char(' ') + ByteCounters::nodeName(source)
                             + QStringLiteral(" -> ")
                             + (to.isEmpty() ? QStringLiteral("(nobody)") : to.join(QStringLiteral(", ")))
                             + QStringLiteral(", %1 bytes\n").arg(chunk.size()))
                                .toUtf8()
        + dump(chunk);
    if (m_file.size() + text.size() > m_limit) {
        if (why)
            *why = QStringLiteral("the capture reached its limit of %1 bytes").arg(m_limit);
        m_file.close();
        return false;
    }
    // A write the full disk cut short says nothing; the next one, of the
    // rest, gets the system's reason ("No space left on device").
    for (qint64 done = 0; done < text.size();) {
        const qint64 written = m_file.write(text.constData() + done, text.size() - done);
        if (written <= 0) {
            if (why)
                *why = QStringLiteral("writing the capture failed: ") + m_file.errorString();
            m_file.close();
            return false;
        }
        done += written;
    }
    return true;
}
