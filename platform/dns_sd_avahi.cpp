// DnsSdService over Avahi's client library. The client talks to avahi-daemon
// over D-Bus; its sockets and timers run on Qt's event loop through the
// AvahiPoll below (Debian ships no Avahi binding for Qt 6, and the library's
// own poll loops would need a thread of their own).
#include "platform/dns_sd.h"

#include "platform/log_categories.h"

#include <QSocketNotifier>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/watch.h>

#include <sys/time.h>

#include <algorithm>
#include <optional>

// The poll API's objects. A callback may free the very watch or timeout
// that called it; `alive` then tells the caller, and the Qt object that is
// still delivering its signal goes later.
struct AvahiWatch {
    int fd = -1;
    AvahiWatchCallback callback = nullptr;
    void *userdata = nullptr;
    AvahiWatchEvent happened = AvahiWatchEvent(0);
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
    bool *alive = nullptr; // set while its callback runs
};

struct AvahiTimeout {
    AvahiTimeoutCallback callback = nullptr;
    void *userdata = nullptr;
    QTimer *timer = nullptr;
    bool *alive = nullptr;
};

namespace {

void watchUpdate(AvahiWatch *w, AvahiWatchEvent event)
{
    w->read->setEnabled(event & AVAHI_WATCH_IN);
    w->write->setEnabled(event & AVAHI_WATCH_OUT);
}

void watchFire(AvahiWatch *w, AvahiWatchEvent event)
{
    bool alive = true;
    w->alive = &alive;
    w->happened = event;
    w->callback(w, w->fd, event, w->userdata);
    if (alive) {
        w->alive = nullptr;
        w->happened = AvahiWatchEvent(0);
    }
}

AvahiWatch *watchNew(const AvahiPoll *, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                     void *userdata)
{
    auto *w = new AvahiWatch {fd, callback, userdata};
    w->read = new QSocketNotifier(fd, QSocketNotifier::Read);
    w->write = new QSocketNotifier(fd, QSocketNotifier::Write);
    // A hang-up or error makes the descriptor readable: the library reads
    // and learns of it there.
    QObject::connect(w->read, &QSocketNotifier::activated, w->read, [w] { watchFire(w, AVAHI_WATCH_IN); });
    QObject::connect(w->write, &QSocketNotifier::activated, w->write, [w] { watchFire(w, AVAHI_WATCH_OUT); });
    watchUpdate(w, event);
    return w;
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w)
{
    return w->happened;
}

void dispose(QObject *object, bool delivering)
{
    object->disconnect();
    if (delivering)
        object->deleteLater();
    else
        delete object;
}

void watchFree(AvahiWatch *w)
{
    const bool delivering = w->alive != nullptr;
    if (delivering)
        *w->alive = false;
    w->read->setEnabled(false);
    w->write->setEnabled(false);
    dispose(w->read, delivering);
    dispose(w->write, delivering);
    delete w;
}

void timeoutUpdate(AvahiTimeout *t, const struct timeval *tv)
{
    if (!tv) {
        t->timer->stop();
        return;
    }
    // The library's times are absolute, on the wall clock.
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const qint64 ms = (qint64(tv->tv_sec) - now.tv_sec) * 1000 + (qint64(tv->tv_usec) - now.tv_usec) / 1000;
    t->timer->start(int(std::clamp<qint64>(ms, 0, 24 * 3600 * 1000)));
}

AvahiTimeout *timeoutNew(const AvahiPoll *, const struct timeval *tv, AvahiTimeoutCallback callback,
                         void *userdata)
{
    auto *t = new AvahiTimeout {callback, userdata};
    t->timer = new QTimer;
    t->timer->setSingleShot(true);
    QObject::connect(t->timer, &QTimer::timeout, t->timer, [t] {
        bool alive = true;
        t->alive = &alive;
        t->callback(t, t->userdata);
        if (alive)
            t->alive = nullptr;
    });
    timeoutUpdate(t, tv);
    return t;
}

void timeoutFree(AvahiTimeout *t)
{
    const bool delivering = t->alive != nullptr;
    if (delivering)
        *t->alive = false;
    t->timer->stop();
    dispose(t->timer, delivering);
    delete t;
}

constexpr int RetryMs = 5000; // a new client while the system bus is missing

// The responder's absence is told once per process, however many services
// (a hub each, the console) wait for it; told again after it was back.
bool toldAbsent = false;

} // namespace

struct DnsSdService::Private {
    struct Service {
        QString name;
        QString type;
        quint16 port = 0;
        QMap<QString, QByteArray> txt;
        bool operator==(const Service &) const = default;
    };

    DnsSdService *q = nullptr;
    AvahiPoll poll {nullptr, watchNew, watchUpdate, watchGetEvents, watchFree,
                    timeoutNew, timeoutUpdate, timeoutFree};
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    std::optional<Service> wanted;
    QString name;      // what is asked of the responder: the wanted name or its alternative
    QString announced; // confirmed by the responder
    QTimer retry;

    void start();
    void stop();
    void absent();
    void add();
    void rename();
    static void onClient(AvahiClient *c, AvahiClientState state, void *userdata);
    static void onGroup(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata);
};

void DnsSdService::Private::absent()
{
    announced.clear();
    if (toldAbsent)
        return;
    toldAbsent = true;
    qCWarning(lcNet, "DNS-SD: avahi-daemon is not running; the hub is not announced");
}

