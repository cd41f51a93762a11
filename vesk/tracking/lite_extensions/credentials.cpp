// The credentials and tokens of the account server: the secret file, the
// login and the tokens file, the token check, and get_token.
#include "vandrel.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

namespace vandrel {
namespace {

using vesk::call;
using vesk::get_attr;
using vesk::lookup_global;

const char kTimeoutVariable[] = "TALVERO_HTTP_TIMEOUT";

Ref text(const char* value) { return Ref::steal(PyUnicode_FromString(value)); }

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// Sets the pending exception aside while cleanup code runs, and puts it back
// when the scope ends; whatever the cleanup itself raises is dropped, so the
// caller sees the failure that started it.
class PendingError {
 public:
    PendingError() : error_(PyErr_GetRaisedException()) {}
    ~PendingError() {
        PyErr_Clear();
        PyErr_SetRaisedException(error_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

 private:
    PyObject* error_;
};

// Runs `work` with the global lock released, so that other threads run
// while system calls wait on the disk or a network file system. `work`
// touches no Python object, only C strings inside bytes objects that the
// caller keeps alive (bytes never change), as the os module does.
template <typename Work>
auto without_gil(Work work) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
}

// obj[first][second]
Ref item2(PyObject* obj, PyObject* first, PyObject* second) {
    Ref inner = Ref::steal(PyObject_GetItem(obj, first));
    if (!inner) return Ref();
    return Ref::steal(PyObject_GetItem(inner.get(), second));
}

// configparser.ConfigParser()
Ref new_parser(PyObject* module) {
    Ref configparser = lookup_global(module, names.configparser);
    if (!configparser) return Ref();
    Ref parser_type = get_attr(configparser.get(), names.ConfigParser);
    if (!parser_type) return Ref();
    return call(parser_type.get(), {});
}

// parser.read(<module-level path>); the list of files read is not needed.
bool read_into(PyObject* module, PyObject* parser, PyObject* path_name) {
    Ref read = get_attr(parser, names.read);
    if (!read) return false;
    Ref path = lookup_global(module, path_name);
    if (!path) return false;
    return static_cast<bool>(call(read.get(), {path.get()}));
}

// os.<path>.<test>(<module-level path>) as a truth value, -1 on error.
int path_test(PyObject* module, PyObject* test_name, PyObject* path_name) {
    Ref os = lookup_global(module, names.os);
    if (!os) return -1;
    Ref os_path = get_attr(os.get(), names.path);
    if (!os_path) return -1;
    Ref test = get_attr(os_path.get(), test_name);
    if (!test) return -1;
    Ref path = lookup_global(module, path_name);
    if (!path) return -1;
    Ref result = call(test.get(), {path.get()});
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// str(TALVERO_API_URL) + endpoint; no slash added or removed at the seam.
Ref api_url(PyObject* module, PyObject* endpoint) {
    Ref base = lookup_global(module, names.TALVERO_API_URL);
    if (!base) return Ref();
    Ref base_text = Ref::steal(PyObject_Str(base.get()));
    if (!base_text) return Ref();
    return Ref::steal(PyUnicode_Concat(base_text.get(), endpoint));
}

// The time-out of both requests, (connect, read) in seconds, when
// TALVERO_HTTP_TIMEOUT is unset or blank. A server that has not accepted the
// connection within 10 s is down or unreachable; 60 s for the answer lets a
// loaded server serve a burst of training jobs logging in at once, while a
// silent one still fails the job within about a minute (README: Time-out).
constexpr double kDefaultConnectSeconds = 10.0;
constexpr double kDefaultReadSeconds = 60.0;
// The longest wait the interpreter can make: it keeps time as signed 64-bit
// nanoseconds, and a socket given a longer time-out raises OverflowError.
constexpr double kLongestWaitSeconds = 9223372036.0;
// The value that sends the requests without a time-out, as requests would.
const char kNoTimeout[] = "none";

// `text` (already stripped) spells `word`, ASCII lower case, in any case.
bool spells(PyObject* text, const char* word) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length != static_cast<Py_ssize_t>(std::strlen(word))) return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c >= 128 || std::tolower(static_cast<int>(c)) != word[i]) return false;
    }
    return true;
}

// value[start:stop] as a number of seconds, positive and no longer than the
// interpreter can wait; else ValueError quoting the variable's whole value.
Ref timeout_seconds(PyObject* value, PyObject* stripped, Py_ssize_t start, Py_ssize_t stop) {
    Ref part = Ref::steal(PyUnicode_Substring(stripped, start, stop));
    if (!part) return Ref();
    Ref seconds = Ref::steal(PyFloat_FromString(part.get()));
    if (seconds && PyFloat_AS_DOUBLE(seconds.get()) > 0.0 &&
        PyFloat_AS_DOUBLE(seconds.get()) <= kLongestWaitSeconds) {
        return seconds;
    }
    if (!seconds && !PyErr_ExceptionMatches(PyExc_ValueError)) return Ref();
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError,
                 "%s must be a positive number of seconds up to %lld, two of them as "
                 "CONNECT,READ, or '%s', not %R",
                 kTimeoutVariable, static_cast<long long>(kLongestWaitSeconds), kNoTimeout,
                 value);
    return Ref();
}

// What TALVERO_HTTP_TIMEOUT asks of one request: the timeout= value
// (empty: none is passed) and the read part, which also bounds the whole
// answer (0: no bound).
struct Timeouts {
    Ref timeout;
    double read_seconds = 0.0;
};

