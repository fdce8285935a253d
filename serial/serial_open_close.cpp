// Open and Close of the serial bridge (Command2) and OpenCOM, which
// configures Com1 for the selected port and opens it. Text3 shows the state:
// green on black open, white on white after a close, white on red when the
// device vanished (see serial_receive.cpp).

#include "app/message_boxes.h"
#include "app/relay_window.h"
#include "app/ui_colour.h"
#include "platform/component_error.h"
#include "platform/serial_comm.h"

#include <QLineEdit>
#include <QListWidget>

namespace {

// The line configuration of the bridge, in the order it is applied.
constexpr int BufferSize = 1024;
constexpr int TextInput = 0;
constexpr int ReadLength = 1024;
constexpr int ReceiveThreshold = 1;
constexpr int SendThreshold = 1;
constexpr int OpenWaitMs = 500;

void showOpen(QLineEdit *indicator)
{
    UiColour::setBackColor(indicator, UiColour::Green);
    UiColour::setForeColor(indicator, UiColour::Black);
}

} // namespace

void Form1::Command2_Click(int Index)
{
    if (Index == 0) {
        List4->setVisible(false);
        try {
            if (ComPort < PortTable::FirstPort || ComPort > PortTable::LastPort) {
                boxes().show(this,
                             QStringLiteral("No COM port selected. Try \"Find COM Port\" utility"),
                             MessageBoxes::Buttons::Ok);
                return;
            }
            if (!OpenCOM()) {
                boxes().show(this, QStringLiteral("Error opening COM port"),
                             MessageBoxes::Buttons::Ok);
                return;
            }
            if (Com1->PortOpen())
                showOpen(Text3);
        } catch (const std::exception &) {
            boxes().show(this, QStringLiteral("Com error"), MessageBoxes::Buttons::Ok);
        }
    } else if (Index == 1) {
        if (Com1->PortOpen()) {
            UiColour::setBackColor(Text3, UiColour::Red);
            UiColour::setForeColor(Text3, UiColour::White);
            Text3->setText(QString::number(ComPort));
            try {
                Com1->setPortOpen(false);
            } catch (const ComponentError &) {
                boxes().show(this, QStringLiteral("Com error"), MessageBoxes::Buttons::Ok);
                return;
            }
            setWindowTitle(QStringLiteral("COM Port is Closed."));
            // White on white: the number is hidden until the next open.
            UiColour::setBackColor(Text3, UiColour::White);
        }
        DoEvents();
    }
}

bool Form1::OpenCOM()
{
    bool result = false;
    try {
        if (Com1->PortOpen())
            Com1->setPortOpen(false);
        Com1->setCommPort(ComPort);
        Com1->setInBufferSize(BufferSize);
        Com1->setSettings(QString::number(BaudRate) + QStringLiteral(",N,8,1"));
        Com1->setInputMode(TextInput);
        Com1->setInputLen(ReadLength);
        Com1->setRThreshold(ReceiveThreshold);
        Com1->setSThreshold(SendThreshold);
        Com1->setDTREnable(false);
        Com1->setRTSEnable(false);
        Com1->setNullDiscard(false);
        Com1->setPortOpen(true);
        showOpen(Text3);
        result = true;
        Dly(OpenWaitMs);
        // A Close, a scan or a vanished device during the wait has already
        // said what became of the port; "now open" would contradict it. The
        // number is the one actually open, which a nested Open may have
        // changed.
        if (Com1->PortOpen()) {
            setWindowTitle(QStringLiteral("COM Port # ") + QString::number(Com1->CommPort())
                           + QStringLiteral(" is now open."));
        }
        return result;
    } catch (const ComponentError &) {
    } catch (const std::exception &) {
    }
    const auto answer =
        boxes().show(this,
                     QStringLiteral("Invalid COM port. Would you like to search for available ports?"),
                     MessageBoxes::Buttons::YesNo);
    if (answer == MessageBoxes::Answer::Yes)
        Command4_Click();
    return result;
}
