#include "relay/relay_core.h"

#include "engine/flow_control.h"
#include "engine/router.h"
#include "engine/serial_bridge.h"
#include "engine/socket_endpoint.h"
#include "platform/component_error.h"
#include "platform/handler_guard.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/message_boxes.h"

#include <QCoreApplication>

#include <functional>
#include <QTimer>

#include <utility>

namespace {
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
      m_engine(new Hub(configDir, this)),
      SoftwareForwarderArmed(m_engine->endpoint(endpointOf(EndpointRole::SoftwareForwarder)).armed),
      DataHostForwarderArmed(m_engine->endpoint(endpointOf(EndpointRole::DataHostForwarder)).armed),
      Server2Armed(m_engine->endpoint(endpointOf(EndpointRole::ServerListener)).armed),
      m_boxes(&boxes),
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

    // Which controls show which endpoint row.
    const struct {
        Control *portField;
        Control *statusField;
        Control *hostField;
        std::array<Control *, 2> *buttons;
    } shows[EndpointCount] = {
        {Text1[0], Text1[1], nullptr, &Command1},
        {Text2[0], Text2[2], Text2[1], nullptr},
        {Text4[0], Text4[2], nullptr, &Command5},
        {Text2[5], Text2[3], Text2[4], nullptr},
    };
    for (const EndpointRow &row : EndpointRows) {
        const auto &controls = shows[row.index];
        SocketEndpoint &endpoint = m_engine->endpoint(row.index);
        m_endpoints[std::size_t(row.index)] = {
            row.index, row.role, &row, controls.portField, controls.statusField, controls.hostField,
            controls.buttons, row.rearm == Rearm::Never ? nullptr : &endpoint.armed,
            QLatin1String(row.portKey), row.hostKey ? QLatin1String(row.hostKey) : QString()};
        Winsock1[std::size_t(row.index)] = &endpoint.socket();
    }
    Com1 = &m_engine->serial().comm();

    Timer1 = new QTimer(this);
    Timer1->setInterval(3000);
    Timer3 = new QTimer(this);

    connectEvents();
    Timer1->start();
    Form_Load();
}

RelayCore::~RelayCore()
{
    m_engine->releaseAll();
}

