#pragma once

#include <QMainWindow>
#include <QSize>

#include <array>

class Control;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class LogWindow;
class QPushButton;
class RelayCore;

// Form1, the relay window: builds every control of the five groups and
// presents the relay core. Each control mirrors its Control in the core
// (text, colours, enabled, visible, rows); what the operator types goes back
// to the core, and every click runs the core's handler of that name.
class Form1 : public QMainWindow
{
    Q_OBJECT

public:
    // Builds the window over `core` (which must outlive it) and runs
    // Form_Load.
    explicit Form1(RelayCore &core, QWidget *parent = nullptr);
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
    QAction *mnuSettings = nullptr;     // "Settings…"
    QMenu *mnuView = nullptr;           // "View"
    QAction *mnuAllEndpoints = nullptr; // "All endpoints" (checkable)
    QAction *mnuLog = nullptr;          // "Log"
    QAction *mnuCapture = nullptr;      // "Capture…" / "Stop capture"
    LogWindow *logWindow = nullptr;

    // The startup layout: the "Serial Bridge" and "TCP/IP Server" groups
    // only, the window shrunk around them.
    void Form_Load();
    // Exit: the core releases everything and ends the program; the window
    // closes with it.
    void mnuExit_Click();
    // "Settings…": the line settings and session restore, in a modal dialog.
    void mnuSettings_Click();
    // "Capture…": asks for a file and captures every relayed chunk into it;
    // while capturing, stops the capture.
    void mnuCapture_Click();
    // One line of the event log, for the Log window; any thread.
    void appendLogLine(const QString &line);
    // "All endpoints": all five groups in their design layout (on), or the
    // startup layout (off); stored in Harborcast.ini [view] AllEndpoints.
    void showAllEndpoints(bool on);

    [[nodiscard]] RelayCore &core() { return m_core; }

signals:
    // The operator moved List3's current row with the keyboard.
    void keyboardRowChosen();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void bindControls();
    void connectEvents();
    void applyOuterSize();
    void startupLayout();

    RelayCore &m_core;
    bool m_ending = false; // the core is ending the program: close without asking it again
    // Outer window size in pixels set at startup; the frame's size is only
    // known once the window is shown, so it is applied again then.
    QSize m_outerSize;
};
