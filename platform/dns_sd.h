#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <memory>

// One DNS-SD service announced through the system's mDNS responder
// (avahi-daemon on Linux), driven from Qt's event loop. Nothing here blocks
// and nothing throws: without a responder the service is announced once one
// appears, and a name another host holds is replaced by the responder's
// alternative ("Name #2"). What happens is logged under quaylight.net;
// the responder's absence once per process, not once per service.
class DnsSdService : public QObject
{
    Q_OBJECT

public:
    explicit DnsSdService(QObject *parent = nullptr);
    ~DnsSdService() override;

    // Announces `name` as `type` (like "_iostream._tcp") on `port` with the
    // TXT entries `txt`, in place of what was announced before. While no
    // responder runs, it is kept and announced as soon as one does.
    void publish(const QString &name, const QString &type, quint16 port,
                 const QMap<QString, QByteArray> &txt);
    // Takes the announcement back (the responder says goodbye on the
    // network); nothing when none is announced.
    void withdraw();

    // The name announced now, after any rename; empty while nothing is.
    [[nodiscard]] QString announcedName() const;

signals:
    // The responder confirmed the service under `name`.
    void announced(const QString &name);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
