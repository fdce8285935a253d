#include "app/relay_window.h"

#include "app/twips.h"
#include "app/ui_colour.h"
#include "platform/component_error.h"
#include "platform/serial_comm.h"
#include "platform/winsock.h"
#include "relay/flow_control.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

namespace {

const QString Harborcast = QStringLiteral("Harborcast");
const QString Startup = QStringLiteral("startup");
// Default host of both forwarders until the operator saves another.
const QString DefaultRemoteHost = QStringLiteral("192.168.1.100");

// Runs a handler from a Qt signal: nothing may escape into the event loop.
template <typename Handler>
void guarded(Handler &&handler)
{
    try {
        handler();
    } catch (const std::exception &error) {
        qWarning("Quaylight: unhandled failure in an event handler: %s", error.what());
    } catch (...) {
        qWarning("Quaylight: unhandled failure in an event handler");
    }
}

QGroupBox *makeFrame(QWidget *parent, const QString &caption)
{
    auto *frame = new QGroupBox(caption, parent);
    return frame;
}

QPushButton *makeButton(QWidget *parent, const QString &caption)
{
    return new QPushButton(caption, parent);
}

QLineEdit *makeField(QWidget *parent)
{
    return new QLineEdit(parent);
}

QLabel *makeLabel(QWidget *parent, const QString &caption)
{
    return new QLabel(caption, parent);
}

} // namespace

