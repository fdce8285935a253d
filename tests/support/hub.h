#pragma once

#include "support/pty_device.h"
#include "support/scripted_message_boxes.h"
#include "support/test_config.h"

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class RelayCore;

// A TCP peer of the hub: keeps everything it receives.
class Peer : public QObject
{
    Q_OBJECT

public:
    // Takes `socket` over.
    explicit Peer(QTcpSocket *socket);

    QTcpSocket *const socket;
    QByteArray received;

    void send(const QByteArray &bytes) { socket->write(bytes); }
};

// The relay core under test: a private config folder, a pseudo-terminal
// pinned as serial port SerialPort, scripted message boxes. Helpers drive it
// through its handlers as an operator would; they return nothing (null,
// false) when a step did not work, for the test to check.
class TestHub
{
public:
    static constexpr int SerialPort = 4;

    TestHub();
    ~TestHub();

    TestConfig config;
    PtyDevice device;
    ScriptedMessageBoxes boxes;
    std::unique_ptr<RelayCore> core;

    // Listener `index` (0 or 2) listens on a port the OS picks (its Listen
    // button), and a peer connects to it (with that kernel receive buffer
    // size, when given).
    [[nodiscard]] std::unique_ptr<Peer> connectToListener(int index, int receiveBuffer = 0);
    // Forwarder `index` (1 or 3) connects to `server` (its Connect button);
    // returns the server's side of the connection.
    [[nodiscard]] std::unique_ptr<Peer> connectForwarder(int index, QTcpServer &server);
    // The Command3 button that connects (or closes) forwarder `endpoint`.
    [[nodiscard]] static int forwarderButton(int endpoint, bool connects);
    // Presses button `button` (0 Listen, 1 Close) of listener `endpoint`.
    void pressListener(int endpoint, int button);
    // Selects SerialPort and presses Open.
    [[nodiscard]] bool openSerial();
};
