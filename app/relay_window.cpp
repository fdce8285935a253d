#include "app/relay_window.h"

#include "app/log_window.h"
#include "app/settings_dialog.h"
#include "app/twips.h"
#include "app/ui_colour.h"
#include "relay/control.h"
#include "engine/capture_file.h"
#include "platform/handler_guard.h"
#include "relay/message_boxes.h"
#include "relay/relay_core.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QPointer>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

namespace {

QGroupBox *makeFrame(QWidget *parent, const QString &caption)
{
    return new QGroupBox(caption, parent);
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

// Where the window's design puts the five groups, in twips, and its outer size.
struct TwipsRect {
    int left, top, width, height;
};
constexpr TwipsRect DesignFrame1 {360, 120, 4650, 1800};
constexpr TwipsRect DesignFrame2 {360, 2040, 4650, 1800};
constexpr TwipsRect DesignFrame5 {360, 3960, 4650, 1800};
constexpr TwipsRect DesignFrame3 {5400, 120, 5000, 1485};
constexpr TwipsRect DesignFrame4 {5400, 1725, 4650, 1800};
constexpr int DesignWidth = 10700;
constexpr int DesignHeight = 6200;

void place(const Twips &tw, QWidget *widget, const TwipsRect &r)
{
    tw.place(widget, r.left, r.top, r.width, r.height);
}


// A text field shows its Control; what the operator types goes back.
void mirror(Control *control, QLineEdit *field)
{
    const auto show = [control, field] {
        if (field->text() != control->text())
            field->setText(control->text());
        if (control->hasBackColor())
            UiColour::setBackColor(field, control->backColor());
        if (control->hasForeColor())
            UiColour::setForeColor(field, control->foreColor());
    };
    show();
    QObject::connect(control, &Control::changed, field, show);
    QObject::connect(field, &QLineEdit::textEdited, control,
                     [control](const QString &text) { control->setText(text); });
}

void mirror(Control *control, QPushButton *button)
{
    const auto show = [control, button] {
        button->setText(control->text());
        button->setEnabled(control->isEnabled());
    };
    show();
    QObject::connect(control, &Control::changed, button, show);
}

// A list shows its Control's rows, selection and visibility; the window
// reports the operator's selection back before the click handler runs.
void mirror(Control *control, QListWidget *list)
{
    const auto show = [control, list] {
        const QSignalBlocker quiet(list);
        QStringList rows;
        for (int i = 0; i < list->count(); ++i)
            rows.append(list->item(i)->text());
        if (rows != control->rows()) {
            list->clear();
            list->addItems(control->rows());
        }
        if (list->currentRow() != control->currentRow())
            list->setCurrentRow(control->currentRow());
        // Hidden only explicitly: before the window is shown every widget
        // reads invisible.
        if (list->isHidden() == control->isVisible())
            list->setVisible(control->isVisible());
    };
    show();
    QObject::connect(control, &Control::changed, list, show);
}

} // namespace

Form1::Form1(RelayCore &core, QWidget *parent) : QMainWindow(parent), m_core(core)
{
    setWindowTitle(m_core.Caption());
    buildControls();
    bindControls();
    connectEvents();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    mnuExit = menuBar()->addAction(QStringLiteral("Exit"));
    mnuSettings = menuBar()->addAction(QStringLiteral("Settings\u2026"));
    mnuView = menuBar()->addMenu(QStringLiteral("View"));
    mnuAllEndpoints = mnuView->addAction(QStringLiteral("All endpoints"));
    mnuAllEndpoints->setCheckable(true);
    mnuLog = mnuView->addAction(QStringLiteral("Log"));
    mnuCapture = mnuView->addAction(QStringLiteral("Capture\u2026"));
    logWindow = new LogWindow(m_core, this);

    auto *client = new QWidget(this);
    setCentralWidget(client);
    const Twips tw(this);

    // The design layout shows all five groups; Form_Load rearranges it.
    Frame1 = makeFrame(client, QStringLiteral("Connect to Wirefinch or Netquill Gateway"));
    place(tw, Frame1, DesignFrame1);
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
    place(tw, Frame2, DesignFrame2);
    Label2 = forwarderGroup(Frame2, 0, 1, 1, 0, 2, 2);
    Frame5 = makeFrame(client, QStringLiteral("Forward to Data Host"));
    place(tw, Frame5, DesignFrame5);
    Label3 = forwarderGroup(Frame5, 3, 2, 4, 5, 3, 4);

    Frame3 = makeFrame(client, QStringLiteral("Serial Bridge"));
    place(tw, Frame3, DesignFrame3);
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
    place(tw, Frame4, DesignFrame4);
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

    resize(tw.toPixels(DesignWidth), tw.toPixels(DesignHeight));
}

void Form1::bindControls()
{
    for (std::size_t i = 0; i < Text1.size(); ++i)
        mirror(m_core.Text1[i], Text1[i]);
    for (std::size_t i = 0; i < Text2.size(); ++i)
        mirror(m_core.Text2[i], Text2[i]);
    mirror(m_core.Text3, Text3);
    for (std::size_t i = 0; i < Text4.size(); ++i)
        mirror(m_core.Text4[i], Text4[i]);
    for (std::size_t i = 0; i < Command1.size(); ++i) {
        mirror(m_core.Command1[i], Command1[i]);
        mirror(m_core.Command5[i], Command5[i]);
    }
    mirror(m_core.List3, List3);
    mirror(m_core.List4, List4);
}

void Form1::connectEvents()
{
    RelayCore &core = m_core;
    const auto click = [this](QPushButton *button, const char *name, auto handler) {
        connect(button, &QPushButton::clicked, this,
                [name, handler] { runHandler(name, handler); });
    };
    for (int i = 0; i < 2; ++i) {
        click(Command1[std::size_t(i)], "Command1_Click", [&core, i] { core.Command1_Click(i); });
        click(Command2[std::size_t(i)], "Command2_Click", [&core, i] { core.Command2_Click(i); });
        click(Command5[std::size_t(i)], "Command5_Click", [&core, i] { core.Command5_Click(i); });
    }
    for (int i = 0; i < 4; ++i)
        click(Command3[std::size_t(i)], "Command3_Click", [&core, i] { core.Command3_Click(i); });
    click(Command4, "Command4_Click", [&core] { core.Command4_Click(); });

    // A row chosen by a click or with the arrow keys selects the port.
    const auto chooseRow = [this, &core] {
        runHandler("List3_Click", [&] {
            core.List3->setCurrentRow(List3->currentRow());
            core.List3_Click();
        });
    };
    connect(List3, &QListWidget::itemClicked, this, chooseRow);
    List3->installEventFilter(this);
    connect(this, &Form1::keyboardRowChosen, this, chooseRow, Qt::QueuedConnection);

    connect(mnuExit, &QAction::triggered, this,
            [this] { runHandler("mnuExit_Click", [&] { mnuExit_Click(); }); });
    connect(mnuSettings, &QAction::triggered, this,
            [this] { runHandler("mnuSettings_Click", [&] { mnuSettings_Click(); }); });
    connect(mnuLog, &QAction::triggered, this, [this] {
        logWindow->show();
        logWindow->raise();
    });
    connect(mnuCapture, &QAction::triggered, this,
            [this] { runHandler("mnuCapture_Click", [&] { mnuCapture_Click(); }); });
    connect(&core, &RelayCore::captureChanged, this, [this](bool capturing) {
        mnuCapture->setText(capturing ? QStringLiteral("Stop capture")
                                      : QStringLiteral("Capture\u2026"));
    });
    connect(mnuAllEndpoints, &QAction::toggled, this, [this](bool on) {
        runHandler("mnuAllEndpoints", [&] {
            showAllEndpoints(on);
            m_core.hubSettings().setAllEndpoints(on);
        });
    });
    connect(&core, &RelayCore::captionChanged, this, &QWidget::setWindowTitle);
    connect(&core, &RelayCore::busyChanged, this, [](bool busy) {
        if (busy)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::restoreOverrideCursor();
    });
    connect(&core, &RelayCore::programEnded, this, [this] {
        m_ending = true;
        close();
    });
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // Arrow keys move the current row without a click: once the list has
    // handled the key, a changed row counts as the operator's choice.
    if (watched == List3 && event->type() == QEvent::KeyPress) {
        const int before = List3->currentRow();
        QMetaObject::invokeMethod(this, [this, before] {
            if (List3->currentRow() != before && List3->currentRow() >= 0)
                emit keyboardRowChosen();
        }, Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::Form_Load()
{
    startupLayout();
    const bool all = m_core.hubSettings().allEndpoints();
    mnuAllEndpoints->setChecked(all); // shows them through the toggled handler
}

void Form1::startupLayout()
{
    const Twips tw(this);
    Frame4->setTitle(QStringLiteral("TCP/IP Server"));
    Frame4->move(Frame4->x(), Frame3->height() + tw.toPixels(80));
    Frame1->hide();
    Frame2->hide();
    Frame5->hide();
    Frame3->setGeometry(tw.toPixels(120), tw.toPixels(40), tw.toPixels(5000), Frame3->height());

    m_outerSize = QSize(tw.toPixels(5340), tw.toPixels(4400));
    applyOuterSize();
    Frame4->setGeometry(Frame2->x(), Frame4->y(), Frame2->width(), Frame4->height());
}

void Form1::showAllEndpoints(bool on)
{
    if (!on) {
        // The startup layout, from the design layout.
        const Twips tw(this);
        for (QGroupBox *frame : {Frame1, Frame2, Frame5})
            frame->hide();
        place(tw, Frame2, DesignFrame2);
        place(tw, Frame3, DesignFrame3);
        place(tw, Frame4, DesignFrame4);
        startupLayout();
        return;
    }
    const Twips tw(this);
    place(tw, Frame1, DesignFrame1);
    place(tw, Frame2, DesignFrame2);
    place(tw, Frame5, DesignFrame5);
    place(tw, Frame3, DesignFrame3);
    place(tw, Frame4, DesignFrame4);
    for (QGroupBox *frame : {Frame1, Frame2, Frame5})
        frame->show();
    m_outerSize = QSize(tw.toPixels(DesignWidth), tw.toPixels(DesignHeight));
    applyOuterSize();
}

void Form1::mnuCapture_Click()
{
    if (m_core.capturing()) {
        m_core.stopCapture();
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Capture to"),
                                                      QStringLiteral("quaylight-capture.txt"));
    if (path.isEmpty())
        return;
    QString error;
    if (!m_core.startCapture(path, CaptureFile::DefaultLimit, &error))
        m_core.boxes().show(QStringLiteral("The capture file %1 cannot be written: %2")
                                .arg(path, error),
                            MessageBoxes::Buttons::Ok);
}

void Form1::appendLogLine(const QString &line)
{
    QMetaObject::invokeMethod(
        logWindow, [window = QPointer<LogWindow>(logWindow), line] {
            if (window)
                window->appendLine(line);
        },
        Qt::QueuedConnection);
}

void Form1::mnuSettings_Click()
{
    const bool restore = m_core.hubSettings().restoresSession();
    SettingsDialog dialog(m_core.lineSettings(), m_core.networkSettings(), restore, this);
    dialog.setTlsSettings(m_core.tlsSettings());
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_core.setLineSettings(dialog.lineSettings(), true);
    if (!(dialog.networkSettings() == m_core.networkSettings()))
        m_core.setNetworkSettings(dialog.networkSettings(), true);
    // OK also reads the certificate files again (renewed on disk).
    if (!(dialog.tlsSettings() == m_core.tlsSettings()))
        m_core.setTlsSettings(dialog.tlsSettings(), true);
    else
        m_core.reloadTls();
    if (dialog.restoreSession() != restore) {
        m_core.hubSettings().setRestoresSession(dialog.restoreSession());
    }
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

void Form1::mnuExit_Click()
{
    m_core.mnuExit_Click();
}

void Form1::closeEvent(QCloseEvent *event)
{
    // Closing by the frame ends the program too: nothing may stay open.
    if (!m_ending) {
        m_ending = true;
        runHandler("closeEvent", [&] { m_core.mnuExit_Click(); });
    }
    event->accept();
}
