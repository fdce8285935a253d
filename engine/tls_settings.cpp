#include "engine/tls_settings.h"

#include "engine/settings_store.h"
#include "platform/component_error.h"
#include "platform/flag_text.h"
#include "platform/tls_listener.h"
#include "platform/winsock.h"

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace {

const QString Harborcast = QStringLiteral("Harborcast");
const QString TlsSection = QStringLiteral("tls");
// Where an unreadable CA setting points: no file, so every Listen fails.
const QString Unreadable = QStringLiteral("(unreadable setting)");

[[noreturn]] void refuse(const QString &text)
{
    throw ComponentError(WinsockCode::InvalidTlsSetup, text);
}

QByteArray readPem(const QString &what, const QString &path)
{
    if (path.isEmpty())
        refuse(QStringLiteral("TLS is on but no %1 file is set").arg(what));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        refuse(QStringLiteral("TLS %1 %2: %3").arg(what, path, file.errorString()));
    return file.readAll();
}

QList<QSslCertificate> readCertificates(const QString &what, const QString &path)
{
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromData(readPem(what, path), QSsl::Pem);
    if (certificates.isEmpty())
        refuse(QStringLiteral("TLS %1 %2: holds no PEM certificate").arg(what, path));
    return certificates;
}

// Our own certificate: it must be valid now, or no client would take it.
QList<QSslCertificate> readOwnCertificate(const QString &path)
{
    const QList<QSslCertificate> chain = readCertificates(QStringLiteral("certificate"), path);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (chain.first().expiryDate() < now)
        refuse(QStringLiteral("TLS certificate %1: expired on %2")
                   .arg(path, chain.first().expiryDate().toString(Qt::ISODate)));
    if (chain.first().effectiveDate() > now)
        refuse(QStringLiteral("TLS certificate %1: not valid before %2")
                   .arg(path, chain.first().effectiveDate().toString(Qt::ISODate)));
    return chain;
}

QSslKey readKey(const QString &path)
{
    const QByteArray pem = readPem(QStringLiteral("private key"), path);
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    refuse(QStringLiteral("TLS private key %1: holds no unencrypted RSA or EC key in PEM").arg(path));
}

QSsl::SslProtocol protocolFor(const QString &minimumVersion)
{
    return minimumVersion.trimmed() == QLatin1String("1.2") ? QSsl::TlsV1_2OrLater
                                                          : QSsl::TlsV1_3OrLater;
}

void setIdentity(QSslConfiguration &configuration, const TlsSettings &tls)
{
    configuration.setLocalCertificateChain(readOwnCertificate(tls.certificate));
    configuration.setPrivateKey(readKey(tls.privateKey));
    if (const QString problem = Tls::checkIdentity(configuration); !problem.isEmpty())
        refuse(QStringLiteral("TLS private key %1 does not belong to certificate %2: %3")
                   .arg(tls.privateKey, tls.certificate, problem));
}

} // namespace

QSslConfiguration TlsSettings::serverConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(protocolFor(minimumVersion));
    setIdentity(configuration, *this);
    if (clientCa.isEmpty()) {
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    } else {
        configuration.setCaCertificates(readCertificates(QStringLiteral("client CA"), clientCa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        // A refused client is told why before the close: "certificate
        // required" when it sent none, "unknown CA" or "bad certificate"
        // when verification failed, rather than a bare end of stream.
        configuration.setMissingCertificateIsFatal(true);
        configuration.setHandshakeMustInterruptOnError(true);
    }
    return configuration;
}

QSslConfiguration TlsSettings::clientConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(protocolFor(minimumVersion));
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!serverCa.isEmpty())
        configuration.setCaCertificates(readCertificates(QStringLiteral("server CA"), serverCa));
    if (!certificate.isEmpty() && !privateKey.isEmpty())
        setIdentity(configuration, *this);
    return configuration;
}

