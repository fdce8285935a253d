#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <utility>

class QSocketNotifier;

// A pseudo-terminal standing in for a serial device. The hub opens the slave
// path as a numbered port; the test reads and writes the master, in raw mode.
// Reading and writing run from the event loop, so a test that waits with
// QTRY_* or QSignalSpy::wait keeps both the hub and the device moving.
class PtyDevice : public QObject
{
    Q_OBJECT

public:
    explicit PtyDevice(QObject *parent = nullptr);
    ~PtyDevice() override;

    [[nodiscard]] QString slavePath() const { return m_slavePath; }
    [[nodiscard]] int masterFd() const { return m_master; }

    // Bytes the hub wrote to the device so far (takeReceived: and forgets them).
    [[nodiscard]] const QByteArray &received() const { return m_received; }
    [[nodiscard]] QByteArray takeReceived() { return std::exchange(m_received, {}); }

    // Queues bytes for the hub to read; written as the pty accepts them.
    void send(const QByteArray &bytes);
    [[nodiscard]] qint64 pendingToSend() const { return m_outgoing.size(); }

    // Stops (false) or resumes (true) reading the master, to stall the hub.
    void setReading(bool on);

    // Closes the master: the device vanishes for whoever holds the slave.
    void vanish();

signals:
    void bytesReceived();

private:
    void readMaster();
    void writeMaster();

    int m_master = -1;
    int m_slaveKeeper = -1; // keeps the pty alive while the hub closes and reopens
    QString m_slavePath;
    QByteArray m_received;
    QByteArray m_outgoing;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
};