// TALVERO_HTTP_TIMEOUT, read afresh for each request from os.environ (the
// real module's: rebinding the module's `os` steers get_token, not this).
// Blanks around the value and around each number are ignored, the blanks
// str.strip() drops (float() drops the same):
//   unset or blank   the default (connect, read) pair above;
//   SECONDS          one number for both, as requests takes it;
//   CONNECT,READ     the pair;
//   none             no time-out: `timeout` stays empty and no timeout= is
//                    passed, so requests waits as long as the server does.
// Anything else is refused before a request is sent. Not getenv(): where
// threads run at once, it would race with another thread's os.environ
// writes, which call putenv() and unsetenv(); os.environ is the
// interpreter's own copy, which they keep current under its locks.
bool http_timeout(Timeouts& out) {
    Ref os = import_module("os");
    Ref environ = os ? get_attr(os.get(), names.environ) : Ref();
    Ref get = environ ? get_attr(environ.get(), names.get) : Ref();
    Ref variable = text(kTimeoutVariable);
    Ref found = (get && variable) ? call(get.get(), {variable.get()}) : Ref();
    if (!found) return false;
    Ref value = found.get() == Py_None ? Ref() : Ref::steal(PyObject_Str(found.get()));
    if (found.get() != Py_None && !value) return false;
    Ref stripped;
    if (value) {
        Ref strip = get_attr(value.get(), names.strip);
        stripped = strip ? call(strip.get(), {}) : Ref();
        if (!stripped) return false;
    }
    if (!stripped || PyUnicode_GET_LENGTH(stripped.get()) == 0) {
        Ref connect = Ref::steal(PyFloat_FromDouble(kDefaultConnectSeconds));
        Ref read = Ref::steal(PyFloat_FromDouble(kDefaultReadSeconds));
        if (!connect || !read) return false;
        out.timeout = Ref::steal(PyTuple_Pack(2, connect.get(), read.get()));
        out.read_seconds = kDefaultReadSeconds;
        return static_cast<bool>(out.timeout);
    }
    if (spells(stripped.get(), kNoTimeout)) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped.get());
    const Py_ssize_t comma = PyUnicode_FindChar(stripped.get(), ',', 0, length, 1);
    if (comma == -2) return false;
    if (comma == -1) {
        out.timeout = timeout_seconds(value.get(), stripped.get(), 0, length);
        if (!out.timeout) return false;
        out.read_seconds = PyFloat_AS_DOUBLE(out.timeout.get());
        return true;
    }
    Ref connect = timeout_seconds(value.get(), stripped.get(), 0, comma);
    if (!connect) return false;
    Ref read = timeout_seconds(value.get(), stripped.get(), comma + 1, length);
    if (!read) return false;
    out.timeout = Ref::steal(PyTuple_Pack(2, connect.get(), read.get()));
    out.read_seconds = PyFloat_AS_DOUBLE(read.get());
    return static_cast<bool>(out.timeout);
}

// One exchange: when it was sent and how long its answer may take.
struct Exchange {
    struct timespec sent = {};
    double read_seconds = 0.0;  // 0: no bound
};

// requests.<method>(str(TALVERO_API_URL) + endpoint, <keyword>=value,
// allow_redirects=False, stream=True), plus timeout= when the environment
// sets one; the names are resolved in that order, at the time of the call.
// No redirect is followed: the login form and the bearer token go to the
// configured origin only, and only its answer counts. The body is left
// unread (stream=True) for the caller to read within bounds, or not at all.
Ref request(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* keyword,
            PyObject* value, Exchange& exchange) {
    Ref requests = lookup_global(module, names.requests);
    if (!requests) return Ref();
    Ref function = get_attr(requests.get(), method);
    if (!function) return Ref();
    Ref url = api_url(module, endpoint);
    if (!url) return Ref();
    Timeouts timeouts;
    if (!http_timeout(timeouts)) return Ref();
    Ref kwnames =
        timeouts.timeout
            ? Ref::steal(PyTuple_Pack(4, keyword, names.allow_redirects, names.stream,
                                      names.timeout))
            : Ref::steal(PyTuple_Pack(3, keyword, names.allow_redirects, names.stream));
    if (!kwnames) return Ref();
    PyObject* const args[] = {url.get(), value, Py_False, Py_True, timeouts.timeout.get()};
    exchange.read_seconds = timeouts.read_seconds;
    clock_gettime(CLOCK_MONOTONIC, &exchange.sent);
    return Ref::steal(vesk::fast_call(function.get(), args, 1, kwnames.get()));
}

// query.status_code != 200 (status on the left) as a truth value, -1 on error.
int refused(PyObject* query) {
    Ref status = get_attr(query, names.status_code);
    if (!status) return -1;
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (!ok) return -1;
    Ref differs = Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE));
    return differs ? PyObject_IsTrue(differs.get()) : -1;
}

// query.json()[key]; the body is decoded anew for every member asked for.
Ref json_member(PyObject* query, PyObject* key) {
    Ref json = get_attr(query, names.json);
    if (!json) return Ref();
    Ref decoded = call(json.get(), {});
    if (!decoded) return Ref();
    return Ref::steal(PyObject_GetItem(decoded.get(), key));
}

