#include "relay/relay_core.h"

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/capture_file.h"
#include "relay/control.h"
#include "relay/flow_control.h"
#include "relay/handler_guard.h"
#include "relay/message_boxes.h"

#include <QCoreApplication>
#include <QTimer>

#include <functional>
#include <utility>

namespace {
const QString Harborcast = QStringLiteral("Harborcast");
const QString Startup = QStringLiteral("startup");
// Default host of both forwarders until the operator saves another.
const QString DefaultRemoteHost = QStringLiteral("192.168.1.100");

template <std::size_t N>
void makeControls(std::array<Control *, N> &controls, QObject *owner)
{
    for (Control *&control : controls)
        control = new Control(owner);
}
} // namespace

RelayCore::RelayCore(MessageBoxes &boxes, const QString &configDir, QObject *parent)
    : QObject(parent),
      m_boxes(&boxes),
      m_settings(configDir),
      m_ports(configDir),
      m_caption(QStringLiteral("Quaylight"))
{
    makeControls(Text1, this);
    makeControls(Text2, this);
    makeControls(Text4, this);
    makeControls(Command1, this);
    makeControls(Command5, this);
    Text3 = new Control(this);
    List3 = new Control(this);
    List4 = new Control(this);
    Command1[0]->setText(QStringLiteral("Listen"));
    Command1[1]->setText(QStringLiteral("Close"));
    Command5[0]->setText(QStringLiteral("Listen"));
    Command5[1]->setText(QStringLiteral("Close"));

    m_endpoints = {{
        {0, EndpointRole::GatewayListener, Text1[0], Text1[1], nullptr, &Command1, nullptr,
         QStringLiteral("LocalPort"), {}},
        {1, EndpointRole::SoftwareForwarder, Text2[0], Text2[2], Text2[1], nullptr,
         &SoftwareForwarderArmed, QStringLiteral("RemotePort"), QStringLiteral("RemoteHost")},
        {2, EndpointRole::ServerListener, Text4[0], Text4[2], nullptr, &Command5, &Server2Armed,
         QStringLiteral("LocalPort2"), {}},
        {3, EndpointRole::DataHostForwarder, Text2[5], Text2[3], Text2[4], nullptr,
         &DataHostForwarderArmed, QStringLiteral("RemotePort3"), QStringLiteral("RemoteHost3")},
    }};

    for (auto &socket : Winsock1)
        socket = new Winsock(this);
    Com1 = new SerialComm(m_ports, this);
    m_flow = new FlowControl(Winsock1, *Com1, this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(3000);
    Timer3 = new QTimer(this);

    connectEvents();
    Timer1->start();
    Form_Load();
}

RelayCore::~RelayCore()
{
    releaseAll();
}

void RelayCore::connectEvents()
{
    for (int i = 0; i < EndpointCount; ++i) {
        Winsock *socket = Winsock1[std::size_t(i)];
        connect(socket, &Winsock::ConnectionRequest, this, [this, i](qint32 requestID) {
            runHandler("Winsock1_ConnectionRequest", [&] { Winsock1_ConnectionRequest(i, requestID); });
        });
        connect(socket, &Winsock::Connected, this,
                [this, i] { runHandler("Winsock1_Connect", [&] { Winsock1_Connect(i); }); });
        connect(socket, &Winsock::DataArrival, this, [this, i](qint64 bytesTotal) {
            runHandler("Winsock1_DataArrival", [&] { Winsock1_DataArrival(i, bytesTotal); });
        });
        connect(socket, &Winsock::PeerClosed, this,
                [this, i] { runHandler("Winsock1_Close", [&] { Winsock1_Close(i); }); });
        connect(socket, &Winsock::Error, this, [this, i](int number, const QString &text) {
            runHandler("Winsock1_Error", [&] { Winsock1_Error(i, number, text); });
        });
        connect(socket, &Winsock::PeerRefused, this, [i](const QString &address, quint16 port) {
            qCWarning(lcNet, "endpoint %d: peer %s:%u refused, not in AllowedPeers", i,
                      qUtf8Printable(address), unsigned(port));
        });
    }
    connect(Com1, &SerialComm::OnComm, this,
            [this] { runHandler("Com1_OnComm", [&] { Com1_OnComm(); }); });
    connect(Com1, &SerialComm::DeliveryEnded, this, [this] {
        runHandler("serial delivery ended", [&] {
            for (int destination : routeFrom(SerialNode))
                Winsock1[std::size_t(destination)]->setGathering(false);
        });
    });
    connect(m_flow, &FlowControl::destinationStalled, this, [this](int index, const QString &why) {
        runHandler("stalled destination", [&] { dropDestination(index, why); });
    });
    connect(m_flow, &FlowControl::destinationOverflowed, this, [this](int index) {
        runHandler("overflowing destination", [&] {
            dropDestination(index, QStringLiteral("fell %1 KiB behind the serial port")
                                       .arg(m_flow->limits().serialQueueLimit / 1024));
        });
    });
    connect(Timer1, &QTimer::timeout, this,
            [this] { runHandler("Timer1_Timer", [&] { Timer1_Timer(); }); });
}

void RelayCore::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    emit captionChanged(caption);
}