void RelayCore::connectEvents()
{
    for (int i = 0; i < EndpointCount; ++i) {
        Winsock *socket = Winsock1[std::size_t(i)];
        connect(socket, &Winsock::ConnectionRequest, this, [this, i](qint32 requestID) {
            runHandler("Winsock1_ConnectionRequest", [&] { Winsock1_ConnectionRequest(i, requestID); });
        });
        connect(socket, &Winsock::Connected, this,
                [this, i] {
                    logSecurity(i);
                    runHandler("Winsock1_Connect", [&] { Winsock1_Connect(i); });
                });
        connect(socket, &Winsock::DataArrival, this, [this, i](qint64 bytesTotal) {
            runHandler("Winsock1_DataArrival", [&] { Winsock1_DataArrival(i, bytesTotal); });
        });
        connect(socket, &Winsock::PeerClosed, this,
                [this, i] { runHandler("Winsock1_Close", [&] { Winsock1_Close(i); }); });
        connect(socket, &Winsock::Error, this, [this, i](int number, const QString &text) {
            runHandler("Winsock1_Error", [&] { Winsock1_Error(i, number, text); });
        });
        connect(socket, &Winsock::PeerRefused, this, [i](const QString &address, quint16 port) {
            qCWarning(lcNet, "%s: peer %s:%u refused, not in AllowedPeers", endpointName(i),
                      qUtf8Printable(address), unsigned(port));
        });
        connect(socket, &Winsock::HandshakeFailed, this,
                [i](const QString &address, quint16 port, const QString &reason) {
                    qCWarning(lcNet, "%s: peer %s:%u refused, TLS: %s", endpointName(i),
                              qUtf8Printable(address), unsigned(port), qUtf8Printable(reason));
                });
    }
    connect(Com1, &SerialComm::OnComm, this,
            [this] { runHandler("Com1_OnComm", [&] { Com1_OnComm(); }); });
    connect(m_engine, &Engine::destinationDropped, this, [this](int index, const QString &why) {
        Winsock1_Error(index, WinsockCode::TimedOut, why);
    });
    // Only a listener that goes on listening has peers of its own: the
    // caption counts them, the port field and state text show the endpoint.
    connect(m_engine, &Engine::peersChanged, this, [this](int index, int count) {
        const Endpoint &row = endpoint(index);
        const QString peers = QStringLiteral("%1: %2 %3")
                                  .arg(QLatin1String(row.row->name))
                                  .arg(count)
                                  .arg(count == 1 ? QStringLiteral("peer") : QStringLiteral("peers"));
        qCInfo(lcNet, "%s", qUtf8Printable(peers));
        setCaption(peers);
        row.statusField->setText(
            WinsockStateDisplay(quint8(m_engine->endpoint(index).state()), row.portField));
    });
    connect(&m_engine->serial(), &SerialBridge::lineChanged, this, [this] {
        BaudRate = m_engine->serial().line().baudRate;
        emit lineSettingsChanged();
    });
    connect(&m_engine->router(), &Router::captureChanged, this, &RelayCore::captureChanged);
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
    HubSettings &settings = m_engine->settings();
    Text4[1]->setText(QStringLiteral("127.0.0.1"));
    for (const Endpoint &endpoint : m_endpoints) {
        endpoint.portField->setText(
            settings.startupField(endpoint.portKey, QLatin1String(endpoint.row->portDefault)));
        if (endpoint.hostField)
            endpoint.hostField->setText(settings.startupField(endpoint.hostKey, DefaultRemoteHost));
    }
    QStringList complaints;
    const LineSettings line = settings.line(&complaints);
    m_engine->serial().setStoredLine(line);
    m_engine->serial().takeLine(line, "");
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcSerial, "%s", qUtf8Printable(complaint));
    BaudRate = line.baudRate;
    complaints.clear();
    const NetworkSettings network = settings.network(&complaints);
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcNet, "%s", qUtf8Printable(complaint));
    m_engine->setNetwork(network);
    complaints.clear();
    const TlsSettings tls = settings.tls(&complaints);
    for (const QString &complaint : std::as_const(complaints))
        qCWarning(lcNet, "%s", qUtf8Printable(complaint));
    (void)m_engine->setTls(tls); // nothing listens yet; the start logs the rules in effect
    for (const QString &problem : settings.problems())
        qCWarning(lcApp, "%s", qUtf8Printable(problem));
}

const LineSettings &RelayCore::lineSettings() const
{
    return m_engine->serial().line();
}

bool RelayCore::takeSettings(const QString &problem, const char *what,
                             const std::function<void()> &apply, const std::function<void()> &store)
{
    if (!problem.isEmpty()) {
        qCWarning(lcNet, "%s", qUtf8Printable(problem));
        m_boxes->show(problem, MessageBoxes::Buttons::Ok);
        return false;
    }
    apply();
    if (store) {
        try {
            store();
        } catch (const ComponentError &error) {
            qCWarning(lcApp, "the %s settings could not be stored: %s", what, error.what());
        }
    }
    return true;
}

bool RelayCore::setNetworkSettings(const NetworkSettings &network, bool persist)
{
    if (!takeSettings(network.problem(), "network", [&] { m_engine->setNetwork(network); },
                      persist ? std::function<void()>([&] { m_engine->settings().setNetwork(network); })
                              : nullptr))
        return false;
    qCInfo(lcNet, "listen address %s%s, TCP/IP Server peers: %s%s",
           qUtf8Printable(network.listenAddress),
           network.rfc2217 ? ", RFC 2217 on the TCP/IP Server" : "",
           qUtf8Printable(network.serverPeersText()),
           network.kickOldest ? ", the oldest closed for a newcomer" : "");
    return true;
}

bool RelayCore::setTlsSettings(const TlsSettings &tls, bool persist)
{
    QList<Engine::StoppedListener> stopped;
    if (!takeSettings(tls.problem(), "TLS", [&] { stopped = m_engine->setTls(tls); },
                      persist ? std::function<void()>([&] { m_engine->settings().setTls(tls); })
                              : nullptr))
        return false;
    qCInfo(lcNet, "TLS: %s", qUtf8Printable(tls.describe()));
    reportStopped(stopped);
    return true;
}