QString TlsSettings::describe() const
{
    QString listeners = QStringLiteral("listeners in clear");
    if (enabled) {
        listeners = QStringLiteral("listeners TLS only (certificate %1, %2, at least %3)")
                        .arg(certificate.isEmpty() ? QStringLiteral("none set") : certificate,
                             clientCa.isEmpty()
                                 ? QStringLiteral("any client")
                                 : QStringLiteral("clients with a certificate from CA ") + clientCa,
                             minimumVersion);
    }
    QStringList forwarders;
    if (forwarder1)
        forwarders.append(QStringLiteral("software forwarder"));
    if (forwarder3)
        forwarders.append(QStringLiteral("data host forwarder"));
    return QStringLiteral("%1; forwarders with TLS: %2")
        .arg(listeners, forwarders.isEmpty() ? QStringLiteral("none") : forwarders.join(QStringLiteral(", ")));
}

QString TlsSettings::missingServerField() const
{
    if (!enabled)
        return {};
    if (certificate.trimmed().isEmpty())
        return QStringLiteral("TLS certificate");
    if (privateKey.trimmed().isEmpty())
        return QStringLiteral("TLS private key");
    return {};
}

QString TlsSettings::problem() const
{
    const QString version = minimumVersion.trimmed();
    if (version != QLatin1String("1.2") && version != QLatin1String("1.3"))
        return QStringLiteral("The minimum TLS version \"%1\" is not 1.2 or 1.3.").arg(minimumVersion);
    return {};
}

TlsSettings TlsSettings::load(const SettingsStore &store, QStringList *complaints)
{
    TlsSettings tls;
    const auto read = [&store](const char *key, const QString &fallback, const QString &closed,
                               const char *meaning) {
        return store.read(Harborcast, TlsSection, QLatin1String(key), fallback, closed,
                          QLatin1String(meaning));
    };
    // A value that is no flag turns TLS on: never in clear by a typo.
    const auto flag = [&store, complaints](const char *key) {
        return store.readFlag(Harborcast, TlsSection, QLatin1String(key), false, true, complaints);
    };
    tls.enabled = flag("Enabled");
    tls.forwarder1 = flag("Forwarder1");
    tls.forwarder3 = flag("Forwarder3");
    tls.certificate = read("Certificate", QString(), Unreadable, "no certificate");
    tls.privateKey = read("PrivateKey", QString(), Unreadable, "no private key");
    tls.clientCa = read("ClientCa", QString(), Unreadable, "a CA nobody's certificate matches");
    tls.serverCa = read("ServerCa", QString(), Unreadable, "a CA no server's certificate matches");
    const QString version = read("MinimumVersion", tls.minimumVersion, QStringLiteral("1.3"), "1.3");
    tls.minimumVersion = version.trimmed();
    if (tls.minimumVersion != QLatin1String("1.2") && tls.minimumVersion != QLatin1String("1.3")) {
        if (complaints)
            complaints->append(QStringLiteral("Harborcast.ini [tls] MinimumVersion=%1 is not 1.2 "
                                              "or 1.3; using 1.3")
                                   .arg(version));
        tls.minimumVersion = QStringLiteral("1.3");
    }
    return tls;
}

void TlsSettings::save(SettingsStore &store) const
{
    const auto flag = flag_text::write;
    store.write(Harborcast, TlsSection, QStringLiteral("Enabled"), flag(enabled));
    store.write(Harborcast, TlsSection, QStringLiteral("Certificate"), certificate);
    store.write(Harborcast, TlsSection, QStringLiteral("PrivateKey"), privateKey);
    store.write(Harborcast, TlsSection, QStringLiteral("ClientCa"), clientCa);
    store.write(Harborcast, TlsSection, QStringLiteral("ServerCa"), serverCa);
    store.write(Harborcast, TlsSection, QStringLiteral("MinimumVersion"), minimumVersion);
    store.write(Harborcast, TlsSection, QStringLiteral("Forwarder1"), flag(forwarder1));
    store.write(Harborcast, TlsSection, QStringLiteral("Forwarder3"), flag(forwarder3));
}
