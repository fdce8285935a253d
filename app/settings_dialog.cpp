#include "app/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <climits>

namespace {
const int StandardRates[] = {300,    600,    1200,   2400,   4800,    9600,    14400,
                             19200,  38400,  57600,  115200, 230400,  460800,  500000,
                             576000, 921600, 1000000, 1500000, 2000000, 3000000, 4000000};

QComboBox *choice(QWidget *parent, const QStringList &items, const QString &current)
{
    auto *box = new QComboBox(parent);
    box->addItems(items);
    box->setCurrentText(current);
    return box;
}
} // namespace

SettingsDialog::SettingsDialog(const LineSettings &line, const NetworkSettings &network,
                               bool restoreSession, QWidget *parent)
    : QDialog(parent), m_network(network)
{
    setWindowTitle(QStringLiteral("Settings"));
    auto *form = new QFormLayout(this);

    baudRate = new QComboBox(this);
    baudRate->setEditable(true);
    for (int rate : StandardRates)
        baudRate->addItem(QString::number(rate));
    baudRate->lineEdit()->setValidator(new QIntValidator(1, INT_MAX, baudRate));
    baudRate->setCurrentText(QString::number(line.baudRate));
    form->addRow(QStringLiteral("Baud rate"), baudRate);

    dataBits = choice(this, {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"),
                             QStringLiteral("8")},
                      QString::number(line.dataBits));
    form->addRow(QStringLiteral("Data bits"), dataBits);
    parity = choice(this,
                    {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even"),
                     QStringLiteral("Mark"), QStringLiteral("Space")},
                    LineSettings::parityText(line.parity));
    form->addRow(QStringLiteral("Parity"), parity);
    stopBits = choice(this, {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")},
                      line.stopBits);
    form->addRow(QStringLiteral("Stop bits"), stopBits);
    flowControl = new QComboBox(this);
    flowControl->addItem(QStringLiteral("None"), int(LineSettings::Flow::None));
    flowControl->addItem(QStringLiteral("RTS/CTS"), int(LineSettings::Flow::RtsCts));
    flowControl->addItem(QStringLiteral("XON/XOFF"), int(LineSettings::Flow::XonXoff));
    flowControl->setCurrentIndex(int(line.flowControl));
    form->addRow(QStringLiteral("Flow control"), flowControl);
    dtr = new QCheckBox(QStringLiteral("DTR on at open"), this);
    dtr->setChecked(line.dtr);
    rts = new QCheckBox(QStringLiteral("RTS on at open"), this);
    rts->setChecked(line.rts);
    form->addRow(dtr);
    form->addRow(rts);
    listenAddress = new QComboBox(this);
    listenAddress->setEditable(true);
    listenAddress->addItems({QStringLiteral("any"), QStringLiteral("loopback")});
    listenAddress->setCurrentText(network.listenAddress);
    form->addRow(QStringLiteral("Listen address"), listenAddress);
    allowedPeers = new QLineEdit(network.allowedPeers, this);
    allowedPeers->setPlaceholderText(QStringLiteral("everyone (e.g. 192.168.1.0/24, ::1)"));
    form->addRow(QStringLiteral("Allowed peers"), allowedPeers);
    rfc2217 = new QCheckBox(QStringLiteral("TCP/IP Server speaks RFC 2217 (remote port control)"),
                            this);
    rfc2217->setChecked(network.rfc2217);
    form->addRow(rfc2217);
    m_form = form;
    tlsEnabled = new QCheckBox(QStringLiteral("Both servers speak TLS only"), this);
    form->addRow(tlsEnabled);
    tlsCertificate = fileRow(QStringLiteral("TLS certificate"), QStringLiteral("PEM, with its chain"));
    tlsPrivateKey = fileRow(QStringLiteral("TLS private key"), QStringLiteral("PEM"));
    tlsClientCa = fileRow(QStringLiteral("Client CA"), QStringLiteral("anyone (no client certificate)"));
    tlsServerCa = fileRow(QStringLiteral("Server CA"), QStringLiteral("the system's CAs"));
    tlsMinimumVersion = choice(this, {QStringLiteral("1.2"), QStringLiteral("1.3")}, QStringLiteral("1.2"));
    form->addRow(QStringLiteral("TLS at least"), tlsMinimumVersion);
    tlsForwarder1 = new QCheckBox(QStringLiteral("Software forwarder connects with TLS"), this);
    tlsForwarder3 = new QCheckBox(QStringLiteral("Data host forwarder connects with TLS"), this);
    form->addRow(tlsForwarder1);
    form->addRow(tlsForwarder3);
    serverPeers = new QComboBox(this);
    serverPeers->addItem(QStringLiteral("1 (stops listening while connected)"), 1);
    serverPeers->addItem(QStringLiteral("keep (1, goes on listening)"),
                         NetworkSettings::KeepListening);
    for (int peers = 2; peers <= NetworkSettings::MaxServerPeers; ++peers)
        serverPeers->addItem(QString::number(peers), peers);
    serverPeers->setCurrentIndex(serverPeers->findData(network.serverPeers));
    form->addRow(QStringLiteral("TCP/IP Server peers"), serverPeers);
    kickOldest = new QCheckBox(QStringLiteral("A peer over the limit closes the oldest one"), this);
    kickOldest->setChecked(network.kickOldest);
    form->addRow(kickOldest);
    restore = new QCheckBox(QStringLiteral("Restore session at start"), this);
    restore->setChecked(restoreSession);
    form->addRow(restore);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // A baud rate that is not a positive number cannot be taken.
    connect(baudRate, &QComboBox::currentTextChanged, this, [this, buttons] {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(lineSettings().baudRate > 0);
    });
    form->addRow(buttons);
}

LineSettings SettingsDialog::lineSettings() const
{
    LineSettings line;
    line.baudRate = baudRate->currentText().toInt();
    line.dataBits = dataBits->currentText().toInt();
    (void)LineSettings::parityFromText(parity->currentText(), &line.parity);
    line.stopBits = stopBits->currentText();
    line.flowControl = LineSettings::Flow(flowControl->currentData().toInt());
    line.dtr = dtr->isChecked();
    line.rts = rts->isChecked();
    return line;
}

NetworkSettings SettingsDialog::networkSettings() const
{
    NetworkSettings network = m_network;
    network.listenAddress = listenAddress->currentText().trimmed();
    network.allowedPeers = allowedPeers->text().trimmed();
    network.rfc2217 = rfc2217->isChecked();
    network.serverPeers = serverPeers->currentData().toInt();
    network.kickOldest = kickOldest->isChecked();
    return network;
}

void SettingsDialog::done(int result)
{
    if (result == QDialog::Accepted) {
        QString problem = networkSettings().problem();
        if (problem.isEmpty())
            problem = tlsSettings().problem();
        // Refused here rather than by a listener that would then stop.
        if (const QString field = tlsSettings().missingServerField(); problem.isEmpty() && !field.isEmpty())
            problem = QStringLiteral("\"Both servers speak TLS only\" needs a file in \"%1\".").arg(field);
        if (!problem.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("Quaylight"), problem);
            return;
        }
    }
    QDialog::done(result);
}

