#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

// One connection to a peer as the relay sees it, whatever carries it: plain
// TCP and TLS (Winsock), and whatever transport comes next. It takes bytes
// for its peer, hands over what its peer sent, reports what it still owes its
// peer and can stop reading. The router, flow control and the RFC 2217
// session work on this and nothing more.
class Connection : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Queues the bytes for the peer; never blocks. Throws ComponentError
    // when the connection takes no bytes now.
    virtual void SendData(const QByteArray &data) = 0;
    // True while SendData takes bytes.
    [[nodiscard]] virtual bool CanSend() const = 0;
    // While on, what SendData queues is kept and handed over in one write
    // when it is switched off (also when the connection closes meanwhile).
    virtual void setGathering(bool on) = 0;
    // Everything the peer sent that was not read yet, as one chunk.
    [[nodiscard]] virtual QByteArray GetData() = 0;
    // Bytes queued for the peer that it has not taken yet: the backlog.
    [[nodiscard]] virtual qint64 BytesToSend() const = 0;
    // While paused, DataArrival is not raised and the peer is held back by
    // its transport's own flow control. Resuming announces what waits.
    virtual void setReceivePaused(bool paused) = 0;
    [[nodiscard]] virtual bool ReceivePaused() const = 0;

    // ---- The peer's end, for the hub that holds it as a peer --------------
    // Winsock's state numbers: 7 connected, 8 the peer closed, 0 closed.
    [[nodiscard]] virtual int State() const = 0;
    // Ends the connection: what SendData queued is handed over as far as it
    // goes without waiting; State becomes 0. Safe in every state.
    virtual void Close() = 0;
    // Ends it as cut off (a reset): the peer must not take what it got for
    // the whole stream. State becomes 0.
    virtual void Abort() = 0;
    // After the peer closed: takes no more bytes for it.
    virtual void StopSending() = 0;
    // Received bytes not yet taken by GetData.
    [[nodiscard]] virtual qint64 BytesReceived() const = 0;
    // The peer's address and port.
    [[nodiscard]] virtual QString RemoteHostIP() const = 0;
    [[nodiscard]] virtual quint16 PeerPort() const = 0;
    // The peer certificate's subject; empty: none. And the transport's
    // security in words for the log; empty: plain.
    [[nodiscard]] virtual QString PeerSubject() const = 0;
    [[nodiscard]] virtual QString Security() const = 0;
    // The CA certificates the peer's certificate was checked against, for a
    // connection some other server took (a browser's terminal on the
    // console); empty: none checked, or checked by the hub's own listener.
    [[nodiscard]] virtual QList<QSslCertificate> PeerCheckedBy() const { return {}; }

signals:
    // Bytes are waiting; `bytesTotal` is how many at the time of delivery.
    void DataArrival(qint64 bytesTotal);
    // The peer took `bytes` of what SendData queued: the backlog went down.
    void BytesSent(qint64 bytes);
    // The peer closed the connection, or only its sending side: State is 8.
    void PeerClosed();
    // The connection broke: State is 9. `number` is one of WinsockCode,
    // `description` the reason for people.
    void Error(int number, const QString &description);
};
