#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <array>

class QTimer;
class SerialComm;
class Winsock;

// Back-pressure for the relay. A destination whose unsent bytes pass its
// high mark is congested until they drain below the low mark; while one is,
// every source whose chunks go to it stops reading (the sockets' and the
// device's own flow control then holds the senders), so nothing is dropped
// and no buffer grows without bound. A socket destination that makes no
// progress at all for the stall time while congested is reported, so one dead
// receiver cannot hold the hub forever.
//
// Routes mirror the relay: gateway (0) -> 1, 2, 3; 1, 2, 3 -> 0; every socket
// -> serial; serial -> 0, 1, 2.
class FlowControl : public QObject
{
    Q_OBJECT

public:
    struct Limits {
        qint64 serialHigh = 64 * 1024;
        qint64 serialLow = 32 * 1024;
        qint64 socketHigh = 256 * 1024;
        qint64 socketLow = 128 * 1024;
        int stallMs = 30000;
    };

    // `sockets` and `serial` must outlive this object.
    FlowControl(const std::array<Winsock *, 4> &sockets, SerialComm &serial,
                QObject *parent = nullptr);

    void setLimits(const Limits &limits);
    [[nodiscard]] const Limits &limits() const { return m_limits; }

    // Re-reads every destination's backlog and pauses or resumes the sources.
    // Cheap; called after each relayed chunk and on every write progress.
    void update();

    // True while socket `index` (0..3) or the serial port is congested.
    [[nodiscard]] bool socketCongested(int index) const { return m_socketCongested[size_t(index)]; }
    [[nodiscard]] bool serialCongested() const { return m_serialCongested; }

signals:
    // Socket destination `index` made no progress for the stall time while
    // it held others back; the owner should drop it.
    void destinationStalled(int index);

private:
    void onSocketProgress(int index);
    void checkStalls();

    const std::array<Winsock *, 4> &m_sockets;
    SerialComm &m_serial;
    Limits m_limits;
    std::array<bool, 4> m_socketCongested {};
    bool m_serialCongested = false;
    std::array<QElapsedTimer, 4> m_lastProgress {};
    QTimer *m_watch = nullptr; // runs while anything is congested
};
