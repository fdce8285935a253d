// Starts the relay window offscreen and performs an operator's steps through
// the real handlers, then just runs the event loop:
//
//   quaylight_bench_hub [--com N] [--listen PORT] [--gateway PORT]
//                       [--forward1 HOST:PORT] [--forward3 HOST:PORT]
//
// --com N selects port N from a port scan's list and opens it; --listen
// makes the second server endpoint listen on PORT (0: the OS picks);
// --gateway the gateway endpoint; --forward1/--forward3 connect the
// forwarders. Prints "READY server2=<port> gateway=<port>" on stdout when
// done, then relays until killed. Message boxes are answered OK at once and
// echoed to stderr.

#include "app/relay_window.h"
#include "platform/config_location.h"
#include "platform/winsock.h"
#include "relay/control.h"
#include "relay/message_boxes.h"
#include "relay/relay_core.h"

#include <QApplication>

#include <cstdio>

namespace {
class AutoAnswer : public MessageBoxes
{
public:
    Answer show(const QString &text, Buttons buttons) override
    {
        std::fprintf(stderr, "box: %s\n", qPrintable(text));
        return buttons == Buttons::Ok ? Answer::Ok : Answer::No;
    }
};

QString argValue(const QStringList &args, const QString &name)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
}

int fail(const char *what)
{
    std::fprintf(stderr, "bench hub: %s\n", what);
    return 2;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_NO_GLIB", "1"); // as the real program
    QApplication app(argc, argv); // the window runs, as users run it
    const QStringList args = QCoreApplication::arguments();

    AutoAnswer boxes;
    RelayCore form(boxes, quaylightConfigDir());
    Form1 window(form);

    const QString com = argValue(args, QStringLiteral("--com"));
    if (!com.isEmpty()) {
        form.Command4_Click();
        const int row = int(form.List3->rows().indexOf(com));
        if (row < 0)
            return fail("the port was not found by the scan");
        form.List3->setCurrentRow(row);
        form.List3_Click();
        form.Command2_Click(0);
        if (form.Caption() != QStringLiteral("COM Port # ") + com + QStringLiteral(" is now open."))
            return fail("the port did not open");
    }
    const QString listen = argValue(args, QStringLiteral("--listen"));
    if (!listen.isEmpty()) {
        form.Text4[0]->setText(listen);
        form.Command5_Click(0);
        if (form.Winsock1[std::size_t(endpointOf(EndpointRole::ServerListener))]->State() != Winsock::sckListening)
            return fail("the second server endpoint does not listen");
    }
    const QString gateway = argValue(args, QStringLiteral("--gateway"));
    if (!gateway.isEmpty()) {
        form.Text1[0]->setText(gateway);
        form.Command1_Click(0);
        if (form.Winsock1[std::size_t(endpointOf(EndpointRole::GatewayListener))]->State() != Winsock::sckListening)
            return fail("the gateway endpoint does not listen");
    }
    const struct {
        const char *option;
        int hostField;
        int portField;
        int button;
    } forwarders[] = {{"--forward1", 1, 0, 0}, {"--forward3", 4, 5, 3}};
    for (const auto &forwarder : forwarders) {
        const QString target = argValue(args, QLatin1String(forwarder.option));
        if (target.isEmpty())
            continue;
        const qsizetype colon = target.lastIndexOf(QLatin1Char(':'));
        form.Text2[forwarder.hostField]->setText(target.left(colon));
        form.Text2[forwarder.portField]->setText(target.mid(colon + 1));
        form.Command3_Click(forwarder.button);
    }

    std::printf("READY server2=%d gateway=%d\n", form.Winsock1[std::size_t(endpointOf(EndpointRole::ServerListener))]->LocalPort(),
                form.Winsock1[std::size_t(endpointOf(EndpointRole::GatewayListener))]->LocalPort());
    std::fflush(stdout);
    return app.exec();
}
