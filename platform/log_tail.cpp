#include "platform/log_tail.h"

#include <QMutexLocker>

void LogTail::append(const QString &device, const QString &text)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_lines.push_back({device, text});
        if (m_lines.size() > std::size_t(Capacity))
            m_lines.pop_front();
        ++m_count;
        if (m_noticePosted)
            return;
        m_noticePosted = true;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            {
                const QMutexLocker lock(&m_mutex);
                m_noticePosted = false;
            }
            emit appended();
        },
        Qt::QueuedConnection);
}

QList<LogTail::Line> LogTail::since(quint64 after, quint64 *last) const
{
    const QMutexLocker lock(&m_mutex);
    *last = m_count;
    const quint64 fresh = m_count - std::min(after, m_count);
    const std::size_t take = std::size_t(std::min<quint64>(fresh, m_lines.size()));
    QList<Line> out;
    out.reserve(qsizetype(take));
    for (auto it = m_lines.end() - std::ptrdiff_t(take); it != m_lines.end(); ++it)
        out.append(*it);
    return out;
}
