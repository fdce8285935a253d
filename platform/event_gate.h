#pragma once

#include <QtGlobal>

// Whether an event that a notification of the event loop brings (bytes
// arrived, the output drained) is raised at once or waits its turn. Raised
// at once it saves a wake-up of the loop per chunk; but while an earlier
// event of the same stream is posted, or its handler is still running, the
// new one must wait behind it: events never overtake each other, and no
// handler runs inside itself. Both components keep one gate per stream.
class EventGate
{
public:
    // An event of the stream was posted to the loop, or a posted one has
    // come out of it (delivered, or found stale and dropped).
    void posted() { ++m_posted; }
    void delivered()
    {
        if (m_posted > 0)
            --m_posted;
    }
    // Nothing posted so far will be delivered (the stream started over).
    void forgetPosted() { m_posted = 0; }
    [[nodiscard]] bool anyPosted() const { return m_posted > 0; }

    // Marks the stream's handler as running while the returned guard lives,
    // also when the handler throws.
    class Handling
    {
    public:
        explicit Handling(EventGate &gate) : m_gate(gate), m_was(gate.m_handling) { gate.m_handling = true; }
        ~Handling() { m_gate.m_handling = m_was; }
        Handling(const Handling &) = delete;
        Handling &operator=(const Handling &) = delete;

    private:
        EventGate &m_gate;
        bool m_was;
    };
    [[nodiscard]] Handling handling() { return Handling(*this); }

    // True when an event may be raised now: nothing of the stream posted and
    // its handler not running.
    [[nodiscard]] bool open() const { return m_posted == 0 && !m_handling; }

private:
    int m_posted = 0;
    bool m_handling = false;
};
