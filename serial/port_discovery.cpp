// Finding and selecting the serial port: "Find COM Ports" tries the numbers
// 1..64 and lists the ones that open; a click on a listed number selects it.
// Also the delay routine the Open action waits with.
//
// Ports are probed with a separate, temporary serial component, never with
// Com1: to the rest of the hub the serial port stays closed for the whole
// scan, so routed socket data can never be written into a device that is only
// being probed, and a probed device's bytes never reach a socket.

#include "platform/component_error.h"
#include "platform/log_categories.h"
#include "platform/serial_comm.h"
#include "relay/control.h"
#include "relay/message_boxes.h"
#include "relay/relay_core.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace {

// The hourglass for as long as this lives (or until release()). One busy
// signal pair per scan, so nested scans stay balanced and no path leaves the
// pointer behind.
class BusyPointer
{
public:
    explicit BusyPointer(RelayCore &core) : m_core(core) { emit m_core.busyChanged(true); }
    ~BusyPointer() { release(); }
    BusyPointer(const BusyPointer &) = delete;
    BusyPointer &operator=(const BusyPointer &) = delete;

    void release()
    {
        if (m_active)
            emit m_core.busyChanged(false);
        m_active = false;
    }

private:
    RelayCore &m_core;
    bool m_active = true;
};

} // namespace

void RelayCore::Command4_Click()
{
    FindPort();
    DoEvents();
    List3->clear();
    if (PortCount == 0) {
        boxes().show(QStringLiteral("No COM Port Found"), MessageBoxes::Buttons::Ok);
        return;
    }
    List4->clear();
    List4->setVisible(true);
    List4->addItem(QStringLiteral("Click the port number to select"));

    // The count as the scan left it; a scan nested in one of the passes below
    // may change PortCount but cannot push the rows past FoundPorts.
    const int rows = std::clamp<int>(PortCount, 0, int(FoundPorts.size()));
    for (int i = 0; i < rows; ++i) {
        DoEvents();
        List3->addItem(QString::number(FoundPorts[std::size_t(i)]));
    }
}

void RelayCore::FindPort()
{
    BusyPointer busy(*this);
    try {
        PortCount = 0;
        for (qint16 n = PortTable::FirstPort; n <= PortTable::LastPort; ++n) {
            DoEvents();
            if (TestPort(n)) {
                // at() throws once a nested scan has filled the table: that
                // ends the scan with what was found so far.
                FoundPorts.at(std::size_t(PortCount)) = n;
                ++PortCount;
                DoEvents();
            }
        }
    } catch (const std::exception &) {
        busy.release();
        boxes().show(QStringLiteral("FindPort Error"), MessageBoxes::Buttons::Ok);
    }
}

bool RelayCore::TestPort(qint16 PortNumb)
{
    try {
        if (PortNumb == 1) {
            // A scan starts by closing the bridge's port, so that port is
            // tested (and listed) like any other; the operator sees it closed.
            if (Com1->PortOpen())
                showPortClosed();
            DoEvents();
        }
        SerialComm probe(ports());
        probe.setSettings(Com1->Settings());
        probe.setCommPort(PortNumb);
        DoEvents();
        probe.setPortOpen(true);
        DoEvents();
        probe.setPortOpen(false);
        DoEvents();
        return true;
    } catch (const std::exception &) {
        // Any failure to open or close it means the port is not usable: not listed.
        return false;
    }
}

void RelayCore::List3_Click()
{
    const int row = List3->currentRow();
    if (row < 0 || row >= int(FoundPorts.size()))
        return;
    ComPort = FoundPorts[std::size_t(row)];
    DoEvents();
    saveSetting([this](HubSettings &settings) { settings.setChosenComPort(ComPort); });
    Text3->setText(QString::number(ComPort));
    qCInfo(lcSerial, "COM port %d selected", ComPort);
    boxes().show(QStringLiteral("Set to COM ") + QString::number(ComPort),
                 MessageBoxes::Buttons::Ok);
    List4->setVisible(false);
    DoEvents();
}

void RelayCore::Dly(qint16 ms)
{
    const int wait = std::max<int>(ms, 1);
    QElapsedTimer clock;
    clock.start();
    Timer3->setTimerType(Qt::PreciseTimer);
    Timer3->setInterval(wait);
    Timer3->start();
    for (;;) {
        const qint64 left = wait - clock.elapsed();
        if (left <= 0)
            break;
        // Re-arm for the time still to go when a tick came early or a nested
        // Dly (another Open during this wait) took Timer3 and stopped it;
        // otherwise the wait below could sleep far past the deadline.
        if (!Timer3->isActive() || Timer3->remainingTime() > left) {
            Timer3->setInterval(int(left));
            Timer3->start();
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    Timer3->stop();
}
