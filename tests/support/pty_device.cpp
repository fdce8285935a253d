#include "support/pty_device.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::PtyDevice(QObject *parent) : QObject(parent)
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw {};
    ::tcgetattr(master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slaveKeeper = slave;
    m_slavePath = QString::fromLocal8Bit(name);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyDevice::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyDevice::writeMaster);
}

PtyDevice::~PtyDevice()
{
    vanish();
    if (m_slaveKeeper >= 0)
        ::close(m_slaveKeeper);
}

QByteArray PtyDevice::takeReceived()
{
    QByteArray out;
    out.swap(m_received);
    return out;
}

void PtyDevice::send(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    m_outgoing.append(bytes);
    writeMaster();
}

void PtyDevice::setReading(bool on)
{
    if (m_readNotifier)
        m_readNotifier->setEnabled(on);
    if (on)
        readMaster();
}

void PtyDevice::vanish()
{
    if (m_master < 0)
        return;
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    ::close(m_master);
    m_master = -1;
    // Without this the slave would stay valid through the keeper descriptor
    // and the hub would never see the device go.
    if (m_slaveKeeper >= 0) {
        ::close(m_slaveKeeper);
        m_slaveKeeper = -1;
    }
}

void PtyDevice::readMaster()
{
    if (m_master < 0)
        return;
    char buffer[65536];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            m_received.append(buffer, n);
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN, or EIO while no slave is open
    }
    if (any)
        emit bytesReceived();
}

void PtyDevice::writeMaster()
{
    if (m_master < 0)
        return;
    while (m_outOffset < m_outgoing.size()) {
        const ssize_t n = ::write(m_master, m_outgoing.constData() + m_outOffset,
                                  size_t(m_outgoing.size() - m_outOffset));
        if (n > 0) {
            m_outOffset += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    // What was written goes, so a long stream fed in parts stays small.
    if (m_outOffset > 0) {
        m_outgoing.remove(0, m_outOffset);
        m_outOffset = 0;
    }
    m_writeNotifier->setEnabled(m_outOffset < m_outgoing.size());
}
