#pragma once

#include "platform/line_settings.h"
#include "engine/network_settings.h"
#include "engine/tls_settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;

// "Settings…": the serial line (speed, framing, flow control, DTR and RTS at
// open), where the servers listen and who may connect, RFC 2217 on the
// TCP/IP Server and how many peers it serves, TLS (its files picked from
// disk), and whether the session is restored at start. Shows the
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
    // The TLS rows show `tls`; tlsSettings() is what they show now.
    void setTlsSettings(const TlsSettings &tls);
    [[nodiscard]] TlsSettings tlsSettings() const;

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
    QCheckBox *tlsEnabled = nullptr;
    QLineEdit *tlsCertificate = nullptr;
    QLineEdit *tlsPrivateKey = nullptr;
    QLineEdit *tlsClientCa = nullptr;
    QLineEdit *tlsServerCa = nullptr;
    QComboBox *tlsMinimumVersion = nullptr;
    QCheckBox *tlsForwarder1 = nullptr;
    QCheckBox *tlsForwarder3 = nullptr;

private:
    // A path field with a button that picks the file.
    QLineEdit *fileRow(const QString &label, const QString &placeholder);

    QFormLayout *m_form = nullptr;
    NetworkSettings m_network; // as given: what the dialog does not show is kept
};