// `raise error`: an exception instance as it is, a class instantiated.
void raise_object(PyObject* error) {
    if (PyExceptionInstance_Check(error)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    } else if (PyExceptionClass_Check(error)) {
        PyErr_SetNone(error);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// ------------------------------------------------------------ the answer --
// An answer of the real requests (a requests.models.Response) is handled
// with care: the login reads its body within bounds, a redirect is a
// refused login, an error page is named by its status, and the answer is
// closed. The answer of any stand-in bound in place of `requests` is used
// as it is, through its status_code and json() alone.

// The module `name` when it is imported already; else empty, without an
// exception unless the lookup itself failed.
Ref imported(PyObject* name) { return vesk::dict_get(PyImport_GetModuleDict(), name); }

// 1 when `query` is an answer of the real requests, 0 when not, -1 on error.
int real_answer(PyObject* query) {
    Ref models = imported(names.requests_models);
    if (!models) return PyErr_Occurred() ? -1 : 0;
    Ref response = get_attr(models.get(), names.Response);
    if (!response) return -1;
    return PyObject_IsInstance(query, response.get());
}

// Closes a real answer when the scope ends, which gives its connection back
// and ends a body left unread; an error already pending stays the one the
// caller sees, and close() can add none of its own.
class ClosingAnswer {
 public:
    explicit ClosingAnswer(PyObject* query) : query_(query) {}
    ~ClosingAnswer() {
        if (query_ == nullptr) return;
        PendingError pending;
        Ref close = get_attr(query_, names.close);
        if (close) call(close.get(), {});
    }
    ClosingAnswer(const ClosingAnswer&) = delete;
    ClosingAnswer& operator=(const ClosingAnswer&) = delete;

 private:
    PyObject* query_;  // borrowed: the caller holds the answer longer
};

// headers.get(name) of a real answer, None when absent.
Ref header(PyObject* query, PyObject* name) {
    Ref headers = get_attr(query, names.headers);
    Ref get = headers ? get_attr(headers.get(), names.get) : Ref();
    return get ? call(get.get(), {name}) : Ref();
}

// `value`, or an empty text for None.
Ref text_or_empty(Ref value) {
    if (!value || value.get() != Py_None) return value;
    return text("");
}

// "301 Moved Permanently": the status and its reason, as the user reads them.
Ref status_line(PyObject* query) {
    Ref status = get_attr(query, names.status_code);
    Ref reason = text_or_empty(status ? get_attr(query, names.reason) : Ref());
    if (!reason) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%S %S", status.get(), reason.get()));
}

// The largest login answer read: a login answer is a few kilobytes, a large
// JWT tens of them. A longer one is cut off, so that memory stays bounded.
constexpr Py_ssize_t kLargestAnswer = 1 << 20;
constexpr char kLargestAnswerText[] = "1 MiB";
// The body is read in pieces of this size (decoded, about as large).
constexpr Py_ssize_t kReadSize = 16384;

// `seconds` after `start` on the monotonic clock. Waits beyond ~30 years
// are taken as that long, so that no sum overflows time_t.
struct timespec after(const struct timespec& start, double seconds) {
    seconds = std::min(seconds, 1e9);
    const double whole = std::floor(seconds);
    struct timespec end = start;
    end.tv_sec += static_cast<time_t>(whole);
    end.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec += 1;
        end.tv_nsec -= 1000000000L;
    }
    return end;
}

bool passed(const struct timespec& deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

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
    void start(int fd, const struct timespec& deadline) {
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

    // Ends the watch; true when the deadline passed and the socket was shut.
    bool stop() {
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

 private:
    static void* run(void* self) {
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

    void close_descriptor() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake_;
    pthread_t thread_;
    struct timespec deadline_ = {};
    int fd_ = -1;
    bool started_ = false;
    bool stopping_ = false;
    bool fired_ = false;
};

// A descriptor of its own of the socket a real answer is read from
// (raw.fileno(), urllib3's): >= 0; -1, with no exception, where there is
// none to be had (the body read already, a stand-in's raw stream); -2 on
// an error that must not be dropped.
int answer_socket(PyObject* query) {
    Ref raw = get_attr(query, names.raw);
    Ref fileno = raw ? get_attr(raw.get(), names.fileno) : Ref();
    Ref number = fileno ? call(fileno.get(), {}) : Ref();
    const long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -2;
        PyErr_Clear();
    }
    if (fd < 0 || fd > INT_MAX) return -1;
    return fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
}

// Raises requests' ReadTimeout for an answer that outlasted `seconds`, with
// the error that cut its reading short (if one is pending) as its context.
void raise_late(double seconds) {
    PyObject* cut = PyErr_GetRaisedException();
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", seconds);
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "the account server's answer did not arrive whole within the read time-out of %s s "
        "(%s); nothing was stored",
        limit, kTimeoutVariable));
    Ref exceptions = message ? imported(names.requests_exceptions) : Ref();
    Ref type = exceptions ? get_attr(exceptions.get(), names.ReadTimeout)
                          : Ref::borrow(PyErr_Occurred() ? nullptr : PyExc_TimeoutError);
    Ref error = type ? call(type.get(), {message.get()}) : Ref();
    if (!error) {
        Py_XDECREF(cut);
        return;
    }
    if (cut != nullptr) PyException_SetContext(error.get(), cut);
    raise_object(error.get());
}

// LoginError(message) raised, where `login_error` is the class the module
// names so.
void raise_login_error(PyObject* login_error, Ref message) {
    if (!message) return;
    Ref error = call(login_error, {message.get()});
    if (error) raise_object(error.get());
}

// True when a Content-Length of `value` announces more than kLargestAnswer.
bool announced_too_large(PyObject* value) {
    if (!PyUnicode_Check(value)) return false;
    const char* digits = PyUnicode_AsUTF8(value);
    if (digits == nullptr) {
        PyErr_Clear();
        return false;
    }
    while (*digits == ' ' || *digits == '\t') ++digits;
    long long length = 0;
    for (; *digits >= '0' && *digits <= '9'; ++digits) {
        length = length * 10 + (*digits - '0');
        if (length > kLargestAnswer) return true;
    }
    return false;
}

// Reads the body of a real login answer, for json() to decode, within two
// bounds: all of it within the read time-out counted from the sending
// (requests' ReadTimeout), and no more than kLargestAnswer (LoginError, at
// once where the answer announces its length). The pieces read are all
// that is held.
bool read_body(PyObject* query, const Exchange& exchange, PyObject* login_error) {
    Ref length = header(query, names.content_length_header);
    if (!length) return false;
    if (announced_too_large(length.get())) {
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's answer announces %S bytes, more than the %s a login "
            "answer may take; it was not read, and nothing was stored",
            length.get(), kLargestAnswerText)));
        return false;
    }
    const bool bounded = exchange.read_seconds > 0.0;
    const struct timespec deadline = after(exchange.sent, exchange.read_seconds);
    Watchdog watchdog;
    if (bounded) {
        const int fd = answer_socket(query);
        if (fd == -2) return false;
        if (fd >= 0) watchdog.start(fd, deadline);
    }
    Ref pieces = Ref::steal(PyList_New(0));
    Ref iter_content = pieces ? get_attr(query, names.iter_content) : Ref();
    Ref size = Ref::steal(iter_content ? PyLong_FromSsize_t(kReadSize) : nullptr);
    Ref iterable = size ? call(iter_content.get(), {size.get()}) : Ref();
    Ref iterator = Ref::steal(iterable ? PyObject_GetIter(iterable.get()) : nullptr);
    bool read = static_cast<bool>(iterator);
    bool too_large = false;
    bool late = false;
    Py_ssize_t total = 0;
    while (read) {
        Ref piece = Ref::steal(PyIter_Next(iterator.get()));
        if (!piece) {
            read = !PyErr_Occurred();
            break;
        }
        if (!PyBytes_Check(piece.get())) {
            PyErr_Format(PyExc_TypeError, "iter_content() gave %.200s, not bytes",
                         Py_TYPE(piece.get())->tp_name);
            read = false;
            break;
        }
        if (PyBytes_GET_SIZE(piece.get()) > kLargestAnswer - total) {
            too_large = true;
            break;
        }
        total += PyBytes_GET_SIZE(piece.get());
        if (PyList_Append(pieces.get(), piece.get()) < 0) {
            read = false;
            break;
        }
        if (bounded && passed(deadline)) {
            late = true;
            break;
        }
    }
    const bool cut_off = watchdog.stop();
    if (cut_off || late || (bounded && !read && passed(deadline))) {
        raise_late(exchange.read_seconds);
        return false;
    }
    if (!read) return false;
    if (too_large) {
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's answer is longer than the %s a login answer may take; "
            "its reading was cut off there, and nothing was stored",
            kLargestAnswerText)));
        return false;
    }
    Ref body = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!body) return false;
    char* end = PyBytes_AS_STRING(body.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces.get(), i);
        std::memcpy(end, PyBytes_AS_STRING(piece), static_cast<size_t>(PyBytes_GET_SIZE(piece)));
        end += PyBytes_GET_SIZE(piece);
    }
    // What requests keeps once it has read a body itself: json() decodes it.
    return PyObject_SetAttr(query, names.content_attribute, body.get()) == 0 &&
           PyObject_SetAttr(query, names.content_consumed, Py_True) == 0;
}

