#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include <functional>

class Console;
class Engine;
class Hub;
class LogTail;
class QHttpServer;
class QTcpServer;

// The hub's metrics over HTTP, for Prometheus and for scripts:
//   GET /metrics  the Prometheus text format 0.0.4
//   GET /status   the same as JSON
//   GET /         the web console, its script, style and terminal widget
//                 (console_files.h)
//   /events, /hubs/NAME/terminal   the console's WebSockets (Console)
// and 404 for anything else. Both are written from the engine's snapshot at
// the moment of the request; nothing is counted here.
//
// It runs on the relay's thread and never waits: a request is answered from
// the snapshot at once and the socket writes without blocking, so a scrape
// costs the relay the time to write a few KiB of text. A peer that
// AllowedPeers ([network], read at each connection) does not name is closed
// at once with a log line (and, after a change, by closeOutsiders); a request larger than RequestLimit gets 431 and
// the connection is closed, a malformed one 400 and the close; a request
// that asks for the close (HTTP/1.0, "Connection: close") gets its answer
// and then the close. With TLS (--metrics-tls, [monitor] MetricsTls,
// for an address beyond loopback) a client is served once its handshake is
// done, with a client certificate when [tls] ClientCa asks for one.
//
// Scrapers must not take the relay's descriptors: at most
// Limits::maxConnections connections are served at once (a newcomer past
// that is closed at once, logged and counted), and a connection that sends
// no complete request for Limits::idleTimeoutMs, idle or trickling one in,
// is closed.
class MetricsServer : public QObject
{
    Q_OBJECT

public:
    // `engine` must outlive this.
    explicit MetricsServer(const Engine &engine, QObject *parent = nullptr);
    // What is served, asked at each request or connection.
    struct Source {
        std::function<QList<const Engine *>()> hubs; // each labelled by its name
        std::function<bool(const QHostAddress &)> allows; // AllowedPeers as it is now
        bool several = true; // /status lists the hubs even when there is one
        // The console's: a hub by its name (nullptr: none), for its terminal
        // and the actions on it; the log lines it shows; whether a client
        // without a client certificate may open a terminal ([monitor] Terminal).
        std::function<Hub *(const QString &)> hub;
        LogTail *log = nullptr;
        bool terminalOpen = false;
    };
    explicit MetricsServer(Source source, QObject *parent = nullptr);
    ~MetricsServer() override;

    struct Limits
    {
        int maxConnections = 64;   // [monitor] MaxConnections
        int idleTimeoutMs = 30'000; // [monitor] IdleTimeout, in seconds there
    };
    // Takes effect at the next listen.
    void setLimits(const Limits &limits);

    // Connections closed at once because maxConnections were open.
    [[nodiscard]] quint64 refusedAtLimit() const;
    // Connections open now.
    [[nodiscard]] int openConnections() const;

    // Closes the oldest connection that waits between requests (else the
    // oldest of all): the relay needs its descriptor.
    void releaseOldest();
    // Closes the connections, WebSockets too, of peers that AllowedPeers
    // does not name now (it changed).
    void closeOutsiders();

    // Serves on `address`:`port` (0: the system chooses) and returns the
    // port. With `tls`, only over TLS with the configuration it makes (the
    // listeners' [tls] files): it throws when there is none, as when it
    // cannot listen (ComponentError, a WinsockCode).
    quint16 listen(const QHostAddress &address, quint16 port,
                   const std::function<QSslConfiguration()> &tls = {});

    // Reads "ADDRESS:PORT" ("127.0.0.1:9471", "[::1]:9471", "localhost:9471",
    // port 0..65535; a name stands for its first IPv4 address, else its
    // first); false, touching neither output, when `text` is not that.
    [[nodiscard]] static bool parseAddress(const QString &text, QHostAddress *address,
                                           quint16 *port);

    // Most bytes one request may have, request line, headers and body.
    static constexpr qint64 RequestLimit = 8 * 1024;

private:
    [[nodiscard]] QByteArray ownMetrics() const;

    void upgraded();

    Source m_source;
    QHttpServer *m_http;
    Console *m_console;
    Limits m_limits;
    QTcpServer *m_server = nullptr; // owned by m_http once listening
};