void RelayCore::Form_Load()
{
    const auto stored = [this](const QString &key, const QString &fallback) {
        return m_settings.read(Harborcast, Startup, key, fallback);
    };
    Text4[1]->setText(QStringLiteral("127.0.0.1"));
    Text1[0]->setText(stored(QStringLiteral("LocalPort"), QStringLiteral("8080")));
    Text4[0]->setText(stored(QStringLiteral("LocalPort2"), QStringLiteral("8080")));
    Text2[1]->setText(stored(QStringLiteral("RemoteHost"), DefaultRemoteHost));
    Text2[0]->setText(stored(QStringLiteral("RemotePort"), QStringLiteral("80")));
    Text2[4]->setText(stored(QStringLiteral("RemoteHost3"), DefaultRemoteHost));
    Text2[5]->setText(stored(QStringLiteral("RemotePort3"), QStringLiteral("80")));
    QStringList complaints;
    m_line = LineSettings::load(m_settings, &complaints);
    m_storedLine = m_line;
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcSerial, "%s", qUtf8Printable(complaint));
    BaudRate = m_line.baudRate;
    complaints.clear();
    m_network = NetworkSettings::load(m_settings, &complaints);
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcNet, "%s", qUtf8Printable(complaint));
    applyNetwork();
}

void RelayCore::applyNetwork()
{
    const QList<QHostAddress> addresses = m_network.listenAddresses();
    const PeerFilter filter = m_network.peerFilter(nullptr);
    qCInfo(lcNet, "allowed peers: %s", qUtf8Printable(filter.describe()));
    for (int index : {0, 2}) {
        Winsock &socket = *Winsock1[std::size_t(index)];
        socket.setLocalAddresses(addresses);
        if (filter.allowsEveryone())
            socket.setPeerFilter({});
        else
            socket.setPeerFilter([filter](const QHostAddress &peer) { return filter.allows(peer); });
    }
}

bool RelayCore::setNetworkSettings(const NetworkSettings &network, bool persist)
{
    if (const QString problem = network.problem(); !problem.isEmpty()) {
        qCWarning(lcNet, "%s", qUtf8Printable(problem));
        m_boxes->show(problem, MessageBoxes::Buttons::Ok);
        return false;
    }
    m_network = network;
    applyNetwork();
    if (persist) {
        try {
            m_network.save(m_settings);
        } catch (const ComponentError &error) {
            qCWarning(lcApp, "the network settings could not be stored: %s", error.what());
        }
    }
    qCInfo(lcNet, "listen address %s%s", qUtf8Printable(m_network.listenAddress),
           m_network.rfc2217 ? ", RFC 2217 on the TCP/IP Server" : "");
    return true;
}

