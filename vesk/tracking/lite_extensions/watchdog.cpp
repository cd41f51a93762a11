// The watchdog of a login answer's reading (see watchdog.h).
#include "watchdog.h"
#include "shared_helpers.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vandrel {

void Watchdog::start(int fd, const struct timespec& deadline) {
    fd_ = fd;
    deadline_ = deadline;
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) return close_descriptor();
    const bool made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                      pthread_cond_init(&wake_, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    if (!made) return close_descriptor();
    // Signals go to the interpreter's threads, never to this one.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    started_ = pthread_create(&thread_, nullptr, run, this) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started_) {
        pthread_cond_destroy(&wake_);
        close_descriptor();
    }
}

bool Watchdog::stop() {
    if (started_) {
        pthread_mutex_lock(&mutex_);
        stopping_ = true;
        pthread_cond_signal(&wake_);
        pthread_mutex_unlock(&mutex_);
        pthread_t thread = thread_;
        without_gil([thread] { return pthread_join(thread, nullptr); });
        pthread_cond_destroy(&wake_);
        started_ = false;
        close_descriptor();
    }
    return fired_;
}

void* Watchdog::run(void* self) {
    auto* watchdog = static_cast<Watchdog*>(self);
    pthread_mutex_lock(&watchdog->mutex_);
    while (!watchdog->stopping_ && !watchdog->fired_) {
        if (pthread_cond_timedwait(&watchdog->wake_, &watchdog->mutex_,
                                   &watchdog->deadline_) == ETIMEDOUT &&
            !watchdog->stopping_) {
            watchdog->fired_ = true;
            ::shutdown(watchdog->fd_, SHUT_RDWR);
        }
    }
    pthread_mutex_unlock(&watchdog->mutex_);
    return nullptr;
}

void Watchdog::close_descriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace vandrel
