#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QStringList>

class SettingsStore;

// TLS of the listeners and the forwarders: Harborcast.ini, section [tls].
// The files are named here and read when a configuration is made (each
// Listen and Connect), so a certificate renewed on disk is used from then on.
struct TlsSettings {
    bool enabled = false;  // the two listeners speak TLS only
    QString certificate;   // PEM, the chain may follow the certificate
    QString privateKey;    // PEM, unencrypted RSA or EC
    QString clientCa;      // PEM: when set, clients must hold a certificate it signed
    QString serverCa;      // PEM: forwarders trust only it (else the system's CAs)
    QString minimumVersion = QStringLiteral("1.2"); // "1.2" or "1.3"
    bool forwarder1 = false; // the software forwarder connects with TLS
    bool forwarder3 = false; // the data host forwarder connects with TLS

    friend bool operator==(const TlsSettings &, const TlsSettings &) = default;

    // For a listener. Throws ComponentError(WinsockCode::InvalidTlsSetup)
    // whose text names the file and what is wrong with it: missing,
    // unreadable, no PEM in it, expired or not yet valid, key and
    // certificate not belonging together.
    [[nodiscard]] QSslConfiguration serverConfiguration() const;
    // For a forwarder: verifies the server against serverCa or the system's
    // CAs, presents certificate and key when both are set. Throws as above.
    [[nodiscard]] QSslConfiguration clientConfiguration() const;

    // The rules in effect, for the log: "listeners TLS only (certificate
    // F, clients with a certificate from CA F, at least 1.2); forwarders:
    // none".
    [[nodiscard]] QString describe() const;
    // The label of the first file field TLS on the listeners needs and that
    // is empty ("TLS certificate", "TLS private key"); empty when none is.
    [[nodiscard]] QString missingServerField() const;

    // What is wrong with these settings for an operator who just typed them;
    // empty when nothing is. The files, and whether they are named at all,
    // are checked at each Listen and Connect, which then fail closed.
    [[nodiscard]] QString problem() const;

    // Reads [tls]. Fails closed: a value that cannot be read, or a flag that
    // is none of true/false, yes/no, on/off, 1/0, turns TLS on,
    // asks for 1.3, or names a CA file that cannot exist, so that nothing
    // is served in clear or to a client that was not checked. Each such
    // value, and a malformed MinimumVersion (read as 1.3), adds a line to
    // `complaints`.
    [[nodiscard]] static TlsSettings load(const SettingsStore &store, QStringList *complaints);
    // Writes [tls]. Throws ComponentError(75) when it cannot.
    void save(SettingsStore &store) const;
};
