#pragma once

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <functional>

// The event log: every message of the program becomes one line with an ISO
// 8601 local timestamp (milliseconds) and its category, written to a file
// that is rotated at a size limit (quaylight.log, .1, .2, .3) and, in
// headless mode, to stderr as well. A file that cannot be written costs one
// warning on stderr and nothing else.
//
// Qt's message handler is process-wide: the one EventLog alive receives all
// messages while it exists (Qt's own handler is back once it is gone).
class EventLog
{
public:
    struct Options {
        QString filePath;        // empty: no file
        bool toStderr = false;
        qint64 rotateBytes = 1024 * 1024;
        int keptFiles = 3;
    };

    explicit EventLog(Options options);
    ~EventLog();

    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // Writes one line (a timestamp and category are added).
    void write(const QString &category, const QString &text);

    // Also hands every line (without its line end) to `tap`, on the thread
    // that logged it; none by default.
    void setTap(std::function<void(const QString &line)> tap) { m_tap = std::move(tap); }

    // quaylight.log in the service's state folder under systemd
    // (StateDirectory=), else $XDG_STATE_HOME/quaylight/quaylight.log,
    // ~/.local/state/... when unset.
    [[nodiscard]] static QString defaultFilePath();

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &text);
    void writeToFile(const QByteArray &line);
    void rotate();

    Options m_options;
    QFile m_file;
    bool m_fileFailed = false;
    QtMessageHandler m_previous = nullptr;
    std::function<void(const QString &)> m_tap;
};
