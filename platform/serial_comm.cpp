#include "platform/serial_comm.h"

#include "platform/component_error.h"
#include "platform/port_table.h"
#include "platform/serial_comm_os.h"

#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// Pause before a receive event is raised again for bytes that a handler left
// waiting without reading any (so such a handler cannot make us spin).
constexpr int RetryPauseMs = 25;

// I/O errors in a row, with no byte moved in between, after which the device
// counts as lost even when it does not read as hung up.
constexpr int MaxIoErrorStreak = 16;

// Hands the settings to the port (stored for the next open when closed).
bool applySettings(QSerialPort &port, const LineSettings &s)
{
    static constexpr QSerialPort::Parity Parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                       QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                       QSerialPort::SpaceParity};
    static constexpr QSerialPort::FlowControl Flows[] = {
        QSerialPort::NoFlowControl, QSerialPort::HardwareControl, QSerialPort::SoftwareControl};
    const QSerialPort::StopBits stop = s.stopBits == QLatin1String("2") ? QSerialPort::TwoStop
        : s.stopBits == QLatin1String("1.5")                            ? QSerialPort::OneAndHalfStop
                                                                        : QSerialPort::OneStop;
    // Every setter runs, so a refused one does not keep the others back.
    bool ok = port.setBaudRate(s.baudRate);
    ok = port.setDataBits(QSerialPort::DataBits(s.dataBits)) && ok;
    ok = port.setParity(Parities[int(s.parity)]) && ok;
    if (port.isOpen())
        ok = serial_os::settleParity(int(port.handle()), s.parity) && ok;
    ok = port.setStopBits(stop) && ok;
    ok = port.setFlowControl(Flows[int(s.flowControl)]) && ok;
    return ok;
}

// The one place where a QSerialPort failure becomes an MSComm code. Its
// text starts with the system's own words ("Device or resource busy"), then
// the device and what to do about it.
ComponentError commError(QSerialPort::SerialPortError error, const QString &path,
                         const QString &detail)
{
    const QString where = path.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(path);
    const auto system = [](int errnum) { return QString::fromLocal8Bit(std::strerror(errnum)); };
    const ComponentError absent {CommCode::PortInvalid, system(ENOENT) + where};
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return absent;
    case QSerialPort::OpenError:
        return {CommCode::PortAlreadyOpen, QStringLiteral("The port is already open") + where};
    case QSerialPort::PermissionError:
        // The lock file, TIOCEXCL (EBUSY) and a missing access right all read
        // as PermissionError; only the last one is not "held by another".
        if (!path.isEmpty() && !QFileInfo::exists(path))
            return absent;
        if (!path.isEmpty() && !serial_os::mayReadWrite(path)) {
            // Serial devices belong to a group (dialout on Debian); say which.
            const QString group = QFileInfo(path).group();
            return {CommCode::DeviceError,
                    QStringLiteral("%1%2: add the user to the %3 group (sudo usermod -aG %3 "
                                   "$USER, then log in again)")
                        .arg(system(EACCES), where,
                             group.isEmpty() ? QStringLiteral("dialout") : group)};
        }
        return {CommCode::PortAlreadyOpen,
                system(EBUSY) + where + QStringLiteral(": another program holds it")};
    default:
        if (!path.isEmpty() && !QFileInfo::exists(path))
            return absent;
        return {CommCode::DeviceError, QStringLiteral("The device failed: ") + detail + where};
    }
}

ComponentError invalidValue(const QString &what)
{
    return {CommCode::InvalidPropertyValue, QStringLiteral("Invalid property value: ") + what};
}

} // namespace

SerialComm::SerialComm(const PortTable &ports, QObject *parent)
    : QObject(parent), m_ports(ports), m_port(new QSerialPort(this)),
      m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(RetryPauseMs);
    connect(m_retryTimer, &QTimer::timeout, this, &SerialComm::onRetryTimeout);
    connect(m_port, &QSerialPort::bytesWritten, this, &SerialComm::onBytesWritten);
    connect(m_port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onPortError(int(error)); });
}

