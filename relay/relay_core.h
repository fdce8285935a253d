#pragma once

#include "engine/byte_counters.h"
#include "engine/endpoint_table.h"
#include "engine/engine.h"
#include "engine/hub.h"
#include "engine/hub_settings.h"
#include "engine/network_settings.h"
#include "platform/line_settings.h"
#include "platform/port_table.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>

class Control;
class FlowControl;
class MessageBoxes;
class QTimer;
class SerialComm;
class Winsock;

// The window-level state over the engine: what each control shows, the
// caption, Timer1 and Timer3, and the handlers under the names the window
// knows them by. The engine (engine/) moves the bytes; the handlers keep
// their steps and their order and call it. It needs no window: the window
// mirrors the controls and forwards the operator's clicks; headless mode
// drives the same handlers itself.
//
// All handlers run on one thread, one at a time; some make a pass of the
// event queue, so every handler tests an endpoint's state right before it
// acts on it and caches nothing. The handlers live in the folder of their
// subsystem (listeners/, clients/, relay/, serial/).
class RelayCore : public QObject
{
    Q_OBJECT

    Hub *m_engine; // first: members below refer into it

public:
    // Builds the components, starts Timer1 and runs Form_Load. `boxes`
    // answers the modal messages and must outlive this; `configDir` holds
    // the settings store and the port table.
    RelayCore(MessageBoxes &boxes, const QString &configDir, QObject *parent = nullptr);
    ~RelayCore() override;

    // ---- What the controls show, by the names the handlers use ----------
    std::array<Control *, 2> Text1 {};   // 0 local port, 1 state text
    std::array<Control *, 6> Text2 {};   // 0 port, 1 host, 2 state | 3 state, 4 host, 5 port
    Control *Text3 = nullptr;            // chosen serial port
    std::array<Control *, 3> Text4 {};   // 0 local port, 1 address shown, 2 state text
    std::array<Control *, 2> Command1 {}; // gateway Listen / Close
    std::array<Control *, 2> Command5 {}; // second server Listen / Close
    Control *List3 = nullptr;            // found ports
    Control *List4 = nullptr;            // hint line
    QTimer *Timer1 = nullptr;            // supervision tick, 3000 ms
    QTimer *Timer3 = nullptr;            // Dly's timer

    // The window's caption, the relay's last-event line.
    [[nodiscard]] const QString &Caption() const { return m_caption; }
    void setCaption(const QString &caption);

    // ---- Components -----------------------------------------------------
    std::array<Winsock *, EndpointCount> Winsock1 {};
    SerialComm *Com1 = nullptr;

    // ---- Relay-level state (the engine's endpoints keep the armed flags) --
    bool &SoftwareForwarderArmed;
    bool &DataHostForwarderArmed;
    bool &Server2Armed;
    qint16 PortCount = 0;
    std::array<qint16, 65> FoundPorts {};
    qint16 ComPort = 0;
    qint32 BaudRate = 0;

    // One endpoint row with the controls that show it.
    struct Endpoint {
        int index;            // Winsock1(index)
        EndpointRole role;
        const EndpointRow *row;
        Control *portField;   // carries the endpoint's colour
        Control *statusField; // state text
        Control *hostField;   // forwarders: remote host; listeners: none
        std::array<Control *, 2> *buttons; // listeners: Listen / Close
        bool *armed;          // the supervision tick keeps it up; gateway: none
        QString portKey;      // Harborcast [startup] keys
        QString hostKey;
    };
    [[nodiscard]] const Endpoint &endpoint(int index) const { return m_endpoints[std::size_t(index)]; }

    // ---- Startup and exit -------------------------------------------------
    // Fills the port and host fields from the settings store and sets
    // BaudRate. Opens nothing.
    void Form_Load();
    // Notes the session (the first time only), shuts the hub down (the
    // serial port and every open socket closed, queued output handed to the
    // OS), lets queued events run once and emits programEnded. The Exit
    // menu, and headless a signal, end the program so.
    void endProgram();
    void mnuExit_Click() { endProgram(); }
    // True once Exit has run: the program is ending, and a start step
    // under way when it ran (a signal during its wait) must be the last.
    [[nodiscard]] bool hasEnded() const { return m_ended; }

    // Shows what the hub is doing now in every control: the port's field
    // and number, each endpoint's port, host, state and buttons, the
    // caption. For steps taken on the hub directly (the start options).
    void showState();

