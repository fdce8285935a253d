#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// The serial line: speed, framing, flow control and the modem lines at open.
// One type from the Settings dialog through the stored settings and the
// RFC 2217 session down to the serial component. The defaults are the
// bridge's historic 19200 8N1, no flow control, DTR and RTS off.
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
    // The framing of a Settings text "baud,parity,data,stop" (parity N, E, O,
    // M or S in any case; blanks around the fields allowed) over `base`'s
    // other fields; nothing when the text is not one.
    [[nodiscard]] static std::optional<LineSettings> fromCommSettings(const QString &text,
                                                                      LineSettings base);
    // The serial component's FlowControl number: 0 none, 1 RTS/CTS, 2 XON/XOFF.
    [[nodiscard]] int commFlowControl() const;
    // For people and the log: "19200 8N1, no flow control, DTR off, RTS off".
    [[nodiscard]] QString describe() const;

    // "8N1", "7E1.5": data bits, parity letter N/O/E/M/S, stop bits. False
    // (nothing changed) when the text is not such a framing.
    [[nodiscard]] bool setFraming(const QString &text);

    // Text forms as stored: None Odd Even Mark Space; None RtsCts XonXoff.
    [[nodiscard]] static QString parityText(Parity parity);
    [[nodiscard]] static QString flowText(Flow flow);
    [[nodiscard]] static bool parityFromText(const QString &text, Parity *parity);
    [[nodiscard]] static bool flowFromText(const QString &text, Flow *flow);
    [[nodiscard]] static bool validStopBits(const QString &text);
};
