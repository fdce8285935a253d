#pragma once

#include "monitor/metrics_server.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QJsonObject;
class QTcpSocket;
class QTimer;
class QWebSocket;

// The WebSocket side of the console, on the metrics server:
//   /events               the hubs' state and the log as they change
//   /hubs/NAME/terminal   one more peer of hub NAME's TCP/IP Server
// and anything else closed with 1008. Each client comes with what it may
// do: act on the hubs (a client certificate the client CA signed), open
// terminals (that, or [monitor] Terminal=open).
class Console : public QObject
{
    Q_OBJECT

public:
    struct Access {
        bool control = false;
        bool terminal = false;
        QString subject; // the client certificate's, "CN=..."; empty: none
    };

    // `source` must outlive this.
    explicit Console(const MetricsServer::Source &source, QObject *parent = nullptr);
    ~Console() override;

    // Takes an upgraded connection (this owns it from here), with the TCP
    // connection under it, and serves the path it asked for.
    void take(QWebSocket *socket, QTcpSocket *transport, const Access &access);

    // Largest frame and message a client may send.
    static constexpr qint64 FrameLimit = 64 * 1024;
    // A subscriber that leaves this much unread is closed.
    static constexpr qint64 BacklogLimit = 1024 * 1024;
    // State and log frames go out at most this often per subscriber, and
    // this long after a hub or the log changed.
    static constexpr int FrameIntervalMs = 100;
    // A state that differs only in its counters goes out at most this often.
    static constexpr int CounterIntervalMs = 1000;
    // A terminal let go waits this long for its close to go out.
    static constexpr int CloseWaitMs = 5000;

private:
    struct Subscriber {
        QPointer<QWebSocket> socket;
        Access access;
        quint64 logSeen = 0;
        bool stateSeen = false;
        bool slowLogged = false;
    };

    void openEvents(QWebSocket *socket, const Access &access);
    void openTerminal(QWebSocket *socket, QTcpSocket *transport, const QString &name, const Access &access);
    void refuse(QWebSocket *socket, const QString &why);
    // Sends `frame` unless the subscriber holds too much unsent already;
    // then it is closed. False when it is gone.
    bool send(Subscriber &subscriber, const QByteArray &frame);
    // Connects the hubs' and the log's news to changed(), once each.
    void follow();
    void changed();
    // Sends what changed: the state when its shape did, or with `counters`
    // (or a second after the last) when only its counters did; new log lines.
    void tick(bool counters);
    void answer(Subscriber &subscriber, const QString &message);
    // Carries out one action of a client with control; empty when it was
    // done, else why not, as the window would say it.
    QString act(const Access &access, const QJsonObject &request);
    [[nodiscard]] QByteArray stateFrame(QByteArray *shape) const;
    [[nodiscard]] QByteArray logFrame(quint64 after, quint64 *last) const;

    const MetricsServer::Source &m_source;
    QList<Subscriber *> m_subscribers;
    QTimer *m_frameTimer;   // one frame interval after a change
    QTimer *m_counterTimer; // each second while anyone subscribes
    QByteArray m_lastState;     // the last state sent to everyone, whole
    QByteArray m_lastShape;     // the same without its counters
    qint64 m_lastStateMs = 0;
};