SerialComm::~SerialComm()
{
    // No signal of the closing port may reach a half-destroyed object.
    m_port->disconnect(this);
    unwatchDevice();
    if (m_port->isOpen())
        m_port->close();
}

// ---- Properties ---------------------------------------------------------------

void SerialComm::setCommPort(int number)
{
    if (PortOpen())
        throw ComponentError(CommCode::PortOpen,
                             QStringLiteral("CommPort cannot change while the port is open"));
    if (number < PortTable::FirstPort || number > PortTable::LastPort)
        throw invalidValue(QStringLiteral("CommPort %1").arg(number));
    m_commPort = number;
}

void SerialComm::setSettings(const QString &settings)
{
    const std::optional<LineSettings> parsed = LineSettings::fromCommSettings(settings, m_line);
    if (!parsed)
        throw invalidValue(QStringLiteral("Settings \"%1\"").arg(settings));
    setLine(*parsed, QStringLiteral("Settings \"%1\"").arg(settings));
}

void SerialComm::setFlowControl(int mode)
{
    if (mode < 0 || mode > 2)
        throw invalidValue(QStringLiteral("FlowControl %1").arg(mode));
    LineSettings line = m_line;
    line.flowControl = LineSettings::Flow(mode);
    setLine(line, QStringLiteral("FlowControl %1").arg(mode));
}

void SerialComm::setLineSettings(const LineSettings &line)
{
    if (line.baudRate <= 0 || line.dataBits < 5 || line.dataBits > 8
        || !LineSettings::validStopBits(line.stopBits))
        throw invalidValue(QStringLiteral("line settings %1").arg(line.describe()));
    setLine(line, line.describe());
}

LineSettings SerialComm::lineSettings() const
{
    LineSettings line = m_line;
    line.dtr = m_dtr;
    line.rts = m_rts;
    return line;
}

std::optional<LineSettings> SerialComm::deviceFraming() const
{
    LineSettings line = lineSettings();
    if (!PortOpen() || !serial_os::readFraming(int(m_port->handle()), &line))
        return std::nullopt;
    return line;
}

void SerialComm::setLine(const LineSettings &line, const QString &what)
{
    // Closed, QSerialPort keeps them for the next open (which applies them again).
    if (!applySettings(*m_port, line) && PortOpen()) {
        // The device refused them: put the previous settings back.
        const QString detail = m_port->errorString();
        m_port->clearError();
        if (m_port->isOpen()) {
            applySettings(*m_port, m_line);
            m_port->clearError();
            throw invalidValue(QStringLiteral("%1 (%2)").arg(what, detail));
        }
        // The device went while they were applied: keep them for the next open.
    }
    m_line = line;
}

void SerialComm::setSenderHold(SenderHold hold)
{
    m_senderHold = hold;
}

bool SerialComm::HoldsSender() const
{
    if (m_senderHold != SenderHold::Auto)
        return m_senderHold == SenderHold::Yes;
    if (m_port->flowControl() != QSerialPort::NoFlowControl)
        return true;
    if (PortOpen())
        return m_deviceHoldsSender;
    const QString path = m_ports.devicePath(m_commPort);
    return !path.isEmpty() && serial_os::holdsSenderByItself(path, -1);
}

void SerialComm::setInBufferSize(int size)
{
    if (size < 1 || size > 32767)
        throw invalidValue(QStringLiteral("InBufferSize %1").arg(size));
    m_inBufferSize = size; // a hint: received bytes are never limited or dropped
}

void SerialComm::setInputMode(int mode)
{
    if (mode != 0 && mode != 1)
        throw invalidValue(QStringLiteral("InputMode %1").arg(mode));
    m_inputMode = mode;
}

void SerialComm::setInputLen(int length)
{
    if (length < 0)
        throw invalidValue(QStringLiteral("InputLen %1").arg(length));
    m_inputLen = length;
}

void SerialComm::setRThreshold(int threshold)
{
    if (threshold < 0)
        throw invalidValue(QStringLiteral("RThreshold %1").arg(threshold));
    m_rThreshold = threshold;
    if (InBufferCount() > 0) {
        m_receiveWanted = true;
        schedule();
    }
}