QLineEdit *SettingsDialog::fileRow(const QString &label, const QString &placeholder)
{
    auto *row = new QHBoxLayout;
    auto *path = new QLineEdit(this);
    path->setPlaceholderText(placeholder);
    auto *pick = new QPushButton(QStringLiteral("…"), this);
    connect(pick, &QPushButton::clicked, this, [this, path, label] {
        const QString file = QFileDialog::getOpenFileName(this, label, path->text(),
                                                          QStringLiteral("PEM files (*.pem *.crt *.key);;All files (*)"));
        if (!file.isEmpty())
            path->setText(file);
    });
    row->addWidget(path);
    row->addWidget(pick);
    m_form->addRow(label, row);
    return path;
}

void SettingsDialog::setTlsSettings(const TlsSettings &tls)
{
    tlsEnabled->setChecked(tls.enabled);
    tlsCertificate->setText(tls.certificate);
    tlsPrivateKey->setText(tls.privateKey);
    tlsClientCa->setText(tls.clientCa);
    tlsServerCa->setText(tls.serverCa);
    tlsMinimumVersion->setCurrentText(tls.minimumVersion);
    tlsForwarder1->setChecked(tls.forwarder1);
    tlsForwarder3->setChecked(tls.forwarder3);
}

TlsSettings SettingsDialog::tlsSettings() const
{
    TlsSettings tls;
    tls.enabled = tlsEnabled->isChecked();
    tls.certificate = tlsCertificate->text().trimmed();
    tls.privateKey = tlsPrivateKey->text().trimmed();
    tls.clientCa = tlsClientCa->text().trimmed();
    tls.serverCa = tlsServerCa->text().trimmed();
    tls.minimumVersion = tlsMinimumVersion->currentText();
    tls.forwarder1 = tlsForwarder1->isChecked();
    tls.forwarder3 = tlsForwarder3->isChecked();
    return tls;
}

bool SettingsDialog::restoreSession() const
{
    return restore->isChecked();
}
