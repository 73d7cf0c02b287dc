#include "line.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <unistd.h>

namespace qzsim {

namespace {

constexpr std::int64_t BaudRate = 9600;
constexpr std::int64_t BitsPerCharacter = 10; // start bit, 8 data bits, stop bit
constexpr std::int64_t NanosecondsPerSecond = 1'000'000'000;
constexpr std::size_t WriteChunk = 512;

} // namespace

void Line::queue(std::string_view bytes, Clock::time_point now)
{
    if (bytes.empty())
        return;
    if (m_queue.empty()) {
        m_burstStart = std::max(now, m_lineFreeAt);
        m_sentInBurst = 0;
    }
    m_queue.insert(m_queue.end(), bytes.begin(), bytes.end());
}

Clock::duration Line::untilDue(Clock::time_point now) const
{
    if (m_fast || m_queue.empty())
        return Clock::duration::zero();
    auto due = dueAt(m_sentInBurst);
    return due > now ? due - now : Clock::duration::zero();
}

bool Line::sendDue(int fd, Clock::time_point now, bool &blocked)
{
    blocked = false;
    std::size_t count = dueCount(now);
    while (count > 0) {
        char chunk[WriteChunk];
        std::size_t n = std::min(count, sizeof chunk);
        std::copy_n(m_queue.begin(), n, chunk);
        ssize_t written = ::write(fd, chunk, n);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked = true;
                return true;
            }
            return false;
        }
        m_queue.erase(m_queue.begin(), m_queue.begin() + written);
        m_sentInBurst += static_cast<std::size_t>(written);
        if (!m_fast)
            m_lineFreeAt = dueAt(m_sentInBurst - 1);
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

Clock::time_point Line::dueAt(std::size_t index) const
{
    // Whole characters at the baud rate, in whole nanoseconds from the burst's start.
    auto ns = static_cast<std::int64_t>(index + 1) * BitsPerCharacter * NanosecondsPerSecond / BaudRate;
    return m_burstStart + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

std::size_t Line::dueCount(Clock::time_point now) const
{
    if (m_fast)
        return m_queue.size();
    std::size_t count = 0;
    while (count < m_queue.size() && dueAt(m_sentInBurst + count) <= now)
        ++count;
    return count;
}

} // namespace qzsim
