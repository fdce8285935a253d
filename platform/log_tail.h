#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <deque>

// The last lines the process logged, each with the hub it was written for
// (LogScope's name then; empty for none), for what shows the log from
// outside. Any thread may append; readers on the owner's thread learn of
// new lines through `appended`, raised once per pass of the event queue
// however many came meanwhile, so that a line logged while the news goes
// out does not raise it again from inside.
class LogTail : public QObject
{
    Q_OBJECT

public:
    static constexpr int Capacity = 200;

    struct Line {
        QString device;
        QString text;
    };

    explicit LogTail(QObject *parent = nullptr) : QObject(parent) {}

    void append(const QString &device, const QString &text);

    // The lines after number `after` (0: from the start) still kept, oldest
    // first; `last` gets the number of the newest line.
    [[nodiscard]] QList<Line> since(quint64 after, quint64 *last) const;

signals:
    void appended();

private:
    mutable QMutex m_mutex;
    std::deque<Line> m_lines;
    quint64 m_count = 0;      // lines ever appended
    bool m_noticePosted = false;
};
