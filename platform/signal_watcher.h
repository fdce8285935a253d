#pragma once
#include <QList>
#include <QObject>
// TEMP stand-in until the real one is merged.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(const QList<int> &signalNumbers, QObject *parent = nullptr);
signals:
    void signalled(int signo);
};