// Names a real answer in the ValueError its json() raised for a body that
// is not JSON (a gateway's error page, mostly): its status, reason and
// content type, in a note from 3.11, as the error's cause (requests'
// HTTPError) before. The caller still gets json()'s own error.
void name_the_answer(PyObject* query) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
    PyObject* error = PyErr_GetRaisedException();
    Ref status = status_line(query);
    Ref type = status ? header(query, names.content_type_header) : Ref();
    Ref description =
        type ? Ref::steal(type.get() == Py_None
                              ? PyUnicode_FromFormat(
                                    "the account server answered %S, with no content type, "
                                    "not JSON", status.get())
                              : PyUnicode_FromFormat(
                                    "the account server answered %S, of content type %S, "
                                    "not JSON", status.get(), type.get()))
             : Ref();
#if PY_VERSION_HEX >= 0x030B0000
    Ref add_note = description ? get_attr(error, names.add_note) : Ref();
    Ref noted = add_note ? call(add_note.get(), {description.get()}) : Ref();
#else
    Ref exceptions = description ? imported(names.requests_exceptions) : Ref();
    Ref http_error = exceptions ? get_attr(exceptions.get(), names.HTTPError) : Ref();
    Ref cause = http_error ? call(http_error.get(), {description.get()}) : Ref();
    if (cause) PyException_SetCause(error, cause.release());
#endif
    // Naming is a courtesy: json()'s error is what the caller gets.
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

// query.json()[key], the answer named when its body is not JSON.
Ref answer_member(PyObject* query, PyObject* key, bool real) {
    Ref member = json_member(query, key);
    if (!member && real) name_the_answer(query);
    return member;
}

// A redirect refuses the login: it is not followed, and the message names
// the status and where it pointed.
bool redirected(PyObject* query, PyObject* login_error) {
    Ref status = get_attr(query, names.status_code);
    if (!status) return true;
    if (!PyLong_Check(status.get())) return false;
    const long code = PyLong_AsLong(status.get());
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (code < 300 || code > 399) return false;
    Ref line = status_line(query);
    Ref location = line ? header(query, names.location_header) : Ref();
    if (!location) return true;
    raise_login_error(login_error, Ref::steal(
        location.get() == Py_None
            ? PyUnicode_FromFormat("the account server answered %S, a redirect with no "
                                   "Location; a login follows no redirect, and nothing "
                                   "was stored", line.get())
            : PyUnicode_FromFormat("the account server answered %S, a redirect to %S; a "
                                   "login follows no redirect, so the form was sent "
                                   "nowhere else, and nothing was stored",
                                   line.get(), location.get())));
    return true;
}

// What a token (as the tokens file will hold it) holds that keeps it from
// being stored, or null, and in `*why` why: it must read back through the
// file's dialect, and the access token must also fit the token check's
// request header (Latin-1, no control character but the tab). `*culprit`
// is the character at fault.
const char* unstorable(PyObject* token, bool sent_in_header, Py_UCS4* culprit,
                       const char** why) {
    static constexpr char kHeader[] = "which a request header cannot carry";
    const Py_ssize_t length = PyUnicode_GET_LENGTH(token);
    bool line_start = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(token, i);
        *culprit = c;
        if (c == '\r') {
            *why = "which would end a line of the tokens file";
            return "a carriage return";
        }
        if (line_start && !Py_UNICODE_ISSPACE(c)) {
            line_start = false;
            if (c == '#' || c == ';') {
                *why = "which the tokens file would read as a comment";
                return "a line beginning with '#' or ';'";
            }
        }
        *why = kHeader;
        if (c == '\n') {
            if (sent_in_header) return "a line feed";
            line_start = true;
        } else if (sent_in_header && c > 0xFF) {
            return "a character outside Latin-1";
        } else if (sent_in_header && ((c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F))) {
            return "a control character";
        }
    }
    return nullptr;
}

