// The supervision tick (Timer1, every 3000 ms): the only retry mechanism of
// the hub. It reconnects armed forwarders, re-arms the second server endpoint
// and repaints the state display of all four endpoints.

#include "app/relay_window.h"
#include "platform/component_error.h"
#include "platform/winsock.h"

#include <QLineEdit>

void Form1::Timer1_Timer()
{
    // Any failure ends this tick silently; the next one starts over. The
    // handlers reached from here (the Listen action) trap their own failures.
    try {
        // Connect uses the host and port the socket holds from the last
        // Connect press; a connect already in progress is left to finish.
        if (Winsock1[1]->State() != Winsock::sckConnected && SoftwareForwarderArmed)
            Winsock1[1]->Connect();
        if (Winsock1[3]->State() != Winsock::sckConnected && DataHostForwarderArmed)
            Winsock1[3]->Connect();
        if (Winsock1[2]->State() != Winsock::sckConnected && Server2Armed)
            Command5_Click(0);

        // Socket, colour field, status field. Socket 2 shows its state in
        // Text4(2), the bottom row of the "TCP/IP Server" group.
        struct DisplayRow {
            int socket;
            QLineEdit *colourField;
            QLineEdit *statusField;
        };
        const DisplayRow rows[] = {
            {0, Text1[0], Text1[1]},
            {1, Text2[0], Text2[2]},
            {3, Text2[5], Text2[3]},
            {2, Text4[0], Text4[2]},
        };
        for (const DisplayRow &row : rows) {
            const quint8 state = quint8(Winsock1[row.socket]->State());
            row.statusField->setText(WinsockStateDisplay(state, row.colourField));
        }
    } catch (const ComponentError &) {
    }
}