bool RelayCore::startCapture(const QString &path, qint64 limit, QString *error)
{
    auto file = std::make_unique<CaptureFile>();
    if (!file->open(path, limit, error))
        return false;
    m_capture = std::move(file);
    qCInfo(lcApp, "capture to %s started (limit %lld bytes)", qUtf8Printable(path), limit);
    emit captureChanged(true);
    return true;
}

void RelayCore::stopCapture()
{
    if (!m_capture)
        return;
    qCInfo(lcApp, "capture to %s stopped", qUtf8Printable(m_capture->path()));
    m_capture.reset();
    emit captureChanged(false);
}

void RelayCore::capture(int source, std::span<const int> served, const QByteArray &chunk)
{
    QString why;
    if (m_capture->record(source, served, chunk, &why))
        return;
    qCWarning(lcApp, "capture to %s stopped: %s", qUtf8Printable(m_capture->path()),
              qUtf8Printable(why));
    m_capture.reset();
    emit captureChanged(false);
}

void RelayCore::saveSetting(const QString &application, const QString &key, const QString &value)
{
    try {
        m_settings.write(application, Startup, key, value);
    } catch (const ComponentError &error) {
        // The tick saves the second server's port every 3 s: once is enough.
        if (m_unsaved.contains(error.text()))
            return;
        m_unsaved.append(error.text());
        qCWarning(lcApp, "settings not saved, going on without: %s", qUtf8Printable(error.text()));
        if (m_unsaved.size() == 1)
            m_boxes->tell(QStringLiteral("The settings could not be saved (%1). Quaylight goes on "
                                         "without saving them.")
                              .arg(error.text()));
    }
}

MessageBoxes &RelayCore::setBoxes(MessageBoxes &boxes)
{
    return *std::exchange(m_boxes, &boxes);
}

RelayCore::Session RelayCore::currentSession() const
{
    Session session;
    session.comPort = Com1->PortOpen() ? Com1->CommPort() : 0;
    session.server2 = Server2Armed;
    session.forwarder1 = SoftwareForwarderArmed;
    session.forwarder3 = DataHostForwarderArmed;
    return session;
}

void RelayCore::noteSession()
{
    const QString section = QStringLiteral("session");
    if (m_settings.read(Harborcast, section, QStringLiteral("Restore"), QString()) != QLatin1String("true"))
        return;
    if (m_restoringSession) {
        qCInfo(lcApp, "the session is not noted: its restore did not finish");
        return;
    }
    const Session session = currentSession();
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    try {
        m_settings.write(Harborcast, section, QStringLiteral("ComPort"), QString::number(session.comPort));
        m_settings.write(Harborcast, section, QStringLiteral("Server2"), flag(session.server2));
        m_settings.write(Harborcast, section, QStringLiteral("Forwarder1"), flag(session.forwarder1));
        m_settings.write(Harborcast, section, QStringLiteral("Forwarder3"), flag(session.forwarder3));
    } catch (const ComponentError &error) {
        qCWarning(lcApp, "the session could not be noted: %s", error.what());
    }
}