    // ---- Data routing (relay/) --------------------------------------------
    // Reads everything waiting on endpoint Index as one chunk and relays it
    // along the route table, each destination only if connected (or open).
    void Winsock1_DataArrival(int Index, qint64 bytesTotal);

    // ---- Listeners (listeners/) -------------------------------------------
    // Listen (Index 0) or Close (Index 1) of the gateway endpoint.
    void Command1_Click(int Index);
    // Listen (Index 0) or Close (Index 1) of the second server endpoint.
    void Command5_Click(int Index);
    // Accepts a pending connection on the listening socket itself.
    void Winsock1_ConnectionRequest(int Index, qint32 requestID);
    // The peer of endpoint Index closed its connection.
    void Winsock1_Close(int Index);
    // Endpoint Index failed: closed and marked red.
    void Winsock1_Error(int Index, int Number, const QString &Description);
    // Colours TxtBox for the socket state and returns the state's text.
    QString WinsockStateDisplay(const quint8 &WinsockState, Control *TxtBox);

    // ---- Upstream clients (clients/) --------------------------------------
    // Connect (0, 3) or Close (1, 2) of the two forwarders.
    void Command3_Click(int Index);
    // A forwarder's connect completed.
    void Winsock1_Connect(int Index);
    // The supervision tick: reconnect, re-arm, refresh the state display.
    void Timer1_Timer();

    // ---- Serial bridge (serial/) ------------------------------------------
    // Open (Index 0) or Close (Index 1) of the serial port.
    void Command2_Click(int Index);
    // Configures Com1 for ComPort and opens it; false when that failed.
    bool OpenCOM();
    // Why the last Open that failed failed, in the system's words (empty
    // before any did).
    [[nodiscard]] const QString &openError() const { return m_openError; }
    // A line event of Com1; relays received bytes along the route table.
    void Com1_OnComm();
    // "Find COM Ports": scan, then list what was found.
    void Command4_Click();
    // Scans ports 1..64 into FoundPorts / PortCount.
    void FindPort();
    // True when port PortNumb can be opened and closed.
    bool TestPort(qint16 PortNumb);
    // Selects the chosen row of List3 as ComPort.
    void List3_Click();
    // Waits at least ms milliseconds while handling events.
    void Dly(qint16 ms);

    // ---- Line settings ------------------------------------------------------
    // The serial line's settings; BaudRate follows them.
    [[nodiscard]] const LineSettings &lineSettings() const;
    // Takes `line` for the next Open, and at once when the port is open. A
    // value the open device refuses gets one message naming it; the port
    // keeps what it had, nothing changes, and it returns false. `persist`
    // also stores them in Tolvar.ini [line] (a command-line override does
    // not).
    bool setLineSettings(const LineSettings &line, bool persist);
    // Takes `line` on the open port for a remote peer (RFC 2217): no box,
    // nothing stored; the operator's settings come back when that peer's
    // connection ends, or at the next Open.
    // False, changing nothing, when the port is closed or refuses it.
    bool setLineFromPeer(const LineSettings &line);

    // ---- Network settings ---------------------------------------------------
    [[nodiscard]] const NetworkSettings &networkSettings() const { return m_engine->network(); }
    // Takes where the listeners listen (from their next Listen on) and who
    // may connect (at once). Settings with a problem get one message saying
    // what it is, change nothing and return false. `persist` also stores
    // them in Harborcast.ini [network].
    bool setNetworkSettings(const NetworkSettings &network, bool persist);

    [[nodiscard]] const TlsSettings &tlsSettings() const { return m_engine->tls(); }
    // Takes the TLS settings at once: the listeners listening now switch
    // (a plain peer of one that now speaks TLS only is closed), the
    // forwarders use them from their next Connect. The rules in effect are
    // logged. A problem gets one message, as above. A listener whose files
    // cannot be used stops listening: one message says why.
    bool setTlsSettings(const TlsSettings &tls, bool persist);
    // Reads the certificate files again for the listeners listening now, as
    // setTlsSettings with the settings in effect.
    void reloadTls();
    // Why the last Listen that failed failed (empty before any did).
    [[nodiscard]] const QString &listenError() const { return m_listenError; }
    // Settings with a `problem` get one message and change nothing (false);
    // else `apply`, then `store` when given (a failure is logged).
    bool takeSettings(const QString &problem, const char *what, const std::function<void()> &apply,
                      const std::function<void()> &store);
    // Logs the TLS of endpoint `index`'s connection (nothing for plain TCP).
    void logSecurity(int index) const;

