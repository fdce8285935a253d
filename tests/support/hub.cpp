#include "support/hub.h"

#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/relay_core.h"
#include "support/wait_until.h"

Peer::Peer(QTcpSocket *socket) : socket(socket)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this] { received += this->socket->readAll(); });
}

TestHub::TestHub()
{
    config.pinPorts({{SerialPort, device.slavePath()}});
    core = std::make_unique<RelayCore>(boxes, config.dir());
}

TestHub::~TestHub() = default;

std::unique_ptr<Peer> TestHub::connectToListener(int index, int receiveBuffer)
{
    Control *portField = core->endpoint(index).portField;
    portField->setText(QStringLiteral("0"));
    pressListener(index, 0);
    Winsock &socket = *core->Winsock1[std::size_t(index)];
    if (socket.State() != Winsock::sckListening)
        return nullptr;
    auto peer = std::make_unique<Peer>(new QTcpSocket);
    if (receiveBuffer > 0)
        peer->socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
    peer->socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(socket.LocalPort()));
    if (!waitUntil([&] { return socket.State() == Winsock::sckConnected; }))
        return nullptr;
    return peer;
}

std::unique_ptr<Peer> TestHub::connectForwarder(int index, QTcpServer &server)
{
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost, 0))
        return nullptr;
    const RelayCore::Endpoint &forwarder = core->endpoint(index);
    forwarder.hostField->setText(QStringLiteral("127.0.0.1"));
    forwarder.portField->setText(QString::number(server.serverPort()));
    core->Command3_Click(forwarderButton(index, true));
    if (!server.waitForNewConnection(5000))
        return nullptr;
    auto peer = std::make_unique<Peer>(server.nextPendingConnection());
    Winsock &socket = *core->Winsock1[std::size_t(index)];
    if (!waitUntil([&] { return socket.State() == Winsock::sckConnected; }))
        return nullptr;
    return peer;
}

int TestHub::forwarderButton(int endpoint, bool connects)
{
    // The window's buttons, written out here rather than read from the
    // Command3 map, so a wrong map fails: Command3(0)/(1) connect/close the
    // software forwarder, Command3(3)/(2) the data-host forwarder.
    static constexpr int Connect[EndpointCount] = {-1, 0, -1, 3};
    static constexpr int Close[EndpointCount] = {-1, 1, -1, 2};
    return connects ? Connect[endpoint] : Close[endpoint];
}

void TestHub::pressListener(int endpoint, int button)
{
    if (core->endpoint(endpoint).role == EndpointRole::GatewayListener)
        core->Command1_Click(button);
    else
        core->Command5_Click(button);
}

bool TestHub::openSerial()
{
    core->ComPort = SerialPort;
    core->Command2_Click(0);
    return core->Com1->PortOpen();
}
