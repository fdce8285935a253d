// Open and Close of the serial bridge (Command2) and OpenCOM, which
// configures Com1 for the selected port and opens it. Text3 shows the state:
// green on black open, white on white after a close, white on red when the
// device vanished (see serial_receive.cpp).

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "relay/colours.h"
#include "relay/control.h"
#include "relay/message_boxes.h"
#include "relay/relay_core.h"

#include "engine/serial_bridge.h"

#include <utility>

namespace {

constexpr int OpenWaitMs = 500;

void showOpen(Control *indicator)
{
    indicator->setBackColor(UiColour::Green);
    indicator->setForeColor(UiColour::Black);
}

} // namespace

void RelayCore::Command2_Click(int Index)
{
    if (Index == 0) {
        List4->setVisible(false);
        try {
            if (ComPort < PortTable::FirstPort || ComPort > PortTable::LastPort) {
                boxes().show(QStringLiteral("No COM port selected. Try \"Find COM Port\" utility"),
                             MessageBoxes::Buttons::Ok);
                return;
            }
            if (!OpenCOM()) {
                boxes().show(QStringLiteral("Error opening COM port"),
                             MessageBoxes::Buttons::Ok);
                return;
            }
            if (Com1->PortOpen())
                showOpen(Text3);
        } catch (const ComponentError &) {
            boxes().show(QStringLiteral("Com error"), MessageBoxes::Buttons::Ok);
        }
    } else if (Index == 1) {
        if (Com1->PortOpen()) {
            try {
                showPortClosed();
            } catch (const ComponentError &) {
                boxes().show(QStringLiteral("Com error"), MessageBoxes::Buttons::Ok);
                return;
            }
        }
        // A vanished device is no longer waited for either.
        m_engine->closePort();
        DoEvents();
    }
}

void RelayCore::showPortClosed()
{
    Text3->setBackColor(UiColour::Red);
    Text3->setForeColor(UiColour::White);
    Text3->setText(QString::number(ComPort));
    m_engine->closePort();
    setCaption(QStringLiteral("COM Port is Closed."));
    // White on white: the number is hidden until the next open.
    Text3->setBackColor(UiColour::White);
}

void RelayCore::openPort(int number)
{
    // The operator's line settings, whatever a remote peer set before;
    // BaudRate follows them.
    m_engine->openPort(number);
    showOpen(Text3);
}

bool RelayCore::OpenCOM()
{
    bool result = false;
    try {
        openPort(ComPort);
        result = true;
        Dly(OpenWaitMs);
        // A Close, a scan or a vanished device during the wait has already
        // said what became of the port; "now open" would contradict it. The
        // number is the one actually open, which a nested Open may have
        // changed.
        if (Com1->PortOpen()) {
            setCaption(QStringLiteral("COM Port # ") + QString::number(Com1->CommPort())
                       + QStringLiteral(" is now open."));
        }
        return result;
    } catch (const ComponentError &error) {
        m_openError = error.text();
        qCWarning(lcSerial, "COM port %d cannot be opened: error %d, %s", int(ComPort),
                  error.code(), qUtf8Printable(error.text()));
    }
    const auto answer =
        boxes().show(QStringLiteral("Invalid COM port. Would you like to search for available ports?"),
                     MessageBoxes::Buttons::YesNo);
    if (answer == MessageBoxes::Answer::Yes)
        Command4_Click();
    return result;
}

void RelayCore::showReopened(int number)
{
    showOpen(Text3);
    setCaption(QStringLiteral("COM Port # ") + QString::number(number)
               + QStringLiteral(" is now open."));
}