    // ---- What flows -------------------------------------------------------
    [[nodiscard]] ByteCounters counters() const { return m_engine->counters(); }
    // Writes every relayed chunk to `path` until stopCapture() or until the
    // file reaches `limit` bytes (a log line says so). False, with `error`
    // set, when the file cannot be written.
    bool startCapture(const QString &path, qint64 limit, QString *error);
    void stopCapture();
    [[nodiscard]] bool capturing() const;

    // ---- Session ------------------------------------------------------------
    // What runs now, as restoring it would redo it.
    using Session = HubSettings::Session;
    [[nodiscard]] Session currentSession() const;
    // Notes the session in Harborcast.ini [session] when "Restore session
    // at start" is on (Restore=true), unless a restore is under way: half
    // a session must not replace the one noted before. Called by Exit
    // before it closes anything.
    void noteSession();
    // Marks a restore of the noted session as under way (true) or done.
    void setRestoringSession(bool restoring) { m_restoringSession = restoring; }

    // ---- Mode ----------------------------------------------------------------
    // Headless, nobody is there to press Open after the device vanished: the
    // supervision tick opens the port again (same number, the operator's line
    // settings) once its device is back. With a window it stays closed, red,
    // until the operator opens it.
    void setHeadless(bool on)
    {
        m_headless = on;
        m_engine->setReopensLostPort(on);
    }
    [[nodiscard]] bool headless() const { return m_headless; }

    // ---- Services ---------------------------------------------------------
    [[nodiscard]] SettingsStore &settings() { return m_engine->settings().store(); }
    [[nodiscard]] HubSettings &hubSettings() { return m_engine->settings(); }
    [[nodiscard]] const PortTable &ports() const { return m_engine->ports(); }
    [[nodiscard]] Hub &engine() const { return *m_engine; }
    // Runs `save`, which stores what an operator's action remembers along the
    // way. A store that cannot be written is a warning, never the action's
    // end: the save is a convenience, the action what was asked for. Each
    // failure is logged once a run, the first also told in a box.
    void saveSetting(const std::function<void(HubSettings &)> &save);
    [[nodiscard]] MessageBoxes &boxes() { return *m_boxes; }
    // Answers the message boxes with `boxes` from now on (nobody may be
    // watching while a session is restored); returns the previous ones.
    MessageBoxes &setBoxes(MessageBoxes &boxes);
    [[nodiscard]] FlowControl &flowControl() { return m_engine->flow(); }
    // Selects port `number` as List3_Click would, without its message, and
    // opens it with Command2_Click(0); `remember` also stores it as chosen.
    void selectAndOpen(int number, bool remember);

    // One pass of the event queue: dispatch what is pending, then return.
    static void DoEvents();

signals:
    void captionChanged(const QString &caption);
    // The line settings changed (setLineSettings, or a remote client).
    void lineSettingsChanged();
    // A capture started (true) or ended (false), also by its size limit.
    void captureChanged(bool capturing);
    // A port scan started (true) or ended (false); nested scans nest.
    void busyChanged(bool busy);
    // The program should end now (Exit was chosen).
    void programEnded();

private:
    void connectEvents();

    void listenAction(const Endpoint &endpoint);
    // Shows the listeners that stopped because their TLS files could not be used.
    void reportStopped(const QList<Engine::StoppedListener> &stopped);
    void listenerCloseAction(const Endpoint &endpoint);
    void connectAction(const Endpoint &endpoint);
    void forwarderCloseAction(const Endpoint &endpoint);
    void showPortClosed();
    // The tick opened port `number` again: its device came back.
    void showReopened(int number);
    // Configures Com1 for port `number` with the operator's line settings
    // and opens it; throws ComponentError when that fails.
    void openPort(int number);

    MessageBoxes *m_boxes;
    std::array<Endpoint, EndpointCount> m_endpoints;
    QString m_caption;
    bool m_inTick = false; // the Listen action keeps a listener that is already right
    QStringList m_unsaved; // the save failures already told, once a run each
    bool m_ended = false;
    bool m_restoringSession = false;
    bool m_headless = false;
    QString m_listenError;
    QString m_openError;
};