void SerialComm::setSThreshold(int threshold)
{
    if (threshold < 0)
        throw invalidValue(QStringLiteral("SThreshold %1").arg(threshold));
    m_sThreshold = threshold;
    m_sendArmed = threshold > 0 && OutBufferCount() >= threshold;
}

bool SerialComm::setDTREnable(bool on)
{
    m_dtr = on;
    if (!PortOpen())
        return true;
    // A pseudo-terminal has no modem lines and refuses; that is no failure.
    const bool took = m_port->setDataTerminalReady(on);
    if (m_port->isOpen())
        m_port->clearError();
    return took;
}

bool SerialComm::setRTSEnable(bool on)
{
    m_rts = on;
    if (!PortOpen())
        return true;
    const bool took = m_port->setRequestToSend(on);
    if (m_port->isOpen())
        m_port->clearError();
    return took;
}

quint8 SerialComm::ModemLines()
{
    if (!PortOpen())
        return 0;
    // A device without modem lines reports none (and an unsupported
    // operation, which is no failure).
    const QSerialPort::PinoutSignals lines = m_port->pinoutSignals();
    if (m_port->isOpen())
        m_port->clearError();
    quint8 bits = 0;
    if (lines & QSerialPort::ClearToSendSignal)
        bits |= ModemLine::Cts;
    if (lines & QSerialPort::DataSetReadySignal)
        bits |= ModemLine::Dsr;
    if (lines & QSerialPort::RingIndicatorSignal)
        bits |= ModemLine::Ri;
    if (lines & QSerialPort::DataCarrierDetectSignal)
        bits |= ModemLine::Dcd;
    return bits;
}

bool SerialComm::setBreak(bool on)
{
    if (!PortOpen())
        return false;
    const bool took = m_port->setBreakEnabled(on);
    if (m_port->isOpen())
        m_port->clearError();
    if (took)
        m_break = on;
    return took;
}

void SerialComm::purge(bool input, bool output)
{
    if (!PortOpen())
        return;
    if (input) {
        m_received.clear();
        m_readPos = 0;
        m_port->clear(QSerialPort::Input);
        updateReading();
        m_receiveWanted = false;
        m_retryTimer->stop();
    }
    if (output) {
        const qint64 dropped = m_port->bytesToWrite();
        m_port->clear(QSerialPort::Output);
        // Told as if the device took them, after this call returns.
        const quint64 generation = m_generation;
        if (dropped > 0)
            QMetaObject::invokeMethod(
                this,
                [this, generation, dropped] {
                    if (generation == m_generation)
                        onBytesWritten(dropped);
                },
                Qt::QueuedConnection);
    }
    if (m_port->isOpen())
        m_port->clearError();
}

void SerialComm::setNullDiscard(bool discard)
{
    m_nullDiscard = discard;
}

// ---- Open and close -------------------------------------------------------------

bool SerialComm::PortOpen() const
{
    return m_port->isOpen();
}

QString SerialComm::DevicePath() const
{
    return PortOpen() ? m_devicePath : QString();
}

