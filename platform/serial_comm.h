#pragma once

#include "platform/event_gate.h"
#include "platform/line_settings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class PortTable;
class QSerialPort;
class QSocketNotifier;
class QTimer;

// Numeric codes of the serial component (thrown in ComponentError), after the
// classic MSComm numbering.
namespace CommCode {
inline constexpr int InvalidPropertyValue = 380; // bad Settings text, size, number
inline constexpr int PortOpen = 8000;            // property cannot change while open
inline constexpr int PortInvalid = 8002;         // number names no device, or device gone
inline constexpr int PortAlreadyOpen = 8005;     // another program holds the device
inline constexpr int PortNotOpen = 8018;         // Output on a closed port
inline constexpr int DeviceError = 8020;         // any other OS failure opening the device
} // namespace CommCode

// Input modem lines, laid out as RFC 2217's modem state (ModemLines()).
namespace ModemLine {
inline constexpr quint8 Cts = 0x10;
inline constexpr quint8 Dsr = 0x20;
inline constexpr quint8 Ri = 0x40;
inline constexpr quint8 Dcd = 0x80;
} // namespace ModemLine

// CommEvent values. 2 is the only one the relay acts on.
namespace CommEventCode {
inline constexpr int Send = 1;           // output buffer emptied (SThreshold)
inline constexpr int Receive = 2;        // RThreshold bytes are waiting
inline constexpr int Break = 1001;
inline constexpr int Frame = 1004;
inline constexpr int Overrun = 1006;
inline constexpr int RxParity = 1009;
inline constexpr int DeviceLost = 1101;  // the device vanished; the port was closed
} // namespace CommEventCode

// The serial port of the relay: one numbered port at a time, events on the
// window thread, bytes one to one.
//
// No byte is ever dropped: Input returns at most InputLen bytes and whatever
// stays queued raises another receive event. Events come from Qt's event loop
// (posted, or receive and send events straight from the port's notifications)
// and are delivered one at a time, never from inside a call on this object:
// while a handler runs (even one that makes a pass of the event queue) no
// other OnComm is emitted. Receive events are coalesced: one is emitted when
// at least RThreshold bytes wait; after the handlers return, if RThreshold
// bytes still wait, the next one follows at once when the handler read some,
// or after a short pause (25 ms, port open) when it read none, so a handler
// that leaves bytes waiting cannot make the component spin. An event is a
// plain signal emission: whatever a handler throws passes through here
// untouched (the relay core keeps exceptions from the event loop).
//
// A device that vanishes while open (USB unplug, pty master closed): what it
// had delivered is kept, the port closes at once, receive events go on for the
// kept bytes (CommEvent 2, PortOpen false) and then OnComm raises DeviceLost
// (1101). Bytes still inside the kernel at the hang-up are discarded by the
// kernel itself.
class SerialComm : public QObject
{
    Q_OBJECT

public:
    // `ports` resolves port numbers to device files; it must outlive this.
    explicit SerialComm(const PortTable &ports, QObject *parent = nullptr);
    ~SerialComm() override;

    SerialComm(const SerialComm &) = delete;
    SerialComm &operator=(const SerialComm &) = delete;

    // Port number 1..64 used by the next open. Throws 8000 while open, 380
    // outside 1..64.
    void setCommPort(int number);
    [[nodiscard]] int CommPort() const { return m_commPort; }

    // Line settings "baud,parity,data,stop", e.g. "19200,N,8,1" (parity N, E,
    // O, M or S, any case; data 5..8; stop 1, 1.5 or 2; blanks around fields
    // allowed). Throws 380 on a malformed text. Applied to the device at once
    // when open; when the open device refuses them, the previous settings
    // stay and it throws 380. Settings() returns the text normalised
    // ("9600,e,7,2" reads "9600,E,7,2").
    void setSettings(const QString &settings);
    [[nodiscard]] QString Settings() const { return m_line.commSettings(); }

    // Flow control of the line: 0 none (the default), 1 RTS/CTS, 2 XON/XOFF;
    // anything else throws 380. Applied like Settings: at once when open
    // (refused by the device: the previous mode stays and it throws 380),
    // else at the next open.
    void setFlowControl(int mode);
    [[nodiscard]] int FlowControl() const { return m_line.commFlowControl(); }

