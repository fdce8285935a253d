#pragma once

#include "platform/line_settings.h"
#include "engine/network_settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

// "Settings…": the serial line (speed, framing, flow control, DTR and RTS at
// open), where the servers listen and who may connect, RFC 2217 on the
// TCP/IP Server and how many peers it serves, and whether the session is restored at start. Shows the
// values it is given; the caller takes the new ones when it is accepted. A
// listen address or allowed peer that is not valid is refused with a
// message, and the dialog stays open.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    SettingsDialog(const LineSettings &line, const NetworkSettings &network, bool restoreSession,
                   QWidget *parent = nullptr);

    // What the dialog shows now. The baud rate is whatever positive number
    // was typed or chosen.
    [[nodiscard]] LineSettings lineSettings() const;
    [[nodiscard]] NetworkSettings networkSettings() const;
    [[nodiscard]] bool restoreSession() const;

    void done(int result) override;

    QComboBox *baudRate = nullptr;
    QComboBox *dataBits = nullptr;
    QComboBox *parity = nullptr;
    QComboBox *stopBits = nullptr;
    QComboBox *flowControl = nullptr;
    QCheckBox *dtr = nullptr;
    QCheckBox *rts = nullptr;
    QComboBox *listenAddress = nullptr;
    QLineEdit *allowedPeers = nullptr;
    QCheckBox *rfc2217 = nullptr;
    QComboBox *serverPeers = nullptr; // 1, keep, 2..64
    QCheckBox *kickOldest = nullptr;
    QCheckBox *restore = nullptr;
};