void SerialComm::setPortOpen(bool open)
{
    if (!open) {
        dropSession();
        return;
    }
    if (PortOpen())
        throw commError(QSerialPort::OpenError, m_devicePath, QString());

    const QString path = m_ports.devicePath(m_commPort);
    if (path.isEmpty())
        throw ComponentError(CommCode::PortInvalid,
                             QStringLiteral("%1: port %2 names no device (see --list-ports)")
                                 .arg(QString::fromLocal8Bit(std::strerror(ENOENT)))
                                 .arg(m_commPort));

    m_port->setPortName(path);
    applySettings(*m_port, m_line);
    m_port->clearError();

    m_opening = true;
    const bool opened = m_port->open(QIODevice::ReadWrite);
    QSerialPort::SerialPortError failure = opened ? QSerialPort::NoError : m_port->error();
    QString detail = m_port->errorString();
    if (opened) {
        // Modem lines as set; a device without them (a pty) refuses: ignored.
        m_port->clearError();
        m_port->setDataTerminalReady(m_dtr);
        m_port->setRequestToSend(m_rts);
        const QSerialPort::SerialPortError lines = m_port->error();
        if (lines != QSerialPort::NoError && lines != QSerialPort::UnsupportedOperationError) {
            // The device failed at once (gone, I/O error): nothing stays open.
            failure = lines;
            detail = m_port->errorString();
            m_port->close();
        }
    }
    m_opening = false;
    m_port->clearError();
    if (failure != QSerialPort::NoError)
        throw commError(failure, path, detail);

    // A new session: nothing posted before it is delivered. Bytes a vanished
    // device left behind stay first in line.
    m_devicePath = path;
    watchDevice();
    // Asked on every relayed chunk: found once per open.
    m_deviceHoldsSender = serial_os::holdsSenderByItself(path, int(m_port->handle()));
    ++m_generation;
    m_gate.forgetPosted();
    m_sendPending = false;
    m_lostPending = false;
    m_retryTimer->stop();
    m_sendArmed = false;
    m_ioErrorStreak = 0;
    m_receiveWanted = unread() > 0;
    schedule();
}

// The device is read here, not by QSerialPort: one read per notification of
// as much as there is room for (QSerialPort's own read notifier would take
// the bytes into a buffer of its own first, and its reads shrink with the
// room it has left).
void SerialComm::watchDevice()
{
    const QList<QSocketNotifier *> notifiers = m_port->findChildren<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read)
            notifier->setEnabled(false);
    }
    m_readNotifier = new QSocketNotifier(m_port->handle(), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SerialComm::onDeviceReadable);
    updateReading();
}

void SerialComm::unwatchDevice()
{
    delete std::exchange(m_readNotifier, nullptr);
}

void SerialComm::updateReading()
{
    if (!m_readNotifier)
        return;
    const qint64 room = ReadBufferLimit - unread();
    // Once off for want of room, back on only when several reads' worth is
    // free: a relay slower than its device then switches the notifier once
    // per few reads, not around every read (each switch is a system call).
    const qint64 wanted = m_readNotifier->isEnabled() ? MinReadRoom : ResumeReadRoom;
    m_readNotifier->setEnabled(room >= wanted || (m_receivePaused && room > 0));
}

// A deliberate close: the port, unread and unwritten bytes, and every event
// not yet delivered go.
void SerialComm::closeHandingOver()
{
    if (m_port->isOpen()) {
        // What the device's queue takes now, without waiting.
        const QScopedValueRollback handingOver(m_handingOver, true);
        m_port->flush();
    }
    dropSession(false);
}

void SerialComm::dropSession(bool discardOutput)
{
    ++m_generation;
    m_gate.forgetPosted();
    m_sendPending = false;
    m_lostPending = false;
    m_receiveWanted = false;
    m_sendArmed = false;
    m_retryTimer->stop();
    m_received.clear();
    m_readPos = 0;
    m_break = false;
    unwatchDevice();
    if (m_port->isOpen()) {
        m_port->clear(discardOutput ? QSerialPort::AllDirections : QSerialPort::Input);
        m_port->close();
        m_port->clearError();
    }
    m_devicePath.clear();
}

// ---- Data -----------------------------------------------------------------------

void SerialComm::setOutput(const QByteArray &data)
{
    if (!PortOpen())
        throw ComponentError(CommCode::PortNotOpen, QStringLiteral("The port is not open"));
    if (data.isEmpty())
        return;
    const bool idle = m_port->bytesToWrite() == 0;
    m_port->write(data); // buffered by QSerialPort, written as the device takes it
    if (m_sThreshold > 0 && m_port->bytesToWrite() >= m_sThreshold)
        m_sendArmed = true;
    if (idle)
        writeNow();
}

