// TALVERO_HTTP_TIMEOUT: the time-out of the requests to the account server,
// read afresh for each request.
#include "http_timeout.h"
#include "shared_helpers.h"

#include <cctype>
#include <cstring>

namespace vandrel {
namespace {

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

}  // namespace

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

}  // namespace vandrel