QString RelayCore::applyToOpenPort(const LineSettings &line)
{
    // One setting at a time, so that a refusal names the one refused.
    const QString before = Com1->Settings();
    const int flowBefore = Com1->FlowControl();
    const struct {
        QString name;
        QString value;
        std::function<void(LineSettings &)> take;
    } steps[] = {
        {QStringLiteral("baud rate"), QString::number(line.baudRate),
         [&](LineSettings &s) { s.baudRate = line.baudRate; }},
        {QStringLiteral("data bits"), QString::number(line.dataBits),
         [&](LineSettings &s) { s.dataBits = line.dataBits; }},
        {QStringLiteral("parity"), LineSettings::parityText(line.parity),
         [&](LineSettings &s) { s.parity = line.parity; }},
        {QStringLiteral("stop bits"), line.stopBits,
         [&](LineSettings &s) { s.stopBits = line.stopBits; }},
        {QStringLiteral("flow control"), LineSettings::flowText(line.flowControl),
         [&](LineSettings &s) { s.flowControl = line.flowControl; }},
    };
    LineSettings step = m_line;
    for (const auto &change : steps) {
        change.take(step);
        try {
            Com1->setSettings(step.commSettings());
            Com1->setFlowControl(step.commFlowControl());
        } catch (const ComponentError &) {
            // What was taken before this step goes back too.
            try {
                Com1->setSettings(before);
                Com1->setFlowControl(flowBefore);
            } catch (const ComponentError &) {
                // It had these a moment ago; nothing better to go back to.
            }
            qCWarning(lcSerial, "the serial port refused %s %s", qUtf8Printable(change.name),
                      qUtf8Printable(change.value));
            return QStringLiteral("the %1 %2").arg(change.name, change.value);
        }
    }
    // A device without modem lines (a pseudo-terminal) keeps these for the
    // next open; that is no refusal.
    (void)Com1->setDTREnable(line.dtr);
    (void)Com1->setRTSEnable(line.rts);
    return {};
}

void RelayCore::takeLine(const LineSettings &line, const char *by)
{
    const bool changed = !(line == m_line);
    m_line = line;
    BaudRate = line.baudRate;
    if (changed) {
        qCInfo(lcSerial, "line settings%s: %s", by, qUtf8Printable(m_line.describe()));
        emit lineSettingsChanged();
    }
}

bool RelayCore::setLineSettings(const LineSettings &line, bool persist)
{
    if (Com1->PortOpen()) {
        if (const QString refused = applyToOpenPort(line); !refused.isEmpty()) {
            m_boxes->show(QStringLiteral("The serial port refused %1. It keeps its settings.")
                              .arg(refused),
                          MessageBoxes::Buttons::Ok);
            return false;
        }
    }
    m_storedLine = line;
    if (persist) {
        try {
            line.save(m_settings);
        } catch (const ComponentError &error) {
            qCWarning(lcApp, "the line settings could not be stored: %s", error.what());
        }
    }
    takeLine(line, "");
    return true;
}

bool RelayCore::setLineFromPeer(const LineSettings &line)
{
    if (!Com1->PortOpen() || !applyToOpenPort(line).isEmpty())
        return false;
    takeLine(line, " (set by the RFC 2217 peer)");
    return true;
}

void RelayCore::releaseAll()
{
    if (Com1 && Com1->PortOpen()) {
        Com1->closeHandingOver();
        qCInfo(lcSerial, "COM port %d closed", Com1->CommPort());
    }
    for (Winsock *socket : Winsock1) {
        if (socket && socket->State() != Winsock::sckClosed)
            socket->Close();
    }
}

void RelayCore::mnuExit_Click()
{
    // A second Exit (another signal during this one's pass) finds all
    // closed: noting that would lose the session noted a moment ago.
    if (!std::exchange(m_ended, true))
        noteSession();
    releaseAll();
    DoEvents();
    emit programEnded();
}

void RelayCore::dropDestination(int index, const QString &why)
{
    const qint64 held = Winsock1[std::size_t(index)]->BytesToSend();
    ++m_counters.droppedDestinations;
    m_counters.droppedBytes += quint64(held);
    qCWarning(lcNet, "endpoint %d dropped with %lld bytes unsent: it %s", index, held,
              qUtf8Printable(why));
    // A reset, not a clean end: the peer must not take a cut stream for a
    // complete one.
    Winsock1[std::size_t(index)]->Abort();
    Winsock1_Error(index, WinsockCode::TimedOut, why);
}

void RelayCore::DoEvents()
{
    QCoreApplication::processEvents();
}
