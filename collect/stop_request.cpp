#include "stop_request.h"

#include <atomic>

namespace {
std::atomic<int> s_signal{0};
std::atomic<bool> s_clear{false};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");
}

int StopRequest::raise(int signal)
{
    int none = 0;
    s_signal.compare_exchange_strong(none, signal);
    return none;
}

int StopRequest::signal()
{
    return s_signal.load();
}

void StopRequest::clearGoingOut()
{
    s_clear.store(true);
}

bool StopRequest::clearWentOut()
{
    return s_clear.load();
}

void StopRequest::reset()
{
    s_signal.store(0);
    s_clear.store(false);
}
