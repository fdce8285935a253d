#include "platform/signal_watcher.h"
SignalWatcher::SignalWatcher(const QList<int> &, QObject *parent) : QObject(parent) {}