Form1::Form1(MessageBoxes &boxes, const QString &configDir, QWidget *parent)
    : QMainWindow(parent), m_boxes(boxes), m_settings(configDir), m_ports(configDir)
{
    setWindowTitle(QStringLiteral("Quaylight"));
    buildControls();

    for (auto &socket : Winsock1)
        socket = new Winsock(this);
    Com1 = new SerialComm(m_ports, this);
    m_flow = new FlowControl(Winsock1, *Com1, this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(3000);
    Timer3 = new QTimer(this);

    connectEvents();
    Timer1->start();
    Form_Load();
}

Form1::~Form1()
{
    releaseAll();
}

void Form1::buildControls()
{
    mnuExit = menuBar()->addAction(QStringLiteral("Exit"));

    auto *client = new QWidget(this);
    setCentralWidget(client);
    const Twips tw(this);

    // The design layout shows all five groups; Form_Load rearranges it.
    Frame1 = makeFrame(client, QStringLiteral("Connect to Wirefinch or Netquill Gateway"));
    tw.place(Frame1, 360, 120, 4650, 1800);
    Command1[0] = makeButton(Frame1, QStringLiteral("Listen"));
    tw.place(Command1[0], 315, 315, 1380, 330);
    Command1[1] = makeButton(Frame1, QStringLiteral("Close"));
    tw.place(Command1[1], 360, 945, 1380, 330);
    Text1[0] = makeField(Frame1);
    tw.place(Text1[0], 2520, 315, 1170, 330);
    Label1[0] = makeLabel(Frame1, QStringLiteral("SERVER"));
    tw.place(Label1[0], 3840, 360, 720, 330);
    Label1[1] = makeLabel(Frame1, QStringLiteral("Status"));
    tw.place(Label1[1], 1800, 990, 600, 330);
    Text1[1] = makeField(Frame1);
    tw.place(Text1[1], 2400, 945, 2160, 330);

    // The two forwarder groups share one layout; only the indices differ.
    const auto forwarderGroup = [&](QGroupBox *frame, int connect, int close, int host, int port,
                                    int status, int statusLabel) {
        Command3[connect] = makeButton(frame, QStringLiteral("Connect"));
        tw.place(Command3[connect], 315, 315, 1380, 330);
        Command3[close] = makeButton(frame, QStringLiteral("Close"));
        tw.place(Command3[close], 315, 945, 1380, 330);
        Text2[host] = makeField(frame);
        tw.place(Text2[host], 1800, 315, 1800, 330);
        Text2[port] = makeField(frame);
        tw.place(Text2[port], 3720, 315, 780, 330);
        QLabel *clientLabel = makeLabel(frame, QStringLiteral("CLIENT"));
        tw.place(clientLabel, 3840, 1350, 720, 330);
        Label1[statusLabel] = makeLabel(frame, QStringLiteral("Status"));
        tw.place(Label1[statusLabel], 1800, 990, 600, 330);
        Text2[status] = makeField(frame);
        tw.place(Text2[status], 2400, 945, 2100, 330);
        return clientLabel;
    };
    Frame2 = makeFrame(client, QStringLiteral("Forward to Corvane Software "));
    tw.place(Frame2, 360, 2040, 4650, 1800);
    Label2 = forwarderGroup(Frame2, 0, 1, 1, 0, 2, 2);
    Frame5 = makeFrame(client, QStringLiteral("Forward to Data Host"));
    tw.place(Frame5, 360, 3960, 4650, 1800);
    Label3 = forwarderGroup(Frame5, 3, 2, 4, 5, 3, 4);

    Frame3 = makeFrame(client, QStringLiteral("Serial Bridge"));
    tw.place(Frame3, 5400, 120, 5000, 1485);
    Command2[0] = makeButton(Frame3, QStringLiteral("Open"));
    tw.place(Command2[0], 240, 420, 1065, 330);
    Command2[1] = makeButton(Frame3, QStringLiteral("Close"));
    tw.place(Command2[1], 240, 945, 1065, 330);
    Text3 = makeField(Frame3);
    tw.place(Text3, 1680, 960, 435, 330);
    Command4 = makeButton(Frame3, QStringLiteral("Find COM Ports"));
    tw.place(Command4, 2400, 840, 1455, 405);
    List4 = new QListWidget(Frame3);
    tw.place(List4, 1560, 240, 2295, 450);
    List3 = new QListWidget(Frame3);
    tw.place(List3, 4080, 240, 585, 1035);

    Frame4 = makeFrame(client, QStringLiteral("Second Server"));
    tw.place(Frame4, 5400, 1725, 4650, 1800);
    Command5[0] = makeButton(Frame4, QStringLiteral("Listen"));
    tw.place(Command5[0], 315, 315, 1380, 330);
    Command5[1] = makeButton(Frame4, QStringLiteral("Close"));
    tw.place(Command5[1], 360, 945, 1380, 330);
    Text4[0] = makeField(Frame4);
    tw.place(Text4[0], 2520, 315, 1170, 330);
    Text4[1] = makeField(Frame4);
    tw.place(Text4[1], 2400, 945, 1800, 330);
    Text4[2] = makeField(Frame4);
    tw.place(Text4[2], 2400, 1395, 1800, 330);
    Label1[3] = makeLabel(Frame4, QStringLiteral("SERVER"));
    tw.place(Label1[3], 3840, 360, 720, 330);

    // Status fields only show; the operator types ports and hosts.
    for (QLineEdit *status : {Text1[1], Text2[2], Text2[3], Text4[1], Text4[2]})
        status->setReadOnly(true);
    Text3->setReadOnly(true);

    resize(tw.toPixels(10700), tw.toPixels(6200));
}

void Form1::connectEvents()
{
    for (int i = 0; i < int(Winsock1.size()); ++i) {
        Winsock *socket = Winsock1[i];
        connect(socket, &Winsock::ConnectionRequest, this, [this, i](qint32 requestID) {
            guarded([&] { Winsock1_ConnectionRequest(i, requestID); });
        });
        connect(socket, &Winsock::Connected, this,
                [this, i] { guarded([&] { Winsock1_Connect(i); }); });
        connect(socket, &Winsock::DataArrival, this, [this, i](qint64 bytesTotal) {
            guarded([&] { Winsock1_DataArrival(i, bytesTotal); });
        });
        connect(socket, &Winsock::PeerClosed, this,
                [this, i] { guarded([&] { Winsock1_Close(i); }); });
        connect(socket, &Winsock::Error, this, [this, i](int number, const QString &text) {
            guarded([&] { Winsock1_Error(i, number, text); });
        });
    }
    connect(Com1, &SerialComm::OnComm, this, [this] { guarded([&] { Com1_OnComm(); }); });
    // A destination that took nothing for a long time while others waited
    // for it is dropped like a failed socket; the tick brings armed ones back.
    connect(m_flow, &FlowControl::destinationStalled, this, [this](int index) {
        guarded([&] {
            Winsock1_Error(index, WinsockCode::TimedOut,
                           QStringLiteral("The peer took no data for too long"));
        });
    });

    for (int i = 0; i < 2; ++i) {
        connect(Command1[i], &QPushButton::clicked, this,
                [this, i] { guarded([&] { Command1_Click(i); }); });
        connect(Command2[i], &QPushButton::clicked, this,
                [this, i] { guarded([&] { Command2_Click(i); }); });
        connect(Command5[i], &QPushButton::clicked, this,
                [this, i] { guarded([&] { Command5_Click(i); }); });
    }
    for (int i = 0; i < 4; ++i) {
        connect(Command3[i], &QPushButton::clicked, this,
                [this, i] { guarded([&] { Command3_Click(i); }); });
    }
    connect(Command4, &QPushButton::clicked, this, [this] { guarded([&] { Command4_Click(); }); });
    connect(List3, &QListWidget::itemClicked, this, [this] { guarded([&] { List3_Click(); }); });
    connect(mnuExit, &QAction::triggered, this, [this] { guarded([&] { mnuExit_Click(); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { guarded([&] { Timer1_Timer(); }); });
}

QString Form1::readStartupSetting(const QString &key, const QString &fallback)
{
    return m_settings.read(Harborcast, Startup, key, fallback);
}

void Form1::Form_Load()
{
    const Twips tw(this);
    Frame4->setTitle(QStringLiteral("TCP/IP Server"));
    Frame4->move(Frame4->x(), Frame3->height() + tw.toPixels(80));
    Frame1->hide();
    Frame2->hide();
    Frame5->hide();
    Text4[1]->setText(QStringLiteral("127.0.0.1"));
    Frame3->setGeometry(tw.toPixels(120), tw.toPixels(40), tw.toPixels(5000), Frame3->height());

    m_outerSize = QSize(tw.toPixels(5340), tw.toPixels(4400));
    applyOuterSize();

    Text1[0]->setText(readStartupSetting(QStringLiteral("LocalPort"), QStringLiteral("8080")));
    Text4[0]->setText(readStartupSetting(QStringLiteral("LocalPort2"), QStringLiteral("8080")));
    Text2[1]->setText(readStartupSetting(QStringLiteral("RemoteHost"), DefaultRemoteHost));
    Text2[0]->setText(readStartupSetting(QStringLiteral("RemotePort"), QStringLiteral("80")));
    Text2[4]->setText(readStartupSetting(QStringLiteral("RemoteHost3"), DefaultRemoteHost));
    Text2[5]->setText(readStartupSetting(QStringLiteral("RemotePort3"), QStringLiteral("80")));

    BaudRate = 19200;
    Frame4->setGeometry(Frame2->x(), Frame4->y(), Frame2->width(), Frame4->height());
}

void Form1::applyOuterSize()
{
    // The outer size includes the window frame where the platform has one.
    const QSize decoration = frameGeometry().size() - geometry().size();
    resize(m_outerSize - decoration);
}

void Form1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_outerSize.isValid())
        applyOuterSize();
}

void Form1::releaseAll()
{
    if (Com1 && Com1->PortOpen())
        Com1->setPortOpen(false);
    for (Winsock *socket : Winsock1) {
        if (socket && socket->State() != Winsock::sckClosed)
            socket->Close();
    }
}

void Form1::mnuExit_Click()
{
    releaseAll();
    DoEvents();
    close();
    emit programEnded();
}

void Form1::closeEvent(QCloseEvent *event)
{
    // Closing by the frame ends the program too: nothing may stay open.
    releaseAll();
    event->accept();
}

void Form1::DoEvents()
{
    QCoreApplication::processEvents();
}
