#pragma once

#include "platform/line_settings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>

class PortTable;
class SerialComm;

// The serial port as a node of the relay: the serial component Com1, the
// line settings in effect and the operator's (stored, or given for this
// run), and the chunks read but not yet relayed.
class SerialBridge : public QObject
{
    Q_OBJECT

public:
    // `ports` resolves port numbers and must outlive this.
    explicit SerialBridge(const PortTable &ports, QObject *parent = nullptr);

    [[nodiscard]] SerialComm &comm() const { return *m_comm; }

    // The line in effect, and the operator's, which the next Open applies.
    [[nodiscard]] const LineSettings &line() const { return m_line; }
    [[nodiscard]] const LineSettings &storedLine() const { return m_storedLine; }
    void setStoredLine(const LineSettings &line) { m_storedLine = line; }
    // Takes `line` as the one in effect; `by` ("" or " (set by …)") goes in
    // the log line. lineChanged() when it differs.
    void takeLine(const LineSettings &line, const char *by);

    // Puts `line` on the open port one setting at a time; what it refused
    // ("the data bits 7"), with nothing changed, or empty.
    [[nodiscard]] QString applyToOpenPort(const LineSettings &line);
    // Takes `line` on the open port for a remote peer: nothing stored, no
    // message. False, changing nothing, when closed or refused.
    bool setLineFromPeer(const LineSettings &line);
    // The operator's line again, on the open port too, after a remote peer
    // changed it; the next peer, or nobody in headless mode, must not
    // inherit its settings. A refusal (said in the log) keeps the line.
    void restoreStoredLine();

    // Configures Com1 for port `number` with the operator's line (which
    // becomes the one in effect) and opens it. Throws ComponentError when
    // any step fails; the steps before it stay done.
    void open(int number);

    // Reads what the component hands out now into the receive queue: one
    // read, or with `all` every byte it still holds (a lost device).
    void takeInput(bool all);
    // The oldest queued chunk, removed; empty when none is queued.
    [[nodiscard]] QByteArray nextChunk();
    [[nodiscard]] bool queued() const { return !m_queue.empty(); }

    quint64 received = 0; // bytes read from the device
    quint64 sent = 0;     // bytes queued for the device
    qint64 lastReceivedMs = 0; // when the last of them passed (ms since the epoch)
    qint64 lastSentMs = 0;
    quint64 losses = 0;   // times the open device vanished

signals:
    // The line in effect changed.
    void lineChanged();

private:
    SerialComm *m_comm;
    LineSettings m_line;       // in effect
    LineSettings m_storedLine; // the operator's: Open applies it
    // Serial chunks read but not yet relayed, oldest first; a receive event
    // nested in a pass of the event queue appends here and leaves the relay
    // to the outer one, so no endpoint sees chunks out of order.
    std::deque<QByteArray> m_queue;
};
