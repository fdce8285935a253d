#pragma once

#include "engine/engine.h"

#include <QString>

#include <array>
#include <functional>

class QTimer;

// One serial port with its listeners, forwarders and their peers, and the
// sessions on them: what opens and closes the port, listens, connects,
// accepts, re-arms on the supervision tick and opens a returning device
// again. The window's handlers call it and show what it did; a hub that
// nobody's handlers watch serves its own events (serve()), as every hub of
// a --devices run does.
//
// Every call runs on the hub's thread and tests the state it acts on right
// before it acts: a pass of the event queue may run anywhere a peer is
// served.
class Hub : public Engine
{
    Q_OBJECT

public:
    // `configDir` holds the settings files and the port table.
    explicit Hub(const QString &configDir, QObject *parent = nullptr);
    ~Hub() override;

    // ---- The serial port ---------------------------------------------------
    // Opens port `number` with the operator's line settings (a remote peer's
    // are forgotten); throws ComponentError when that fails. The port is the
    // operator's choice from now on: a device that vanished before is no
    // longer waited for.
    void openPort(int number);
    // Closes the port (logged); nothing when it is closed. The device is no
    // longer waited for either.
    void closePort();
    // Takes `line` as the operator's line settings: applied at once to an
    // open port, kept for the next open, stored in the settings with
    // `persist`. Returns what the port refused (nothing taken then); empty
    // when it took them.
    QString setLine(const LineSettings &line, bool persist);
    // The port that vanished while open and was not opened since; 0: none.
    [[nodiscard]] int lostPort() const { return m_lostPort; }
    // With nobody to press Open after the device vanished, the tick opens
    // the port again (same number, the operator's line) once its device is
    // back. Off by default: a window leaves it closed, red, until the
    // operator opens it.
    void setReopensLostPort(bool on) { m_reopensLostPort = on; }

    // ---- Listeners -------------------------------------------------------------
    // Listens on `port` with listener `index` (0: the system chooses once,
    // and the listener keeps that port until stopListening, so a peer that
    // left finds it where it was) and arms it: the tick listens again while
    // it is down. With `keepIfListening` a listener already listening on
    // that port is kept, so a peer arriving just then is not refused.
    // Otherwise the old socket and its peers are closed first. Returns the
    // port it listens on; throws ComponentError when it cannot listen.
    qint32 listen(int index, qint32 port, bool keepIfListening = false);
    // Stops listener `index`, closes its peers and disarms it.
    void stopListening(int index);
    // The port listener `index` was last asked to listen on (0: the system's
    // choice), or -1 when it was never asked.
    [[nodiscard]] qint32 listenPort(int index) const { return m_listenPort[std::size_t(index)]; }

    // ---- Forwarders -------------------------------------------------------------
    // Arms forwarder `index` and connects it to `host`:`port`; the tick
    // connects again while it is down. A connection under way or broken is
    // started over; one that is connected is kept. Throws ComponentError
    // when the host or port cannot be taken; a refused Connect is put right
    // by the socket's events and the tick.
    void connectTo(int index, const QString &host, qint32 port);
    // Disarms forwarder `index` and closes it (logged).
    void closeForwarder(int index);

    // ---- Events --------------------------------------------------------------------
    // The hub answers its sockets' and its port's events itself (with the
    // methods below) and runs its own supervision tick. Without this, the
    // window's handlers answer them and call these methods.
    void serve();
    // Accepts connection request `requestID` on listener `index`, as a
    // further peer while it goes on listening, else on its own socket (the
    // socket's previous connection closed). False when the peer withdrew,
    // and when the own socket took nothing (a further peer holds its place).
    bool acceptConnection(int index, qint32 requestID);
    // The peer of `index` closed its connection (logged).
    void connectionClosed(int index);
    // Endpoint `index` failed: logged and closed.
    void connectionFailed(int index, int number, const QString &description);
    // A line event of the port: received bytes are relayed; a vanished
    // device is logged and noted for the tick. True when the device vanished.
    bool serialEvent();
    // The supervision tick: opens a returning device again, lets go of
    // peers that closed, re-arms every armed endpoint that is down (a
    // forwarder connects, a listener listens: through `relisten` when
    // given, else on its last port) and reports each endpoint's state.
    // A failure ends the tick; the next starts over.
    void tick(const std::function<void(int)> &relisten = {});

    // Logs the TLS of endpoint `index`'s connection (nothing for plain TCP).
    void logSecurity(int index) const;
    // Closes everything, as Exit does: the serial port and every open socket,
    // queued output handed to the OS. The hub serves nothing more.
    void shutDown();

signals:
    // Endpoint `index` changed state (listening, connected, closed, failed).
    void endpointChanged(int index);
    // The serial port opened, closed or vanished.
    void portChanged();

private:
    void reopenLostPort();

    int m_lostPort = 0;
    bool m_reopensLostPort = false;
    bool m_reopenFailureLogged = false; // once per loss
    std::array<qint32, EndpointCount> m_listenPort {};
    // Per listener: the port the system chose for a port of 0, kept until
    // stopListening.
    std::array<qint32, EndpointCount> m_chosenPort {};
    QTimer *m_tick = nullptr; // serve(): the supervision tick
};
