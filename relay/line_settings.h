#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class SettingsStore;

// The serial line as the operator sets it: speed, framing, flow control and
// the modem lines at open. Stored in Tolvar.ini, section [line]; the
// defaults are the bridge's historic 19200 8N1, no flow control, DTR and
// RTS off.
struct LineSettings {
    enum class Parity { None, Odd, Even, Mark, Space };
    enum class Flow { None, RtsCts, XonXoff };

    qint32 baudRate = 19200;
    int dataBits = 8;          // 5..8
    Parity parity = Parity::None;
    QString stopBits = QStringLiteral("1"); // "1", "1.5" or "2"
    Flow flowControl = Flow::None;
    bool dtr = false;
    bool rts = false;

    friend bool operator==(const LineSettings &, const LineSettings &) = default;

    // The serial component's Settings text, "19200,N,8,1".
    [[nodiscard]] QString commSettings() const;
    // The serial component's FlowControl number: 0 none, 1 RTS/CTS, 2 XON/XOFF.
    [[nodiscard]] int commFlowControl() const;
    // For people and the log: "19200 8N1, no flow control, DTR off, RTS off".
    [[nodiscard]] QString describe() const;

    // Reads [line] of Tolvar.ini. A key that is absent keeps its default; one
    // that is malformed does too, and adds a line to `complaints`.
    [[nodiscard]] static LineSettings load(const SettingsStore &store, QStringList *complaints);
    // Writes every key of [line]. Throws ComponentError(75) when it cannot.
    void save(SettingsStore &store) const;

    // "8N1", "7E1.5": data bits, parity letter N/O/E/M/S, stop bits. False
    // (nothing changed) when the text is not such a framing.
    [[nodiscard]] bool setFraming(const QString &text);

    // Text forms as stored: None Odd Even Mark Space; None RtsCts XonXoff.
    [[nodiscard]] static QString parityText(Parity parity);
    [[nodiscard]] static QString flowText(Flow flow);
    [[nodiscard]] static bool parityFromText(const QString &text, Parity *parity);
    [[nodiscard]] static bool flowFromText(const QString &text, Flow *flow);
};
