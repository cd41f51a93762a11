// The watchdog of a login answer's reading: the thread that shuts the
// answer's socket down when its deadline passes.
#ifndef VESK_WATCHDOG_H
#define VESK_WATCHDOG_H

#include "capi.h"  // Python.h before the system headers

#include <ctime>

namespace vandrel {

struct WatchState;

// Shuts the answer's socket down when its deadline passes. requests' read
// time-out bounds each wait for the next bytes, not their sum, so a server
// that trickles its answer would hold the login for as long as it likes; a
// socket shut down makes the read waiting on it return at once.
//
// What the thread uses lives on the heap, owned by the two of them and
// freed by the last to let go: a login ended without unwinding (a daemon
// thread at interpreter exit) leaves the thread nothing dangling. The
// thread is detached and runs no Python code. The descriptor is a duplicate
// of the socket's own, so no close by requests can hand its number to
// another file while the thread may still use it; a forked child closes the
// duplicates of the parent's logins at once (watchdog.cpp).
class Watchdog {
 public:
    Watchdog() = default;
    ~Watchdog() { stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Watches `fd` (owned from here on) until `deadline`. Where no thread
    // can be made, nothing watches: the reader's own checks of the time
    // between pieces and the per-read time-out remain.
    void start(int fd, const struct timespec& deadline);

    // Ends the watch; true when the deadline passed and the socket was shut.
    // Once it returns, the thread shuts nothing down any more.
    bool stop();

 private:
    WatchState* state_ = nullptr;
    bool fired_ = false;
};

}  // namespace vandrel

#endif  // VESK_WATCHDOG_H