    // Speed, framing and flow control at once, as Settings and FlowControl
    // take them (the modem lines stay with setDTREnable and setRTSEnable).
    // Throws 380 on values no line can have, and, refused by the open
    // device, keeps what it had and throws 380.
    void setLineSettings(const LineSettings &line);
    // What Settings, FlowControl and the modem lines hold now.
    [[nodiscard]] LineSettings lineSettings() const;
    // The framing the open device really keeps (data bits, parity, stop
    // bits, read back from it) over lineSettings(); a device may take a
    // setting without an error and drop it (a pseudo-terminal drops
    // parity). Nothing while closed.
    [[nodiscard]] std::optional<LineSettings> deviceFraming() const;

    enum class SenderHold { Auto, Yes, No };
    // Whether pausing reads holds the device's sender back (so nothing is lost
    // while the relay stops reading). Auto: yes when the line has RTS/CTS or
    // XON/XOFF flow control, or the device holds its sender by itself (a
    // pseudo-terminal, a USB CDC-ACM device ttyACM*); Yes/No force it (tests).
    // While closed, Auto answers for the device CommPort names now (false
    // when it names none); this looks the number up in the port table.
    // Only informs the relay: setReceivePaused works the same either way.
    void setSenderHold(SenderHold hold);
    [[nodiscard]] bool HoldsSender() const;

    // Receive buffer size hint in bytes (1..32767); throws 380 otherwise.
    // Received bytes are never limited by it.
    void setInBufferSize(int size);
    [[nodiscard]] int InBufferSize() const { return m_inBufferSize; }

    // 0 text, 1 binary: both deliver the bytes unchanged here.
    void setInputMode(int mode);
    [[nodiscard]] int InputMode() const { return m_inputMode; }

    // Most bytes one Input read returns; 0 means all that are waiting.
    void setInputLen(int length);
    [[nodiscard]] int InputLen() const { return m_inputLen; }

    // Receive event threshold in bytes; 0 turns receive events off. Negative
    // throws 380.
    void setRThreshold(int threshold);
    [[nodiscard]] int RThreshold() const { return m_rThreshold; }

    // Send event threshold; 0 turns send events off. CommEvent 1 is raised
    // once each time the output buffer, having held SThreshold bytes or more,
    // drops below SThreshold.
    void setSThreshold(int threshold);
    [[nodiscard]] int SThreshold() const { return m_sThreshold; }

    // Output modem lines: set at once while open, else at the next open.
    // A device without modem lines (a pseudo-terminal) refuses the change;
    // that is no failure: the value is kept for the next open and the
    // getter still reads it (with no line to read back, it is the only value
    // in effect). Returns whether the line took it (true while closed);
    // never blocks, never throws.
    bool setDTREnable(bool on);
    [[nodiscard]] bool DTREnable() const { return m_dtr; }
    bool setRTSEnable(bool on);
    [[nodiscard]] bool RTSEnable() const { return m_rts; }

    // The input modem lines now, as ModemLine bits read from the device; 0
    // while closed or when the device has none (a pseudo-terminal). Cheap
    // enough to poll; never blocks, never throws.
    [[nodiscard]] quint8 ModemLines();

    // Starts (true) or ends (false) a break on the open line. Returns whether
    // the device took it; false while closed. Break() reads the state the
    // device took last; a close ends it. Never blocks, never throws.
    [[nodiscard]] bool setBreak(bool on);
    [[nodiscard]] bool Break() const { return m_break; }

    // Drops waiting bytes: `input` those received and not yet read (here and
    // in the device), `output` those queued for the device and not yet sent.
    // Nothing while closed. Dropped output is reported by a BytesWritten
    // posted from here, so whoever waits for the queue to drain sees it.
    void purge(bool input, bool output);

    // False keeps NUL bytes; True drops them from what Input returns (so an
    // Input may return fewer than InputLen bytes; InBufferCount counts them).
    void setNullDiscard(bool discard);
    [[nodiscard]] bool NullDiscard() const { return m_nullDiscard; }

    // True opens the device of CommPort exclusively with the line settings;
    // throws 8002 when the number names no device, 8005 when the device is
    // held by another open, 8020 for other failures, 8005 when already open.
    // A failed open leaves nothing open. Events posted before a new open are
    // dropped; bytes a vanished device left behind stay first in line.
    // False closes the port and drops unread and unwritten bytes (also those a
    // vanished device left behind) and every event not yet delivered; it
    // never throws.
    void setPortOpen(bool open);
    // Closes the port like setPortOpen(false), except that queued output is
    // handed to the device's queue as far as it takes it without waiting and
    // what sits there already is kept: for the end of the program.
    void closeHandingOver();
    [[nodiscard]] bool PortOpen() const;

    // Queues bytes for the device; never blocks. What the device takes now
    // is written before this returns. Throws 8018 when closed.
    void setOutput(const QByteArray &data);

