// The watchdog of a login answer's reading (see watchdog.h).
#include "watchdog.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace vandrel {

// Shared by a login and its watchdog thread. stopping and fired are guarded
// by `mutex`; deadline is set before the thread starts and only read after;
// fd and the registry links are guarded by registry_lock (below); owners
// counts down atomically, and whoever takes it to zero frees the state,
// after which neither side touches it.
struct WatchState {
    pthread_mutex_t mutex;
    pthread_cond_t wake;
    struct timespec deadline;
    int fd;
    bool stopping;
    bool fired;
    std::atomic<int> owners;
    WatchState* previous;
    WatchState* next;
};

namespace {

// Every state whose descriptor is still open, for a forked child to close
// them: the child has none of the parent's logins to watch, and a duplicate
// of a login socket kept open would hold the connection for the child's
// whole life. Taken across fork (prepare/parent/child), so that the list and
// each fd are whole when the child copies them.
pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
WatchState* registry = nullptr;
pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;

void before_fork() { pthread_mutex_lock(&registry_lock); }
void after_fork_in_parent() { pthread_mutex_unlock(&registry_lock); }

// Only the forking thread lives on in the child: the watchdog threads are
// gone, maybe holding a state's mutex, so each state gets fresh ones and is
// owned by its login alone (if that thread is the one that forked).
void after_fork_in_child() {
    for (WatchState* state = registry; state != nullptr; state = state->next) {
        ::close(state->fd);
        state->fd = -1;
        pthread_mutex_init(&state->mutex, nullptr);
        pthread_cond_init(&state->wake, nullptr);
        state->stopping = true;
        state->owners.store(1);
    }
    registry = nullptr;
    pthread_mutex_unlock(&registry_lock);
}

void install_fork_handlers() {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

void add_to_registry(WatchState* state) {
    pthread_mutex_lock(&registry_lock);
    state->previous = nullptr;
    state->next = registry;
    if (registry != nullptr) registry->previous = state;
    registry = state;
    pthread_mutex_unlock(&registry_lock);
}

// Closes the state's descriptor, once, and takes it off the registry.
void close_descriptor(WatchState* state) {
    pthread_mutex_lock(&registry_lock);
    if (state->fd >= 0) {
        ::close(state->fd);
        state->fd = -1;
        if (state->previous != nullptr) state->previous->next = state->next;
        if (state->next != nullptr) state->next->previous = state->previous;
        if (registry == state) registry = state->next;
        state->previous = state->next = nullptr;
    }
    pthread_mutex_unlock(&registry_lock);
}

void release(WatchState* state) {
    if (state->owners.fetch_sub(1) != 1) return;
    close_descriptor(state);
    pthread_cond_destroy(&state->wake);
    pthread_mutex_destroy(&state->mutex);
    state->~WatchState();
    std::free(state);
}

void* run(void* shared) {
    auto* state = static_cast<WatchState*>(shared);
    pthread_mutex_lock(&state->mutex);
    while (!state->stopping && !state->fired) {
        if (pthread_cond_timedwait(&state->wake, &state->mutex, &state->deadline) ==
                ETIMEDOUT &&
            !state->stopping) {
            state->fired = true;
            pthread_mutex_lock(&registry_lock);
            if (state->fd >= 0) ::shutdown(state->fd, SHUT_RDWR);
            pthread_mutex_unlock(&registry_lock);
            // Shut down, the duplicate is of no more use to anyone.
            close_descriptor(state);
        }
    }
    pthread_mutex_unlock(&state->mutex);
    release(state);
    return nullptr;
}

// A state for `fd` with its mutex and monotonic condition, owned twice;
// null where one cannot be made.
WatchState* new_state(int fd, const struct timespec& deadline) {
    void* memory = std::calloc(1, sizeof(WatchState));
    if (memory == nullptr) return nullptr;
    auto* state = new (memory) WatchState;
    state->deadline = deadline;
    state->fd = fd;
    state->stopping = false;
    state->fired = false;
    state->owners.store(2);
    state->previous = state->next = nullptr;
    pthread_condattr_t attributes;
    bool made = false;
    if (pthread_condattr_init(&attributes) == 0) {
        made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
               pthread_cond_init(&state->wake, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (made && pthread_mutex_init(&state->mutex, nullptr) != 0) {
        pthread_cond_destroy(&state->wake);
        made = false;
    }
    if (!made) {
        state->~WatchState();
        std::free(state);
        return nullptr;
    }
    return state;
}

}  // namespace

void Watchdog::start(int fd, const struct timespec& deadline) {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    WatchState* state = new_state(fd, deadline);
    if (state == nullptr) {
        ::close(fd);
        return;
    }
    add_to_registry(state);
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) {
            // Signals go to the interpreter's threads, never to this one.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            pthread_t thread;
            started = pthread_create(&thread, &attributes, run, state) == 0;
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        state->owners.store(1);
        release(state);
        return;
    }
    state_ = state;
}

bool Watchdog::stop() {
    WatchState* state = state_;
    if (state == nullptr) return fired_;
    state_ = nullptr;
    pthread_mutex_lock(&state->mutex);
    state->stopping = true;
    fired_ = state->fired;
    pthread_cond_signal(&state->wake);
    pthread_mutex_unlock(&state->mutex);
    // The thread shuts nothing down once it has seen `stopping`, so the
    // descriptor can go now rather than when the thread lets go.
    close_descriptor(state);
    release(state);
    return fired_;
}

}  // namespace vandrel
