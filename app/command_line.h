#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. Parsed before any application object
// exists, so --help, --version and mistakes need no display.
struct CommandLine {
    enum class Action { Run, Help, Version, ListPorts, Error };

    Action action = Action::Run;
    QString message;     // Help: the help text; Error: one line saying what is wrong
    bool headless = false;
    // --devices FILE: every device of this INI file, a section each, in one
    // process (implies headless). Only named here: it is read at start.
    QString devicesFile;
    int openPort = 0;    // --open N (1..64); 0 when not given
    QString openDevice;  // --open PATH (a device file, given with a '/'); empty when not given
    QString listenPort;  // --listen [ADDRESS:]PORT's port (digits, 0..65535); empty when not given
    QString configDir;   // --config-dir DIR; empty for the default folder
    // Line settings for this run, over the stored ones (not stored).
    qint32 baudRate = 0;  // --baud N; 0 when not given
    QString framing;      // --framing 8N1; empty when not given
    QString flowControl;  // --flow none|rtscts|xonxoff; empty when not given
    // Network settings for this run, over the stored ones (not stored).
    QString listenAddress; // --listen-address any|loopback|ADDRESS, or --listen ADDRESS:PORT's
    QString allowedPeers;  // --allow LIST
    bool allowGiven = false;
    bool rfc2217 = false;  // --rfc2217: the TCP/IP Server speaks RFC 2217 this run
    QString serverPeers;   // --server-peers N|keep as checked ("keep" or the number); empty when not given
    bool kickOldest = false; // --kick-oldest
    QString captureFile;   // --capture FILE
    // TLS on the listeners for this run, over the stored [tls] files; any
    // of them turns TLS on (not stored).
    QString tlsCertificate; // --tls-cert FILE
    QString tlsKey;         // --tls-key FILE
    QString tlsClientCa;    // --tls-client-ca FILE
    // --link HOST:PORT --link-device PATH: a remote hub's serial port as a
    // local device (the program then runs as the link alone, headless).
    QString linkHost;      // empty when --link is not given
    quint16 linkPort = 0;
    QString linkDevice;
    // --link-tls: the link connects with TLS, verifying the hub against the
    // system's CAs or --link-tls-ca FILE (which implies --link-tls); it
    // presents --tls-cert/--tls-key when given.
    bool linkTls = false;
    QString linkTlsCa;
    QString metrics;       // --metrics ADDRESS:PORT, checked; empty when not given
    bool json = false;     // --json: --list-ports prints JSON
    bool metricsTls = false; // --metrics-tls: the metrics only over TLS, with the [tls] files
    bool announce = false;   // --announce: the TCP/IP Server announced by DNS-SD this run
};

// Parses `arguments` (argv, the program name first).
[[nodiscard]] CommandLine parseCommandLine(const QStringList &arguments);

// "quaylight 0.2.0": the program's name and version.
[[nodiscard]] QString versionLine();
