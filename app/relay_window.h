#pragma once

#include "app/settings_store.h"
#include "platform/port_table.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <array>
#include <deque>

class FlowControl;
class MessageBoxes;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimer;
class SerialComm;
class Winsock;

// Form1, the relay window: owns every control, the four socket endpoints
// Winsock1(0..3), the serial port Com1 and the window-level state. All
// handlers run on the window thread, one at a time; some make a pass of the
// event queue, so every handler tests an endpoint's state right before it
// acts on it and caches nothing.
//
// Endpoints: 0 gateway listener, 1 software forwarder, 2 second server
// listener, 3 data-host forwarder. The handlers live in the folder of their
// subsystem (listeners/, clients/, relay/, serial/).
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // Builds the window and runs Form_Load. `boxes` shows the modal messages
    // and must outlive the window; `configDir` holds the settings store and
    // the port table (quaylightConfigDir() in the real program).
    Form1(MessageBoxes &boxes, const QString &configDir, QWidget *parent = nullptr);
    ~Form1() override;

    // ---- Controls, by the names the handlers use -------------------------
    QGroupBox *Frame1 = nullptr; // gateway endpoint (hidden at startup)
    QGroupBox *Frame2 = nullptr; // software forwarder (hidden at startup)
    QGroupBox *Frame3 = nullptr; // "Serial Bridge"
    QGroupBox *Frame4 = nullptr; // "TCP/IP Server"
    QGroupBox *Frame5 = nullptr; // data-host forwarder (hidden at startup)
    std::array<QLineEdit *, 2> Text1 {};   // 0 local port, 1 state text
    std::array<QLineEdit *, 6> Text2 {};   // 0 port, 1 host, 2 state | 3 state, 4 host, 5 port
    QLineEdit *Text3 = nullptr;            // chosen serial port
    std::array<QLineEdit *, 3> Text4 {};   // 0 local port, 1 address shown, 2 state text
    std::array<QPushButton *, 2> Command1 {}; // gateway Listen / Close
    std::array<QPushButton *, 2> Command2 {}; // serial Open / Close
    std::array<QPushButton *, 4> Command3 {}; // 0 Connect, 1 Close | 2 Close, 3 Connect
    QPushButton *Command4 = nullptr;          // "Find COM Ports"
    std::array<QPushButton *, 2> Command5 {}; // second server Listen / Close
    std::array<QLabel *, 5> Label1 {};
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QListWidget *List3 = nullptr; // found ports
    QListWidget *List4 = nullptr; // hint line
    QAction *mnuExit = nullptr;
    QTimer *Timer1 = nullptr;     // supervision tick, 3000 ms
    QTimer *Timer3 = nullptr;     // Dly's timer

    // ---- Components -------------------------------------------------------
    std::array<Winsock *, 4> Winsock1 {};
    SerialComm *Com1 = nullptr;

    // ---- Window-level state ----------------------------------------------
    bool SoftwareForwarderArmed = false;
    bool DataHostForwarderArmed = false;
    bool Server2Armed = false;
    qint16 PortCount = 0;
    std::array<qint16, 65> FoundPorts {};
    qint16 ComPort = 0;
    qint32 BaudRate = 0;

    // ---- Startup and exit (app/) ------------------------------------------
    // Arranges the startup layout, fills the fields from the settings store,
    // sets BaudRate. Opens nothing.
    void Form_Load();
    // Closes the serial port and every open socket, lets queued events run
    // once, closes the window and emits programEnded.
    void mnuExit_Click();

    // ---- Data routing (relay/) --------------------------------------------
    // Reads everything waiting on endpoint Index as one chunk and relays it:
    // from 0 to 1, 2, 3; from 1, 2, 3 to 0; then to the serial port if open.
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
    QString WinsockStateDisplay(const quint8 &WinsockState, QLineEdit *TxtBox);

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
    // A line event of Com1; relays received bytes to endpoints 0, 1, 2.
    void Com1_OnComm();
    // "Find COM Ports": scan, then list what was found.
    void Command4_Click();
    // Scans ports 1..64 into FoundPorts / PortCount.
    void FindPort();
    // True when port PortNumb can be opened and closed.
    bool TestPort(qint16 PortNumb);
    // Selects the clicked row of List3 as ComPort.
    void List3_Click();
    // Waits at least ms milliseconds while handling events.
    void Dly(qint16 ms);

    // ---- Services ---------------------------------------------------------
    [[nodiscard]] SettingsStore &settings() { return m_settings; }
    [[nodiscard]] const PortTable &ports() const { return m_ports; }
    [[nodiscard]] MessageBoxes &boxes() { return m_boxes; }
    // Back-pressure between the endpoints and the serial port.
    [[nodiscard]] FlowControl &flowControl() { return *m_flow; }

    // One pass of the event queue: dispatch what is pending, then return.
    static void DoEvents();

signals:
    // The program should end now (Exit was chosen).
    void programEnded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void connectEvents();
    void releaseAll();
    QString readStartupSetting(const QString &key, const QString &fallback);
    void applyOuterSize();

    // Shared by the Listen and Close actions of both server endpoints.
    struct ListenerBinding;
    void listenAction(const ListenerBinding &binding);
    void listenerCloseAction(const ListenerBinding &binding);

    // Shared by the connect and close actions of both forwarders.
    struct ForwarderBinding;
    void connectAction(const ForwarderBinding &binding);
    void forwarderCloseAction(const ForwarderBinding &binding);

    // Sends chunk on endpoint `index` when it reads connected; a send that
    // fails (the peer dropped just now) is absorbed.
    void sendIfConnected(int index, const QByteArray &chunk);

    MessageBoxes &m_boxes;
    SettingsStore m_settings;
    PortTable m_ports;
    FlowControl *m_flow = nullptr;

    // Serial chunks read but not yet relayed, oldest first; a receive event
    // nested in a pass of the event queue appends here and leaves the relay
    // to the outer one, so no endpoint sees chunks out of order.
    std::deque<QByteArray> m_serialQueue;
    bool m_relayingSerial = false;

    // Outer window size in pixels set at startup; the frame's size is only
    // known once the window is shown, so it is applied again then.
    QSize m_outerSize;
};
