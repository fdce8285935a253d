#include "support/loopback.h"

#include <QTcpServer>

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        qFatal("no free TCP port on this machine");
    return probe.serverPort();
}
