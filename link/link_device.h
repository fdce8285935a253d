#pragma once

#include "platform/line_settings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The local end of the link: a pseudo-terminal that an application opens as
// its serial device through a symbolic link, and that reports when the
// application changes the line. Its terminal runs with EXTPROC and its
// master in packet mode, so each termios change arrives on the master as a
// notice and is read back with tcgetattr on the terminal, which this object
// keeps open: the application may close and reopen the device at will.
//
// What a Linux pseudo-terminal keeps of a change: the speed, the stop bits,
// and the odd and mark/space bits of the parity. It forces 8 data bits and
// clears the parity-enable bit on every change, so the data size and even
// parity (against none) cannot be seen, and a break sent on it reaches
// nobody.
class LinkDevice : public QObject
{
    Q_OBJECT

public:
    // The line as the application set it, so far as it can be seen.
    struct Line {
        qint32 baudRate = 0;     // bit/s; 0 for a speed with no number known here
        QString stopBits;        // "1" or "2"
        // Odd, Mark or Space when the application set them; even parity and
        // none look alike on a pseudo-terminal.
        bool parityShown = false;
        LineSettings::Parity parity = LineSettings::Parity::None;

        friend bool operator==(const Line &, const Line &) = default;
    };

    explicit LinkDevice(QObject *parent = nullptr);
    ~LinkDevice() override;

    LinkDevice(const LinkDevice &) = delete;
    LinkDevice &operator=(const LinkDevice &) = delete;

    // Makes the pseudo-terminal and the symbolic link `path` to it. A
    // symbolic link already there (left by a run that was killed) is
    // replaced; anything else there, or a folder that is missing or cannot
    // be written, fails. Returns empty on success, else why it failed.
    [[nodiscard]] QString create(const QString &path);

    // Removes the symbolic link if it still points to this device.
    void removeLink();

    [[nodiscard]] QString terminalPath() const { return m_terminalPath; }

    // The line in effect on the terminal now.
    [[nodiscard]] Line line() const;
    // Puts `line` on the terminal as far as it can show it (a speed without
    // a termios code stays as it is; parity only as its odd and mark/space
    // bits). Raises lineChanged() like a change by the application.
    void setLine(const Line &line);

    // Queues bytes for the application; written as the terminal takes them.
    void write(const QByteArray &bytes);
    [[nodiscard]] qint64 bytesToWrite() const { return m_outgoing.size(); }

    // Stops (false) or resumes reading what the application writes: its
    // writes then block once the terminal's buffer is full.
    void setReading(bool on);

signals:
    // Bytes the application wrote, in order.
    void dataRead(const QByteArray &bytes);
    // The application changed the termios; read line().
    void lineChanged();
    // Some queued bytes reached the terminal.
    void bytesWritten();

private:
    void readMaster();
    void writeMaster();
    void keepExtproc() const;

    int m_master = -1;
    int m_terminal = -1; // kept open so the device outlives the application's opens
    QString m_terminalPath;
    QString m_linkPath;
    QByteArray m_outgoing;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
};
