// The line towards the client, paced as a real 9600 baud line would be.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string_view>

namespace qzsim {

using Clock = std::chrono::steady_clock;

// A byte queue and, unless --fast, the 9600 baud clock. Byte k of a burst is due
// when k + 1 whole characters (10 bits each) fit since the burst began, counted on
// the monotonic clock, so pacing does not drift however late the process wakes up;
// a late wake-up sends what is due.
class Line
{
public:
    explicit Line(bool fast) : m_fast(fast) {}

    void queue(std::string_view bytes, Clock::time_point now);
    void drop() { m_queue.clear(); }
    bool pending() const { return !m_queue.empty(); }

    // How long until the next byte may go: zero when it is due already.
    Clock::duration untilDue(Clock::time_point now) const;

    // Writes what is due. False when the device refuses (client gone).
    bool sendDue(int fd, Clock::time_point now, bool &blocked);

private:
    Clock::time_point dueAt(std::size_t index) const;
    std::size_t dueCount(Clock::time_point now) const;

    bool m_fast;
    std::deque<char> m_queue;
    Clock::time_point m_burstStart{};
    Clock::time_point m_lineFreeAt{};
    std::size_t m_sentInBurst = 0;
};

} // namespace qzsim