// LoginError for the first token that cannot be stored; the message names
// the token and what is wrong, never the token itself.
bool storable(PyObject* login_error, PyObject* access, PyObject* refresh) {
    const struct {
        PyObject* token;
        const char* name;
        bool sent_in_header;
    } tokens[] = {{access, "access_token", true}, {refresh, "refresh_token", false}};
    for (const auto& token : tokens) {
        if (!PyUnicode_Check(token.token)) continue;
        Py_UCS4 culprit = 0;
        const char* why = nullptr;
        const char* what = unstorable(token.token, token.sent_in_header, &culprit, &why);
        if (what == nullptr) continue;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(culprit));
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's %s cannot be stored: it holds %s (%s), %s; the tokens "
            "file was left as it was", token.name, what, code, why)));
        return false;
    }
    return true;
}

// A token as the tokens file holds it: made text as the parser would make
// it, with every "%" doubled so that the parser's interpolation gives back
// exactly what the server sent. None stays None for the parser to refuse.
Ref stored_token(Ref value) {
    if (!value || value.get() == Py_None) return value;
    Ref value_text = Ref::steal(PyObject_Str(value.get()));
    Ref percent = text("%");
    Ref doubled = text("%%");
    if (!value_text || !percent || !doubled) return Ref();
    return Ref::steal(PyUnicode_Replace(value_text.get(), percent.get(), doubled.get(), -1));
}

bool close_file(PyObject* file) {
    Ref close = get_attr(file, names.close);
    return close && call(close.get(), {});
}

// config.write into a text file over the descriptor `fd` (the default
// encoding, as open(path, "w") would use), flushed and synced to disk.
// The descriptor has one owner, the caller: the file object is opened with
// closefd=False, so no failure of open() or close() can close it behind the
// caller's back, and the caller's one os.close() is the only close.
bool write_synced(PyObject* module, PyObject* os, PyObject* config, PyObject* fd) {
    Ref open = lookup_global(module, names.open);
    Ref mode = text("w");
    if (!open || !mode) return false;
    PyObject* const open_args[] = {fd, mode.get(), Py_False};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names.closefd));
    if (!kwnames) return false;
    Ref file = Ref::steal(vesk::fast_call(open.get(), open_args, 2, kwnames.get()));
    if (!file) return false;
    bool written = false;
    {
        Ref write = get_attr(config, names.write);
        Ref result = write ? call(write.get(), {file.get()}) : Ref();
        Ref flush = result ? get_attr(file.get(), names.flush) : Ref();
        Ref flushed = flush ? call(flush.get(), {}) : Ref();
        Ref fsync = flushed ? get_attr(os, names.fsync) : Ref();
        written = fsync && call(fsync.get(), {fd});
    }
    if (!written) {
        PendingError pending;
        close_file(file.get());
        return false;
    }
    return close_file(file.get());
}

// ------------------------------------------------------------ tokens file --
// The tokens file is replaced whole: the content goes to a temporary file
// of mode 0600 in the target's folder, is synced, and is then renamed over
// the target, so a reader sees the old file or the new one, never part of
// one. A symbolic link at TOKENS_FILE stays a link: its target is what gets
// replaced. On failure the temporary file is removed and the old tokens
// file is left as it was.
//
// A process killed between naming its temporary file and renaming it
// (SIGKILL from a batch scheduler or the OOM killer) leaves the file behind,
// with live tokens in it. Two things keep that rare and short-lived: on
// Linux the file is written and synced while it has no name (O_TMPFILE) and
// named only just before the rename, so the window is two system calls
// rather than the whole write and sync; and every login removes the
// leftovers of earlier ones (remove_abandoned_temporaries).
//
// The real os and tempfile modules do the work, not the module's `os`
// binding: the login does not otherwise use that name, and rebinding it
// to steer get_token must not change how the file is written.

// Temporary files are named ".tokens." + a random part + ".tmp".
constexpr char kTemporaryPrefix[] = ".tokens.";
constexpr char kTemporarySuffix[] = ".tmp";