void RelayCore::logSecurity(int index) const
{
    m_engine->logSecurity(index);
}

void RelayCore::reloadTls()
{
    const QList<Engine::StoppedListener> stopped = m_engine->reloadTls();
    if (stopped.isEmpty() && m_engine->tls().enabled)
        qCInfo(lcNet, "TLS files read again for the listeners listening now");
    reportStopped(stopped);
}

void RelayCore::reportStopped(const QList<Engine::StoppedListener> &stopped)
{
    for (const Engine::StoppedListener &each : stopped) {
        const Endpoint &binding = endpoint(each.index);
        binding.portField->setBackColor(UiColour::Red);
        m_boxes->show(QStringLiteral("The listener on port %1 stopped: %2")
                          .arg(binding.portField->text(), each.why),
                      MessageBoxes::Buttons::Ok);
    }
}

bool RelayCore::startCapture(const QString &path, qint64 limit, QString *error)
{
    return m_engine->router().startCapture(path, limit, error);
}

void RelayCore::stopCapture()
{
    m_engine->router().stopCapture();
}

bool RelayCore::capturing() const
{
    return m_engine->router().capturing();
}

MessageBoxes &RelayCore::setBoxes(MessageBoxes &boxes)
{
    return *std::exchange(m_boxes, &boxes);
}

RelayCore::Session RelayCore::currentSession() const
{
    return m_engine->currentSession();
}

void RelayCore::noteSession()
{
    if (!m_engine->settings().restoresSession())
        return;
    if (m_restoringSession) {
        qCInfo(lcApp, "the session is not noted: its restore did not finish");
        return;
    }
    m_engine->settings().noteSession(currentSession());
}

void RelayCore::saveSetting(const std::function<void(HubSettings &)> &save)
{
    try {
        save(m_engine->settings());
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

bool RelayCore::setLineSettings(const LineSettings &line, bool persist)
{
    if (const QString refused = m_engine->setLine(line, persist); !refused.isEmpty()) {
        m_boxes->show(QStringLiteral("The serial port refused %1. It keeps its settings.").arg(refused),
                      MessageBoxes::Buttons::Ok);
        return false;
    }
    return true;
}

bool RelayCore::setLineFromPeer(const LineSettings &line)
{
    return m_engine->serial().setLineFromPeer(line);
}

void RelayCore::selectAndOpen(int number, bool remember)
{
    ComPort = qint16(number);
    Text3->setText(QString::number(number));
    if (remember)
        saveSetting([number](HubSettings &settings) { settings.setChosenComPort(number); });
    Command2_Click(0);
}

void RelayCore::endProgram()
{
    // A second Exit (another signal during this one's pass) finds all
    // closed: noting that would lose the session noted a moment ago.
    if (!std::exchange(m_ended, true))
        noteSession();
    m_engine->shutDown();
    DoEvents();
    emit programEnded();
}

void RelayCore::showState()
{
    if (Com1->PortOpen()) {
        ComPort = qint16(Com1->CommPort());
        showReopened(ComPort);
    }
    for (const Endpoint &row : m_endpoints) {
        const Winsock &socket = *Winsock1[std::size_t(row.index)];
        const qint32 asked = m_engine->listenPort(row.index);
        if (row.buttons && asked >= 0)
            row.portField->setText(QString::number(asked));
        if (row.hostField && m_engine->endpoint(row.index).armed) {
            row.hostField->setText(socket.RemoteHost());
            row.portField->setText(QString::number(socket.RemotePort()));
        }
        row.statusField->setText(
            WinsockStateDisplay(quint8(m_engine->endpoint(row.index).state()), row.portField));
        if (row.buttons && socket.State() == Winsock::sckListening) {
            setCaption(QStringLiteral("Listening"));
            (*row.buttons)[1]->setText(QStringLiteral("Stop Listening"));
            (*row.buttons)[1]->setEnabled(true);
        }
    }
}

void RelayCore::DoEvents()
{
    QCoreApplication::processEvents();
}