// What the device takes leaves at once, as a socket's send does, instead of
// after a pass in which the port's write notifier reports the room and a
// second in which it reports the write: the notifier is switched on and off
// again before the loop waits, which costs the epoll set nothing. What the
// device does not take waits for the notifier, as before; the progress event
// is posted, never raised inside this call, and a failed write is judged
// when the loop tries it again.
void SerialComm::writeNow()
{
    const QScopedValueRollback handingOver(m_handingOver, true);
    const QScopedValueRollback writing(m_writingNow, true);
    m_port->flush(); // writes what the device takes now
    m_port->flush(); // reports it; the notifier goes off when nothing is left
}

QByteArray SerialComm::Input()
{
    const qint64 waiting = unread();
    const qint64 take = m_inputLen > 0 ? qMin<qint64>(waiting, m_inputLen) : waiting;
    if (take <= 0)
        return {};
    // Into the chunk handed out last time when nobody holds it any more (the
    // sockets took it): no allocation. Still held (queued somewhere): a new one.
    if (!m_chunk.isDetached())
        m_chunk = QByteArray();
    m_chunk.resize(take);
    std::memcpy(m_chunk.data(), m_received.constData() + m_readPos, size_t(take));
    m_readPos += take;
    if (m_readPos == m_received.size()) {
        m_received.resize(0); // keeps its room for the next read
        m_readPos = 0;
    }
    updateReading();
    QByteArray out = m_chunk;
    m_taken += quint64(take);
    if (m_nullDiscard)
        out.removeIf([](char c) { return c == '\0'; });
    return out;
}

qint64 SerialComm::InBufferCount() const
{
    return unread();
}

qint64 SerialComm::OutBufferCount() const
{
    return m_port->isOpen() ? m_port->bytesToWrite() : 0;
}

// ---- Port signals ---------------------------------------------------------------------

void SerialComm::onDeviceReadable()
{
    const qint64 room = ReadBufferLimit - unread();
    if (room <= 0) {
        updateReading();
        return;
    }
    if (m_readPos > 0) {
        m_received.remove(0, m_readPos);
        m_readPos = 0;
    }
    const qsizetype before = m_received.size();
    if (m_received.capacity() < ReadBufferLimit)
        m_received.reserve(ReadBufferLimit);
    m_received.resize(before + room);
    const qint64 got = serial_os::readSome(int(m_port->handle()), m_received.data() + before, room);
    m_received.resize(before + qMax<qint64>(got, 0));
    if (got > 0) {
        m_ioErrorStreak = 0;
        updateReading();
        m_receiveWanted = true;
        if (receiveReady())
            raiseFromNotification();
        return;
    }
    // Nothing read: a raw tty reads 0 both when nothing waits and once it
    // hung up; a failure that repeats with no byte moved ends the port too.
    if (deviceHungUp() || (got < 0 && ++m_ioErrorStreak >= MaxIoErrorStreak))
        deviceLost();
}

void SerialComm::onBytesWritten(qint64 bytes)
{
    emit BytesWritten(bytes);
    m_ioErrorStreak = 0;
    if (m_sendArmed && m_sThreshold > 0 && OutBufferCount() < m_sThreshold) {
        m_sendArmed = false;
        m_sendPending = true;
        raiseFromNotification();
    }
}

void SerialComm::raiseFromNotification()
{
    // The port's notifications (and purge's posted report) come from the
    // event loop, never from inside a call here (closeHandingOver's flush
    // aside): the event is raised at once rather than posted, saving the
    // loop's wake-up per chunk. With another event posted or being handled,
    // it waits its turn behind that one.
    if (m_handingOver || !m_gate.open())
        schedule();
    else
        deliver(m_generation);
}

void SerialComm::onPortError(int error)
{
    // Failures while opening are judged by setPortOpen itself.
    if (error == QSerialPort::NoError || m_opening || !m_port->isOpen())
        return;
    if (m_writingNow) {
        // The bytes stay queued with the write notifier on: the loop's
        // next try meets the failure again and judges it there.
        m_port->clearError();
        return;
    }
    switch (error) {
    case QSerialPort::ResourceError:
        // EIO/EBADF: QSerialPort would report it again and again until
        // closed, so the port closes on the first one.
        deviceLost();
        return;
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::UnknownError:
        // Qt 6.4 reads end-of-file on a hung-up tty as ReadError.
        if (deviceHungUp() || ++m_ioErrorStreak >= MaxIoErrorStreak) {
            deviceLost();
            return;
        }
        m_port->clearError();
        return;
    default:
        // A refused modem line on a pty and the like: no failure. The
        // call that met it reads and clears it.
        return;
    }
}