// A descriptor this code opened itself and closes itself, exactly once.
class OwnedDescriptor {
 public:
    OwnedDescriptor() noexcept = default;
    explicit OwnedDescriptor(int fd) noexcept : fd_(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(OwnedDescriptor&&) = delete;
    ~OwnedDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
    int fd_ = -1;
};


// `path` as the bytes the kernel takes; empty, with no exception, where it
// has none (not a path, not encodable, a NUL inside): the os module's calls
// on the same path then raise what is wrong with it.
Ref file_system_path(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(raw);
}

// ------------------------------------------- leftovers of killed writers --
// A login removes the temporary files that killed writers left in the
// folder. A file is taken for abandoned only when both of these hold:
// - its last change is more than 10 minutes old. A live writer renames its
//   file within milliseconds of writing it, so a young file may be one that
//   is about to be renamed; ten minutes is beyond any write, even to a slow
//   network file system, and still removes the tokens within a working
//   session.
// - nobody holds its lock. Every writer keeps an exclusive flock on its file
//   from before the rename could be pending until after it is done, and the
//   kernel drops the lock when the writer dies. The age alone would remove
//   the file of a writer that was stopped (SIGSTOP, a suspended job or
//   machine) just before its rename, or whose file server's clock runs
//   behind; the lock alone would not cover the instant between mkstemp
//   creating a file and its writer locking it.
// Only regular files matching ".tokens.*.tmp" are removed, never through a
// symbolic link; whatever cannot be examined or removed stays, and nothing
// here can fail the login.
constexpr time_t kAbandonedAfterSeconds = 10 * 60;

bool temporary_name(const char* name) {
    const std::size_t prefix = sizeof kTemporaryPrefix - 1;
    const std::size_t suffix = sizeof kTemporarySuffix - 1;
    const std::size_t length = std::strlen(name);
    return length >= prefix + suffix && std::memcmp(name, kTemporaryPrefix, prefix) == 0 &&
           std::memcmp(name + length - suffix, kTemporarySuffix, suffix) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void remove_if_abandoned(int folder, const char* name, time_t now) {
    struct stat seen;
    if (fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        !(seen.st_mtime < now - kAbandonedAfterSeconds)) {
        return;
    }
    // O_NONBLOCK: a FIFO put in its place meanwhile must not block the login.
    OwnedDescriptor file(
        openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened;
    if (!file || fstat(file.get(), &opened) != 0 || !same_file(seen, opened)) return;
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return;
    // Still the file that was examined under that name, and not renamed away.
    struct stat current;
    if (fstatat(folder, name, &current, AT_SYMLINK_NOFOLLOW) == 0 && same_file(current, opened)) {
        unlinkat(folder, name, 0);
    }
}

// Without the global lock (see without_gil): system calls only.
void remove_abandoned_temporaries(const char* path) {
    int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    DIR* listing = fdopendir(folder);
    if (listing == nullptr) {
        ::close(folder);
        return;
    }
    const time_t now = std::time(nullptr);
    while (const struct dirent* entry = readdir(listing)) {
        if (temporary_name(entry->d_name)) {
            remove_if_abandoned(folder, entry->d_name, now);
        }
    }
    closedir(listing);
}

// ------------------------------------------------------------- the write --

// A second descriptor of the temporary file, closed after the rename. It
// shares the open file with `fd`, and with it the flock taken here, so the
// lock outlasts the one close of `fd` until the rename is done. The lock is
// best effort: without it (no flock on the file system) only the age keeps
// the file from being taken for abandoned.
OwnedDescriptor keep_locked(int fd) {
    OwnedDescriptor kept(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (kept) (void)flock(kept.get(), LOCK_EX | LOCK_NB);
    return kept;
}

// The one close of the temporary file's descriptor, on every path. A
// failing close (deferred write errors on some file systems) fails the
// write; when the write failed already, its error is the one that stays.
bool close_descriptor(PyObject* os, PyObject* fd, bool written) {
    std::optional<PendingError> pending;
    if (!written) pending.emplace();
    Ref close = get_attr(os, names.close);
    bool closed = close && call(close.get(), {fd});
    return written && closed;
}

// os.unlink(temporary), keeping the error that made it necessary.
void discard(PyObject* os, PyObject* temporary) {
    PendingError pending;
    Ref unlink = get_attr(os, names.unlink);
    if (unlink) call(unlink.get(), {temporary});
}

// os.replace(temporary, target); on failure the temporary file is removed.
bool rename_over(PyObject* os, PyObject* temporary, PyObject* target) {
    Ref replace = get_attr(os, names.replace);
    if (replace && call(replace.get(), {temporary, target})) return true;
    discard(os, temporary);
    return false;
}

enum class Outcome { kReplaced, kFailed, kRefused };

#if defined(__linux__) && defined(O_TMPFILE)
constexpr int kNameAttempts = 100;

// Eight characters of the alphabet tempfile draws from, so that the names
// of both ways of writing look alike.
void random_name_part(char (&part)[9]) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet, or a kernel without getrandom: the names need only
        // differ, and a name that is taken is drawn again.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t bits = (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                             static_cast<std::uint64_t>(now.tv_nsec) ^
                             (static_cast<std::uint64_t>(getpid()) << 40);
        for (unsigned char& byte : bytes) {
            bits = bits * 6364136223846793005u + 1442695040888963407u;
            byte = static_cast<unsigned char>(bits >> 56);
        }
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        part[i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
    }
    part[8] = '\0';
}

// Gives the unnamed file open at `fd` a fresh temporary name in `folder` (a
// str), linking it through /proc/self/fd with AT_SYMLINK_FOLLOW: unlike
// AT_EMPTY_PATH, that needs no privilege. Returns the name; empty, with no
// exception, where the link is refused (no /proc, a file system that
// cannot, no free name after many draws).
Ref link_unnamed(int fd, PyObject* folder) {
    char source[32];
    std::snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char part[9];
        random_name_part(part);
        Ref name = Ref::steal(PyUnicode_FromFormat("%U/%s%s%s", folder, kTemporaryPrefix, part,
                                                   kTemporarySuffix));
        if (!name) return Ref();
        Ref raw_name = file_system_path(name.get());
        if (!raw_name) return Ref();
        // With the global lock held: taking it back after the link could
        // wait a switch interval for another thread, inside the window in
        // which a kill leaves the named file behind.
        if (linkat(AT_FDCWD, source, AT_FDCWD, PyBytes_AS_STRING(raw_name.get()),
                   AT_SYMLINK_FOLLOW) == 0) {
            return name;
        }
        if (errno != EEXIST && errno != EINTR) return Ref();
    }
    return Ref();
}

// The content is written and synced in an unnamed file of mode 0600 in
// `folder`, which vanishes with its descriptors if the process dies; it is
// named through the kept descriptor just before the rename, so a kill
// leaves a named file only between those two system calls. kRefused, with
// nothing changed and no exception, where the kernel or the file system has
// no unnamed files or cannot link them: the caller then writes the named way.
Outcome replace_through_unnamed_file(PyObject* module, PyObject* os, PyObject* config,
                                     PyObject* folder, PyObject* raw_folder, PyObject* target) {
    if (!PyUnicode_Check(folder) || !raw_folder) return Outcome::kRefused;
    const char* path = PyBytes_AS_STRING(raw_folder);
    int unnamed = without_gil([path] {
        int fd;
        do {
            fd = open(path, O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        return fd;
    });
    if (unnamed < 0) return Outcome::kRefused;
    OwnedDescriptor kept = keep_locked(unnamed);
    Ref fd = Ref::steal(kept ? PyLong_FromLong(unnamed) : nullptr);
    if (!fd) {
        ::close(unnamed);
        return kept ? Outcome::kFailed : Outcome::kRefused;
    }
    if (!close_descriptor(os, fd.get(), write_synced(module, os, config, fd.get()))) {
        return Outcome::kFailed;
    }
    Ref temporary = link_unnamed(kept.get(), folder);
    if (temporary) {
        return rename_over(os, temporary.get(), target) ? Outcome::kReplaced : Outcome::kFailed;
    }
    return PyErr_Occurred() ? Outcome::kFailed : Outcome::kRefused;
}
#else
Outcome replace_through_unnamed_file(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*,
                                     PyObject*) {
    return Outcome::kRefused;
}
#endif

// The file gets its name at once, from mkstemp (0600, an unpredictable
// name); where there are no unnamed files.
bool replace_through_named_file(PyObject* module, PyObject* os, PyObject* config,
                                PyObject* folder, PyObject* target) {
    Ref tempfile = import_module("tempfile");
    if (!tempfile) return false;
    Ref mkstemp = get_attr(tempfile.get(), names.mkstemp);
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref prefix = text(kTemporaryPrefix);
    Ref suffix = text(kTemporarySuffix);
    if (!mkstemp || !no_args || !kwargs || !prefix || !suffix ||
        PyDict_SetItem(kwargs.get(), names.dir, folder) < 0 ||
        PyDict_SetItem(kwargs.get(), names.prefix, prefix.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), names.suffix, suffix.get()) < 0) {
        return false;
    }
    Ref made = Ref::steal(PyObject_Call(mkstemp.get(), no_args.get(), kwargs.get()));
    if (!made) return false;
    if (!PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "tempfile.mkstemp() did not return (fd, path)");
        return false;
    }
    PyObject* fd = PyTuple_GET_ITEM(made.get(), 0);
    PyObject* temporary = PyTuple_GET_ITEM(made.get(), 1);
    int overflow = 0;
    long number = PyLong_Check(fd) ? PyLong_AsLongAndOverflow(fd, &overflow) : -1;
    OwnedDescriptor kept = number >= 0 && number <= INT_MAX && !overflow
                               ? keep_locked(static_cast<int>(number))
                               : OwnedDescriptor();
    if (close_descriptor(os, fd, write_synced(module, os, config, fd))) {
        return rename_over(os, temporary, target);
    }
    discard(os, temporary);
    return false;
}

bool write_tokens_file(PyObject* module, PyObject* config) {
    Ref os = import_module("os");
    if (!os) return false;
    Ref tokens_file = lookup_global(module, names.TOKENS_FILE);
    if (!tokens_file) return false;
    Ref os_path = get_attr(os.get(), names.path);
    if (!os_path) return false;
    Ref realpath = get_attr(os_path.get(), names.realpath);
    if (!realpath) return false;
    Ref target = call(realpath.get(), {tokens_file.get()});
    if (!target) return false;
    Ref dirname = get_attr(os_path.get(), names.dirname);
    if (!dirname) return false;
    Ref folder = call(dirname.get(), {target.get()});
    if (!folder) return false;

    Ref raw_folder = file_system_path(folder.get());
    if (raw_folder) {
        const char* path = PyBytes_AS_STRING(raw_folder.get());
        without_gil([path] {
            remove_abandoned_temporaries(path);
            return 0;
        });
    }
    switch (replace_through_unnamed_file(module, os.get(), config, folder.get(), raw_folder.get(),
                                         target.get())) {
        case Outcome::kReplaced:
            return true;
        case Outcome::kFailed:
            return false;
        case Outcome::kRefused:
            break;
    }
    return replace_through_named_file(module, os.get(), config, folder.get(), target.get());
}

bool show_guide(PyObject* module) {
    Ref cyan_print = lookup_global(module, names.cyan_print);
    if (!cyan_print) return false;
    return static_cast<bool>(call(cyan_print.get(), {names.guide_message}));
}

PyObject* create_secret_file_guide(PyObject* module) {
    if (!show_guide(module)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_secret_config(PyObject* module) {
    Ref config = new_parser(module);
    if (!config) return nullptr;
    int present = path_test(module, names.isfile, names.SECRET_FILE);
    if (present < 0) return nullptr;
    if (!present) {
        Ref guide = lookup_global(module, names.create_secret_file_guide);
        if (!guide || !call(guide.get(), {})) return nullptr;
        // Status 1: a missing secret file is a failure, and a program that
        // lets SystemExit through must not report success.
        Ref sys = lookup_global(module, names.sys);
        if (!sys) return nullptr;
        Ref exit = get_attr(sys.get(), names.exit);
        if (!exit) return nullptr;
        Ref status = Ref::steal(PyLong_FromLong(1));
        if (!status || !call(exit.get(), {status.get()})) return nullptr;
    }
    if (!read_into(module, config.get(), names.SECRET_FILE)) return nullptr;
    return config.release();
}

PyObject* fetch_token(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* email = nullptr;
    PyObject* password = nullptr;
    if (!vesk::parse_two_arguments("fetch_token", args, nargs, kwnames, "email", "password",
                                   &email, &password)) {
        return nullptr;
    }
    Ref payload = Ref::steal(PyDict_New());
    if (!payload || PyDict_SetItem(payload.get(), names.email, email) < 0 ||
        PyDict_SetItem(payload.get(), names.password, password) < 0) {
        return nullptr;
    }
    Exchange exchange;
    Ref query =
        request(module, names.post, names.login_path, names.data, payload.get(), exchange);
    if (!query) return nullptr;
    const int real = real_answer(query.get());
    if (real < 0) return nullptr;
    ClosingAnswer closing(real ? query.get() : nullptr);

    int status = refused(query.get());
    if (status < 0) return nullptr;
    if (real) {
        Ref login_error = lookup_global(module, names.LoginError);
        if (!login_error) return nullptr;
        if (status && redirected(query.get(), login_error.get())) return nullptr;
        if (!read_body(query.get(), exchange, login_error.get())) return nullptr;
    }
    if (status) {
        Ref login_error = lookup_global(module, names.LoginError);
        if (!login_error) return nullptr;
        Ref message = answer_member(query.get(), names.message, real);
        if (!message) return nullptr;
        Ref error = call(login_error.get(), {message.get()});
        if (error) raise_object(error.get());
        return nullptr;
    }

    Ref config = new_parser(module);
    if (!config) return nullptr;
    Ref access = stored_token(answer_member(query.get(), names.access_token, real));
    if (!access) return nullptr;
    Ref refresh = stored_token(answer_member(query.get(), names.refresh_token, real));
    if (!refresh) return nullptr;
    Ref tokens = Ref::steal(PyDict_New());
    if (!tokens || PyDict_SetItem(tokens.get(), names.access_token, access.get()) < 0 ||
        PyDict_SetItem(tokens.get(), names.refresh_token, refresh.get()) < 0 ||
        PyObject_SetItem(config.get(), names.TOKENS, tokens.get()) < 0) {
        return nullptr;
    }
    // Only tokens that read back and that the check can send are stored:
    // one that cannot would break every later call until the file is gone.
    Ref login_error = lookup_global(module, names.LoginError);
    if (!login_error || !storable(login_error.get(), access.get(), refresh.get())) {
        return nullptr;
    }
    if (!write_tokens_file(module, config.get())) return nullptr;
    return item2(config.get(), names.TOKENS, names.access_token).release();
}

PyObject* expired_token(PyObject* module) {
    Ref ftoken = new_parser(module);
    if (!ftoken || !read_into(module, ftoken.get(), names.TOKENS_FILE)) return nullptr;
    Ref token = item2(ftoken.get(), names.TOKENS, names.access_token);
    if (!token) return nullptr;
    Ref token_text = Ref::steal(PyObject_Str(token.get()));
    if (!token_text) return nullptr;
    Ref bearer = Ref::steal(PyUnicode_Concat(names.bearer, token_text.get()));
    Ref headers = Ref::steal(PyDict_New());
    if (!bearer || !headers ||
        PyDict_SetItem(headers.get(), names.authorization, bearer.get()) < 0) {
        return nullptr;
    }
    // Any status but 200 answers True, a redirect's too: it is not followed,
    // so the token goes to the configured origin only, and no other origin
    // can vouch for it. The body is never read.
    Exchange exchange;
    Ref query = request(module, names.get, names.authenticate_path, names.headers,
                        headers.get(), exchange);
    if (!query) return nullptr;
    const int real = real_answer(query.get());
    if (real < 0) return nullptr;
    ClosingAnswer closing(real ? query.get() : nullptr);
    int status = refused(query.get());
    if (status < 0) return nullptr;
    return PyBool_FromLong(status);
}

PyObject* get_token(PyObject* module) {
    Ref secret_config = lookup_global(module, names.get_secret_config);
    if (!secret_config) return nullptr;
    Ref config = call(secret_config.get(), {});
    if (!config) return nullptr;
    Ref email = item2(config.get(), names.secret, names.email);
    if (!email) return nullptr;
    Ref password = item2(config.get(), names.secret, names.password);
    if (!password) return nullptr;

    int present = path_test(module, names.exists, names.TOKENS_FILE);
    if (present < 0) return nullptr;
    int login = !present;
    if (present) {
        Ref check = lookup_global(module, names.expired_token);
        if (!check) return nullptr;
        Ref expired = call(check.get(), {});
        if (!expired) return nullptr;
        login = PyObject_IsTrue(expired.get());
        if (login < 0) return nullptr;
    }
    if (login) {
        Ref fetch = lookup_global(module, names.fetch_token);
        if (!fetch) return nullptr;
        return call(fetch.get(), {email.get(), password.get()}).release();
    }
    Ref ftoken = new_parser(module);
    if (!ftoken || !read_into(module, ftoken.get(), names.TOKENS_FILE)) return nullptr;
    return item2(ftoken.get(), names.TOKENS, names.access_token).release();
}

constexpr char kCreateSecretFileGuide[] = "create_secret_file_guide";
constexpr char kGetSecretConfig[] = "get_secret_config";
constexpr char kExpiredToken[] = "expired_token";
constexpr char kGetToken[] = "get_token";

}  // namespace

PyMethodDef create_secret_file_guide_method =
    vesk::no_arguments_method<kCreateSecretFileGuide, create_secret_file_guide>(
        "create_secret_file_guide($module, /)\n--\n\n");
PyMethodDef get_secret_config_method =
    vesk::no_arguments_method<kGetSecretConfig, get_secret_config>(
        "get_secret_config($module, /)\n--\n\n");
PyMethodDef fetch_token_method = {"fetch_token", vesk::as_method(fetch_token),
                                  vesk::kFastcallFlags,
                                  "fetch_token($module, /, email, password)\n--\n\n"};
PyMethodDef expired_token_method = vesk::no_arguments_method<kExpiredToken, expired_token>(
    "expired_token($module, /)\n--\n\n");
PyMethodDef get_token_method =
    vesk::no_arguments_method<kGetToken, get_token>("get_token($module, /)\n--\n\n");

}  // namespace vandrel
