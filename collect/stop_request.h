#pragma once

// A stop asked for by a signal (SIGTERM, SIGINT, SIGHUP; Ctrl+C on Windows), readable
// from code that blocks and cannot wait for the event loop to deliver it: a sync, a
// wait on the store. The event loop still delivers the stop to the session; this only
// lets a long step notice it in the middle and give up at once, and lets the last
// step before CLR ALL refuse to send it.
namespace StopRequest {
// Safe in a signal handler. Returns the signal of an earlier stop, 0 when this is
// the first.
int raise(int signal);
// The signal that asked for the stop; 0 when none did.
int signal();
// Set just before CLR ALL is written: a second signal's last word says whether it went.
void clearGoingOut();
bool clearWentOut();
// For tests: forget an earlier stop.
void reset();
}