    // At most InputLen received bytes, removed from the queue. Bytes that a
    // vanished device delivered before it went stay readable after the close.
    [[nodiscard]] QByteArray Input();

    // Bytes received and not yet read.
    [[nodiscard]] qint64 InBufferCount() const;

    // Bytes queued by Output and not yet taken by the device.
    [[nodiscard]] qint64 OutBufferCount() const;

    // Cause of the latest OnComm event (CommEventCode).
    [[nodiscard]] int CommEvent() const { return m_commEvent; }

    // Device path of the open port, empty when closed.
    [[nodiscard]] QString DevicePath() const;

    // While paused, no receive event is raised and at most ReadBufferLimit
    // received bytes are taken from the device; the rest waits in the
    // device itself. Used by the relay when a destination is full.
    void setReceivePaused(bool paused);
    [[nodiscard]] bool ReceivePaused() const { return m_receivePaused; }

    // Received bytes held here at most; beyond it the device is not read.
    // The device is read in one system call per notification, of as much as
    // this leaves room for; Input cuts what was read into its chunks.
    static constexpr qint64 ReadBufferLimit = 64 * 1024;
    // Unpaused, the device is read only while this much room is free (a
    // pseudo-terminal hands out at most 4095 bytes a read), so a relay slower
    // than its device reads it in full pieces rather than in slivers; paused,
    // it is read up to the limit.
    static constexpr qint64 MinReadRoom = 4 * 1024;
    // Switched off for want of room, reading resumes once this much is free.
    static constexpr qint64 ResumeReadRoom = 16 * 1024;

signals:
    // Something happened on the line; read CommEvent for what.
    void OnComm();
    // The OnComm events of one delivery (a handler that keeps reading is
    // called a few times in a row) are over.
    void DeliveryEnded();
    // The device took `bytes` of the output, or purge dropped them:
    // OutBufferCount went down. Emitted from Qt's write notification or
    // posted by purge; from inside a call here only by closeHandingOver.
    void BytesWritten(qint64 bytes);

private:
    void onDeviceReadable();
    void watchDevice();
    void unwatchDevice();
    void updateReading();
    [[nodiscard]] qint64 unread() const { return m_received.size() - m_readPos; }
    void onBytesWritten(qint64 bytes);
    void onPortError(int error);
    // Writes what the device takes now, inside the call that handed it over.
    void writeNow();
    void onRetryTimeout();
    void deviceLost();
    void setLine(const LineSettings &line, const QString &what);
    void dropSession(bool discardOutput = true);
    void schedule();
    void raiseFromNotification();
    void deliver(quint64 generation);
    [[nodiscard]] bool receiveReady() const;
    [[nodiscard]] bool deviceHungUp() const;

    const PortTable &m_ports;
    QSerialPort *m_port = nullptr;
    QSocketNotifier *m_readNotifier = nullptr; // the open device's, while there is room
    QTimer *m_retryTimer = nullptr; // re-announces bytes a handler left waiting
    QString m_devicePath;
    int m_commPort = 1;
    LineSettings m_line {.baudRate = 9600};
    int m_inBufferSize = 1024;
    int m_inputMode = 0;
    int m_inputLen = 0;
    SenderHold m_senderHold = SenderHold::Auto;
    bool m_deviceHoldsSender = false; // the open device holds its sender by itself
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_break = false;
    bool m_nullDiscard = false;
    int m_commEvent = 0;
    // Bytes read from the device and not yet handed out, from m_readPos on;
    // kept when the device vanishes (first in line at the next open).
    QByteArray m_received;
    qsizetype m_readPos = 0;
    QByteArray m_chunk;    // what Input read last; reused once nobody else holds it
    quint64 m_taken = 0;   // bytes Input has handed out, ever

    // Event delivery: at most one delivery posted at a time; a deliberate
    // close or a new open bumps the generation, so a delivery posted before
    // it finds a stale number and does nothing.
    quint64 m_generation = 0;
    EventGate m_gate;            // at most one delivery posted; its handler running
    bool m_handingOver = false;  // closeHandingOver is flushing the output
    bool m_writingNow = false;   // setOutput is writing to the device
    bool m_receiveWanted = false; // bytes arrived (or stayed) since the last receive event
    bool m_sendArmed = false;    // the output buffer reached SThreshold
    bool m_opening = false;      // inside setPortOpen(true): errors are judged there
    int m_ioErrorStreak = 0;     // I/O errors in a row with no byte moved
    bool m_sendPending = false;  // a Send event waits (coalesced)
    bool m_lostPending = false;  // a DeviceLost event waits, after the kept bytes
    bool m_receivePaused = false; // the relay holds received bytes back
};
