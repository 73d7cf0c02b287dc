#include "stop_request.h"

#include <atomic>

namespace {
std::atomic<int> s_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");
}

void StopRequest::raise(int signal)
{
    int none = 0;
    s_signal.compare_exchange_strong(none, signal);
}

int StopRequest::signal()
{
    return s_signal.load();
}

void StopRequest::reset()
{
    s_signal.store(0);
}
