#include "support/pty_device.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::PtyDevice(QObject *parent) : QObject(parent)
{
    char name[128] = {};
    if (::openpty(&m_master, &m_slaveKeeper, name, nullptr, nullptr) != 0) {
        m_master = m_slaveKeeper = -1;
        return;
    }
    termios raw {};
    ::tcgetattr(m_master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
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
}

void PtyDevice::send(const QByteArray &bytes)
{
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
    delete std::exchange(m_readNotifier, nullptr);
    delete std::exchange(m_writeNotifier, nullptr);
    // The keeper goes too, else the slave would stay valid through it and
    // the hub would never see the device go.
    for (int *fd : {&m_master, &m_slaveKeeper}) {
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    }
}

void PtyDevice::readMaster()
{
    char buffer[65536];
    ssize_t n = 0;
    const qsizetype before = m_received.size();
    while (m_master >= 0 && ((n = ::read(m_master, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        m_received.append(buffer, qMax<ssize_t>(n, 0)); // stops at EAGAIN, or EIO while no slave is open
    if (m_received.size() > before)
        emit bytesReceived();
}

void PtyDevice::writeMaster()
{
    ssize_t n = 0;
    qsizetype written = 0;
    while (m_master >= 0 && written < m_outgoing.size()
           && ((n = ::write(m_master, m_outgoing.constData() + written, size_t(m_outgoing.size() - written))) > 0
               || (n < 0 && errno == EINTR)))
        written += qMax<ssize_t>(n, 0);
    m_outgoing.remove(0, written); // what was written goes, so a long stream fed in parts stays small
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_outgoing.isEmpty());
}
