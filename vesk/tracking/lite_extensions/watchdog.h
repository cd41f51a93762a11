// The watchdog of a login answer's reading: the thread that shuts the
// answer's socket down when its deadline passes.
#ifndef VESK_WATCHDOG_H
#define VESK_WATCHDOG_H

#include "capi.h"  // Python.h before the system headers

#include <pthread.h>

#include <ctime>

namespace vandrel {

// Shuts the answer's socket down when its deadline passes. requests' read
// time-out bounds each wait for the next bytes, not their sum, so a server
// that trickles its answer would hold the login for as long as it likes; a
// socket shut down makes the read waiting on it return at once. The thread
// runs no Python code; its fields are shared under `mutex_` (stopping_,
// fired_) or set before it starts and only read by it (fd_, deadline_), and
// fired_ is read by the caller only after the join. The descriptor is a
// duplicate of the socket's own, so no close by requests can hand its
// number to another file while the thread may still use it.
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
    bool stop();

 private:
    static void* run(void* self);
    void close_descriptor();

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake_;
    pthread_t thread_;
    struct timespec deadline_ = {};
    int fd_ = -1;
    bool started_ = false;
    bool stopping_ = false;
    bool fired_ = false;
};

}  // namespace vandrel

#endif  // VESK_WATCHDOG_H