void DnsSdService::Private::start()
{
    int error = 0;
    // NO_FAIL: without the daemon the client waits for it and comes up
    // when it starts. Without the system bus it cannot even wait.
    client = avahi_client_new(&poll, AVAHI_CLIENT_NO_FAIL, onClient, this, &error);
    if (!client) {
        absent();
        qCDebug(lcNet, "DNS-SD: %s", avahi_strerror(error));
        retry.start();
    }
}

void DnsSdService::Private::stop()
{
    if (client)
        avahi_client_free(client); // frees the group too
    client = nullptr;
    group = nullptr;
    announced.clear();
}

void DnsSdService::Private::add()
{
    if (!wanted || !client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
        return;
    if (!group) {
        group = avahi_entry_group_new(client, onGroup, this);
        if (!group) {
            qCWarning(lcNet, "DNS-SD: cannot announce: %s", avahi_strerror(avahi_client_errno(client)));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(group))
        avahi_entry_group_reset(group);
    announced.clear();

    AvahiStringList *txt = nullptr;
    for (auto it = wanted->txt.cbegin(); it != wanted->txt.cend(); ++it)
        txt = avahi_string_list_add_pair_arbitrary(txt, it.key().toUtf8().constData(),
                                                   reinterpret_cast<const uint8_t *>(it.value().constData()),
                                                   size_t(it.value().size()));
    int result = AVAHI_ERR_COLLISION;
    // A name this host's responder already holds is refused at once.
    for (int tries = 0; result == AVAHI_ERR_COLLISION && tries < 100; ++tries) {
        result = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      AvahiPublishFlags(0), name.toUtf8().constData(),
                                                      wanted->type.toUtf8().constData(), nullptr, nullptr,
                                                      wanted->port, txt);
        if (result == AVAHI_ERR_COLLISION)
            rename();
    }
    avahi_string_list_free(txt);
    if (result >= 0)
        result = avahi_entry_group_commit(group);
    if (result < 0)
        qCWarning(lcNet, "DNS-SD: cannot announce \"%s\": %s", qUtf8Printable(name), avahi_strerror(result));
}

void DnsSdService::Private::rename()
{
    char *alternative = avahi_alternative_service_name(name.toUtf8().constData());
    const QString next = QString::fromUtf8(alternative);
    avahi_free(alternative);
    qCInfo(lcNet, "DNS-SD: the name \"%s\" is taken; announcing as \"%s\"", qUtf8Printable(name),
           qUtf8Printable(next));
    name = next;
}

void DnsSdService::Private::onClient(AvahiClient *c, AvahiClientState state, void *userdata)
{
    auto *d = static_cast<Private *>(userdata);
    d->client = c; // the first call comes before avahi_client_new returns
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        toldAbsent = false;
        d->add();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being settled; the service follows once it is.
        if (d->group)
            avahi_entry_group_reset(d->group);
        d->announced.clear();
        break;
    case AVAHI_CLIENT_CONNECTING:
        d->absent();
        break;
    case AVAHI_CLIENT_FAILURE:
        // The client is freed after the library is done with this call.
        d->announced.clear();
        if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
            // The daemon went away: a new client waits for the next one.
            d->absent();
            QMetaObject::invokeMethod(d->q, [d] { d->stop(); d->start(); }, Qt::QueuedConnection);
        } else {
            qCWarning(lcNet, "DNS-SD: %s; the hub is not announced", avahi_strerror(avahi_client_errno(c)));
            QMetaObject::invokeMethod(d->q, [d] { d->stop(); d->retry.start(); }, Qt::QueuedConnection);
        }
        break;
    }
}

void DnsSdService::Private::onGroup(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata)
{
    auto *d = static_cast<Private *>(userdata);
    d->group = g;
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (!d->wanted)
            break;
        d->announced = d->name;
        qCInfo(lcNet, "DNS-SD: announced \"%s\" as %s on port %u", qUtf8Printable(d->name),
               qUtf8Printable(d->wanted->type), unsigned(d->wanted->port));
        emit d->q->announced(d->name);
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host holds the name.
        d->rename();
        d->add();
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        qCWarning(lcNet, "DNS-SD: announcing \"%s\" failed: %s", qUtf8Printable(d->name),
                  avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
        d->announced.clear();
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

DnsSdService::DnsSdService(QObject *parent) : QObject(parent), d(std::make_unique<Private>())
{
    d->q = this;
    d->retry.setSingleShot(true);
    d->retry.setInterval(RetryMs);
    connect(&d->retry, &QTimer::timeout, this, [this] { d->start(); });
    d->start();
}

DnsSdService::~DnsSdService()
{
    withdraw(); // said in the log as any withdrawal
    d->stop();
}

void DnsSdService::publish(const QString &name, const QString &type, quint16 port,
                           const QMap<QString, QByteArray> &txt)
{
    const Private::Service service {name, type, port, txt};
    if (d->wanted == service)
        return;
    if (!d->wanted || d->wanted->name != name)
        d->name = name; // a new name is asked for as given; a renamed one stays renamed
    d->wanted = service;
    d->add();
}

void DnsSdService::withdraw()
{
    if (!d->wanted)
        return;
    d->wanted.reset();
    if (d->group && !avahi_entry_group_is_empty(d->group))
        avahi_entry_group_reset(d->group);
    if (!d->announced.isEmpty())
        qCInfo(lcNet, "DNS-SD: \"%s\" withdrawn", qUtf8Printable(d->announced));
    d->announced.clear();
}

QString DnsSdService::announcedName() const
{
    return d->announced;
}
