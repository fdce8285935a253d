// Socket state as a status text and a colour scheme on a port field.

#include "relay/colours.h"
#include "relay/control.h"
#include "relay/relay_core.h"

namespace {
struct StateRow {
    const char *text;
    quint32 foreColor;
    quint32 backColor;
};

// Indexed by the socket state number 0..9.
constexpr StateRow StateTable[] = {
    {"Socket Closed", UiColour::White, UiColour::NearBlack},
    {"Socket Open", UiColour::Black, UiColour::White},
    {"Listening", UiColour::Black, UiColour::Yellow},
    {"Connection Pending", UiColour::Black, UiColour::Blue},
    {"Resolving Host", UiColour::Black, UiColour::Yellow},
    {"Host Resolved", UiColour::White, UiColour::Blue},
    {"Connecting", UiColour::Black, UiColour::Yellow},
    {"Connected", UiColour::Black, UiColour::Green},
    {"Peer is Closing Connection", UiColour::White, UiColour::Red},
    {"Socket Error", UiColour::Yellow, UiColour::Red},
};
} // namespace

QString RelayCore::WinsockStateDisplay(const quint8 &WinsockState, Control *TxtBox)
{
    if (WinsockState >= std::size(StateTable))
        return QString();
    const StateRow &row = StateTable[WinsockState];
    const QString text = QLatin1String(row.text);
    // The text is chosen first, so a field that is missing still gets it.
    if (TxtBox) {
        TxtBox->setForeColor(row.foreColor);
        TxtBox->setBackColor(row.backColor);
    }
    return text;
}
