#pragma once

#include "engine/network_settings.h"
#include "engine/settings_store.h"
#include "engine/tls_settings.h"
#include "platform/line_settings.h"

#include <QString>
#include <QStringList>

#include <optional>

// Every setting the hub keeps, typed, in one place: which file, section and
// key each lives in and how its text reads. Nothing else names a file,
// section or key.
//
//   Harborcast.ini [startup]  the endpoints' port and host fields
//                  [network]  ListenAddress, AllowedPeers, Rfc2217
//                  [tls]      Enabled, Certificate, PrivateKey, ClientCa, ServerCa,
//                             MinimumVersion, Forwarder1, Forwarder3
//                  [session]  Restore, and what Exit noted to restore (in
//                             session.ini [session] of the service's state
//                             folder when it runs as one)
//                  [view]     AllEndpoints
//                  [monitor]  Metrics, MetricsTls, MaxConnections, IdleTimeout
//                  [announce] Enabled, Name
//   Tolvar.ini     [startup]  ComPort, the last port chosen (never read back)
//                  [line]     the serial line
class HubSettings
{
public:
    // What runs, as restoring it would redo it.
    struct Session {
        int comPort = 0; // the open serial port, 0 when none
        bool server2 = false;
        bool forwarder1 = false;
        bool forwarder3 = false;
    };

    // Run as a systemd service with a state folder, the session is noted
    // there (the configuration folder may be read-only) and read from there
    // first, the configuration's [session] standing for a note never made.
    explicit HubSettings(const QString &configDir);

    // The raw store, for what reads every key alike (the fuzz target, tests).
    [[nodiscard]] SettingsStore &store() { return m_store; }
    [[nodiscard]] const SettingsStore &store() const { return m_store; }

    // An endpoint field of [startup] (`key` comes from the endpoint rows), or
    // `fallback`. Never throws.
    [[nodiscard]] QString startupField(const QString &key, const QString &fallback) const;
    // Stores a field as given. Throws ComponentError(75) when it cannot.
    void setStartupField(const QString &key, const QString &value);
    // The port chosen last, for the operator only. Throws ComponentError(75).
    void setChosenComPort(int number);

    // [line]: an absent key keeps its default; a malformed one does too and
    // adds a line to `complaints`.
    [[nodiscard]] LineSettings line(QStringList *complaints) const;
    // Writes every key of [line]. Throws ComponentError(75) when it cannot.
    void setLine(const LineSettings &line);

    // [network], read as NetworkSettings::load reads it.
    [[nodiscard]] NetworkSettings network(QStringList *complaints) const;
    // Writes [network]. Throws ComponentError(75) when it cannot.
    void setNetwork(const NetworkSettings &network);

    // [tls], read as TlsSettings::load reads it.
    [[nodiscard]] TlsSettings tls(QStringList *complaints) const;
    // Writes [tls]. Throws ComponentError(75) when it cannot.
    void setTls(const TlsSettings &tls);

    // What the files hold that is not read as written, one line each naming
    // the file, section and key and what is used instead: sections and keys
    // the hub does not know, and the flags of [session], [view] and
    // [monitor] that are no flag. [network], [tls] and [line] complain when
    // they are read. Never throws.
    [[nodiscard]] QStringList problems() const;

    // Flags read true/false, yes/no, on/off or 1/0, in any case.
    // [session] Restore: anything else is off (nothing is reopened).
    [[nodiscard]] bool restoresSession() const;
    // Throws ComponentError(75) when it cannot be stored.
    void setRestoresSession(bool on);
    // The session Exit noted (read whatever Restore says).
    [[nodiscard]] Session session() const;
    // Notes `session` when Restore is on; a failure is logged, never thrown:
    // the program is ending.
    void noteSession(const Session &session);

    // [view] AllEndpoints; anything else is off. The setter throws
    // ComponentError(75).
    [[nodiscard]] bool allEndpoints() const;
    void setAllEndpoints(bool on);

    // [monitor] Metrics: where the metrics are served, "ADDRESS:PORT" as
    // written; empty (the default): nowhere. Never throws.
    [[nodiscard]] QString metricsAddress() const;
    // [monitor] MetricsTls: the metrics only over TLS, with the [tls] files.
    // Fails closed: a value that is no flag is on.
    [[nodiscard]] bool metricsTls() const;
    // [monitor] MaxConnections: HTTP connections served at once, 1..100000;
    // anything else: 64. Never throws.
    [[nodiscard]] int metricsMaxConnections() const;
    // [monitor] IdleTimeout: seconds (fractions allowed) an HTTP connection
    // may go without a complete request, 0.01..86400; anything else: 30.
    // In milliseconds. Never throws.
    [[nodiscard]] int metricsIdleTimeoutMs() const;
    // [monitor] Terminal=open: the console's terminals are open to clients
    // without a client certificate. Anything else keeps them for clients
    // that may act on the hub. Never throws.
    [[nodiscard]] bool consoleTerminalOpen() const;

    // [announce] Enabled: the TCP/IP Server announced by DNS-SD; anything
    // else is off. Never throws.
    [[nodiscard]] bool announces() const;
    // [announce] Name: the announced instance name; empty: the default.
    [[nodiscard]] QString announceName() const;

private:
    SettingsStore m_store;
    std::optional<SettingsStore> m_notes; // the service's state folder, if any
};
