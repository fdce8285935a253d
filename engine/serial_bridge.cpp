#include "engine/serial_bridge.h"

#include "engine/byte_counters.h"
#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"

#include <functional>
#include <optional>

namespace {
// The line configuration of the bridge, in the order it is applied.
constexpr int BufferSize = 1024;
constexpr int TextInput = 0;
constexpr int ReadLength = 1024;
constexpr int ReceiveThreshold = 1;
constexpr int SendThreshold = 1;
} // namespace

SerialBridge::SerialBridge(const PortTable &ports, QObject *parent)
    : QObject(parent), m_comm(new SerialComm(ports, this))
{
    // Connected before any handler, so a loss is counted when they see it.
    connect(m_comm, &SerialComm::OnComm, this, [this] {
        if (m_comm->CommEvent() == CommEventCode::DeviceLost)
            ++losses;
    });
}

void SerialBridge::takeLine(const LineSettings &line, const char *by)
{
    const bool changed = !(line == m_line);
    m_line = line;
    if (changed) {
        qCInfo(lcSerial, "line settings%s: %s", by, qUtf8Printable(m_line.describe()));
        emit lineChanged();
    }
}

QString SerialBridge::applyToOpenPort(const LineSettings &line)
{
    // One setting at a time, so that a refusal names the one refused. A
    // device may also take a setting without an error and drop it (a
    // pseudo-terminal drops parity): what it keeps is read back, else the
    // refusal would surface at the next step and name that one.
    const LineSettings before = m_comm->lineSettings();
    const struct {
        QString name;
        QString value;
        std::function<void(LineSettings &)> take;
        std::function<bool(const LineSettings &)> same; // on the framing read back
    } steps[] = {
        {QStringLiteral("baud rate"), QString::number(line.baudRate),
         [&](LineSettings &s) { s.baudRate = line.baudRate; }, nullptr},
        {QStringLiteral("data bits"), QString::number(line.dataBits),
         [&](LineSettings &s) { s.dataBits = line.dataBits; },
         [&](const LineSettings &s) { return s.dataBits == line.dataBits; }},
        {QStringLiteral("parity"), LineSettings::parityText(line.parity),
         [&](LineSettings &s) { s.parity = line.parity; },
         [&](const LineSettings &s) { return s.parity == line.parity; }},
        {QStringLiteral("stop bits"), line.stopBits,
         [&](LineSettings &s) { s.stopBits = line.stopBits; },
         [&](const LineSettings &s) { return s.stopBits == line.stopBits; }},
        {QStringLiteral("flow control"), LineSettings::flowText(line.flowControl),
         [&](LineSettings &s) { s.flowControl = line.flowControl; }, nullptr},
    };
    LineSettings step = m_line;
    for (const auto &change : steps) {
        const LineSettings previous = step;
        change.take(step);
        bool kept = true;
        try {
            m_comm->setLineSettings(step);
            // Only a setting that changes is checked: one the device never
            // kept (7 data bits on a pseudo-terminal) is no news.
            const std::optional<LineSettings> device = m_comm->deviceFraming();
            kept = !change.same || step == previous || !device || change.same(*device);
        } catch (const ComponentError &) {
            kept = false;
        }
        if (!kept) {
            // What was taken before this step goes back too.
            try {
                m_comm->setLineSettings(before);
            } catch (const ComponentError &) {
                // It had these a moment ago; nothing better to go back to.
            }
            qCWarning(lcSerial, "the serial port refused %s %s", qUtf8Printable(change.name),
                      qUtf8Printable(change.value));
            return QStringLiteral("the %1 %2").arg(change.name, change.value);
        }
    }
    // A device without modem lines (a pseudo-terminal) keeps these for the
    // next open; that is no refusal.
    (void)m_comm->setDTREnable(line.dtr);
    (void)m_comm->setRTSEnable(line.rts);
    return {};
}

bool SerialBridge::setLineFromPeer(const LineSettings &line)
{
    if (!m_comm->PortOpen() || !applyToOpenPort(line).isEmpty())
        return false;
    takeLine(line, " (set by the RFC 2217 peer)");
    return true;
}

void SerialBridge::restoreStoredLine()
{
    // Only a remote peer makes the line differ from the operator's.
    if (m_line == m_storedLine)
        return;
    if (m_comm->PortOpen() && !applyToOpenPort(m_storedLine).isEmpty())
        return; // refused (said in the log): the line in effect stays what it is
    takeLine(m_storedLine, " (the RFC 2217 peer left: the operator's again)");
}

void SerialBridge::open(int number)
{
    if (m_comm->PortOpen())
        m_comm->setPortOpen(false);
    m_comm->setCommPort(number);
    m_comm->setInBufferSize(BufferSize);
    // The operator's line settings, whatever a remote peer set before.
    takeLine(m_storedLine, "");
    const LineSettings line = m_line;
    m_comm->setLineSettings(line);
    m_comm->setInputMode(TextInput);
    m_comm->setInputLen(ReadLength);
    m_comm->setRThreshold(ReceiveThreshold);
    m_comm->setSThreshold(SendThreshold);
    m_comm->setDTREnable(line.dtr);
    m_comm->setRTSEnable(line.rts);
    m_comm->setNullDiscard(false);
    m_comm->setPortOpen(true);
    qCInfo(lcSerial, "COM port %d (%s) opened: %s", m_comm->CommPort(),
           qUtf8Printable(m_comm->DevicePath()), qUtf8Printable(line.describe()));
}

void SerialBridge::takeInput(bool all)
{
    for (QByteArray chunk = m_comm->Input(); !chunk.isEmpty(); chunk = m_comm->Input()) {
        countBytes(received, lastReceivedMs, chunk.size());
        m_queue.push_back(std::move(chunk));
        if (!all)
            return;
    }
}

QByteArray SerialBridge::nextChunk()
{
    if (m_queue.empty())
        return {};
    QByteArray chunk = std::move(m_queue.front());
    m_queue.pop_front();
    return chunk;
}