bool SerialComm::deviceHungUp() const
{
    return serial_os::hungUp(int(m_port->handle()));
}

// The device vanished: keep what it delivered, close, tell the window.
void SerialComm::deviceLost()
{
    unwatchDevice();
    if (m_readPos > 0) {
        m_received.remove(0, m_readPos);
        m_readPos = 0;
    }
    // All it left, past the limit too: nothing more comes from it.
    m_received.append(serial_os::readRemaining(int(m_port->handle())));
    m_port->close();
    m_port->clearError();
    m_devicePath.clear();
    m_break = false;
    m_retryTimer->stop();
    m_sendArmed = false;
    m_sendPending = false; // the unwritten bytes went with the device
    m_ioErrorStreak = 0;
    m_receiveWanted = unread() > 0;
    m_lostPending = true;
    schedule();
}

void SerialComm::onRetryTimeout()
{
    m_receiveWanted = true;
    schedule();
}

// ---- Event delivery ---------------------------------------------------------------

bool SerialComm::receiveReady() const
{
    return !m_receivePaused && m_rThreshold > 0 && InBufferCount() >= m_rThreshold;
}

void SerialComm::setReceivePaused(bool paused)
{
    if (paused == m_receivePaused)
        return;
    m_receivePaused = paused;
    updateReading();
    if (!paused) {
        // What arrived while paused is announced now, in order.
        m_receiveWanted = true;
        schedule();
    }
}

void SerialComm::schedule()
{
    if (!m_gate.open())
        return;
    if (!m_sendPending && !m_lostPending && !(m_receiveWanted && receiveReady()))
        return;
    m_gate.posted();
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this, [this, generation] { deliver(generation); }, Qt::QueuedConnection);
}

void SerialComm::deliver(quint64 generation)
{
    if (generation != m_generation)
        return; // posted before a deliberate close or a new open
    m_gate.delivered();

    // Send first (at most one waits), then received bytes, and DeviceLost
    // only after the bytes the vanished device left have been announced.
    int event = 0;
    if (m_sendPending) {
        event = CommEventCode::Send;
        m_sendPending = false;
    } else if (m_receiveWanted && receiveReady()) {
        event = CommEventCode::Receive;
        m_receiveWanted = false;
    } else if (m_lostPending) {
        event = CommEventCode::DeviceLost;
        m_lostPending = false;
    } else {
        m_receiveWanted = false;
        return;
    }

    // A handler that keeps reading is called again here while bytes wait,
    // a few times, instead of through a new trip round the event loop each
    // time; the handler's own passes of the queue keep everything else moving.
    constexpr int MaxRoundsPerDelivery = 8;
    for (int round = 0;; ++round) {
        // Judged by what Input handed out: bytes that arrive during the
        // handler's passes of the event queue must not hide its reads.
        const quint64 takenBefore = m_taken;
        m_commEvent = event;
        {
            // Reset also when a handler throws, so delivery is not stuck.
            const EventGate::Handling delivering = m_gate.handling();
            emit OnComm();
        }

        if (event != CommEventCode::Receive || generation != m_generation || !receiveReady())
            break;
        const bool readSome = m_taken != takenBefore;
        if (readSome && round + 1 < MaxRoundsPerDelivery && !m_sendPending && !m_lostPending) {
            m_receiveWanted = false;
            continue;
        }
        // Bytes still wait. Announce them again at once when the handler read
        // some; after a pause when it read none, so it cannot make us spin.
        if (readSome)
            m_receiveWanted = true;
        else if (PortOpen())
            m_retryTimer->start();
        break;
    }
    emit DeliveryEnded();
    schedule();
}
