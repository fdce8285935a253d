#include "platform/send_side.h"

#include "platform/winsock_os.h"

#include <QSocketNotifier>

#include <utility>

SendSide::SendSide(qintptr fd, QObject *parent)
    : QObject(parent), m_fd(fd), m_notifier(new QSocketNotifier(fd, QSocketNotifier::Write, this))
{
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        if (const qint64 taken = drain(); taken > 0)
            emit bytesWritten(taken);
    });
}

SendSide::~SendSide()
{
    close();
}

void SendSide::close()
{
    m_notifier->setEnabled(false); // before its descriptor goes
    winsock_os::closeDescriptor(std::exchange(m_fd, -1));
    m_pending.clear();
}

bool SendSide::write(const QByteArray &data)
{
    if (!isOpen())
        return false;
    m_pending += data;
    drain();
    return isOpen();
}

qint64 SendSide::drain()
{
    qint64 taken = 0;
    while (isOpen() && taken < m_pending.size()) {
        const qint64 n = winsock_os::sendSome(m_fd, m_pending.constData() + taken,
                                              m_pending.size() - taken);
        if (n < 0)
            m_broken = true;
        if (n <= 0)
            break;
        taken += n;
    }
    m_pending.remove(0, taken);
    if (m_broken)
        m_pending.clear();
    m_notifier->setEnabled(isOpen() && !m_pending.isEmpty());
    return taken;
}
