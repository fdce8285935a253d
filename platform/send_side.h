#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// The sending half of a connection whose peer closed only its own sending
// side. Qt's socket drops the whole connection once it reads the peer's end
// of stream, so Winsock keeps a second descriptor of every connection and
// goes on sending through this. Never blocks: what the OS does not take at
// once waits here and leaves as the connection drains.
class SendSide : public QObject
{
    Q_OBJECT

public:
    // Takes `fd` (a descriptor of the connection) over; closes it when
    // destroyed, dropping what still waits.
    explicit SendSide(qintptr fd, QObject *parent = nullptr);
    ~SendSide() override;

    SendSide(const SendSide &) = delete;
    SendSide &operator=(const SendSide &) = delete;

    // Queues `data` behind what waits and hands the OS what it takes now,
    // without waiting. False, taking nothing, once the connection refused
    // bytes (the peer had closed entirely): nothing waits any more and
    // nothing more is taken.
    [[nodiscard]] bool write(const QByteArray &data);
    // Closes the descriptor now, dropping what still waits. Safe inside a
    // handler of bytesWritten.
    void close();
    // False once the connection refused bytes, or after close().
    [[nodiscard]] bool isOpen() const { return m_fd >= 0 && !m_broken; }
    // Bytes queued and not yet taken by the OS.
    [[nodiscard]] qint64 bytesToWrite() const { return m_pending.size(); }
    [[nodiscard]] qintptr descriptor() const { return m_fd; }

signals:
    // The OS took `bytes`; emitted from the write notification only.
    void bytesWritten(qint64 bytes);

private:
    // Hands the OS what it takes now; what it took.
    qint64 drain();

    qintptr m_fd;
    bool m_broken = false;
    QByteArray m_pending;
    QSocketNotifier *m_notifier = nullptr;
};
