// One exchange with the account server (see account_exchange.h).
//
// An answer of the real requests (a requests.models.Response) is handled
// with care: the login reads its body within bounds, a redirect is a
// refused login, an error page is named by its status, and the answer is
// closed. The answer of any stand-in bound in place of `requests` is used
// as it is, through its status_code and json() alone.
#include "account_exchange.h"
#include "bounded_decoder.h"
#include "http_timeout.h"
#include "shared_helpers.h"
#include "transport_rules.h"
#include "watchdog.h"

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vandrel {
namespace {

// str(TALVERO_API_URL) + endpoint; no slash added or removed at the seam.
Ref api_url(PyObject* module, PyObject* endpoint) {
    Ref base = lookup_global(module, names.TALVERO_API_URL);
    if (!base) return Ref();
    Ref base_text = Ref::steal(PyObject_Str(base.get()));
    if (!base_text) return Ref();
    return Ref::steal(PyUnicode_Concat(base_text.get(), endpoint));
}

// query.json()[key]; the body is decoded anew for every member asked for.
Ref json_member(PyObject* query, PyObject* key) {
    Ref json = get_attr(query, names.json);
    if (!json) return Ref();
    Ref decoded = call(json.get(), {});
    if (!decoded) return Ref();
    return Ref::steal(PyObject_GetItem(decoded.get(), key));
}

// The module `name` when it is imported already; else empty, without an
// exception unless the lookup itself failed.
Ref imported(PyObject* name) { return vesk::dict_get(PyImport_GetModuleDict(), name); }

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

// 1 when the body of `query` was read before it came here (a Response made
// by hand, its body set in _content, or one read already): it is used as it
// is. 0 when it is still to be read from its raw stream, -1 on error.
int body_read_already(PyObject* query) {
    Ref content = get_attr(query, names.content_attribute);
    if (!content) return -1;
    if (PyBytes_Check(content.get())) return 1;
    Ref consumed = get_attr(query, names.content_consumed);
    const int was_consumed = consumed ? PyObject_IsTrue(consumed.get()) : -1;
    if (was_consumed != 0) return was_consumed;
    Ref raw = get_attr(query, names.raw);
    if (!raw) return -1;
    return raw.get() == Py_None;
}

// query.content of a body read already, within the same bound as one read here.
bool body_within_bounds(PyObject* query, PyObject* login_error) {
    Ref content = get_attr(query, names.content);
    if (!content) return false;
    if (PyBytes_Check(content.get()) && PyBytes_GET_SIZE(content.get()) > kLargestAnswer) {
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's answer is longer than the %s a login answer may take; "
            "nothing was stored", kLargestAnswerText)));
        return false;
    }
    return true;
}

}  // namespace

Ref request(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* keyword,
            PyObject* value, Exchange& exchange) {
    Ref url = api_url(module, endpoint);
    if (!url) return Ref();
    // Before `requests` is asked for anything: a refused URL sends nothing.
    if (!transport_allowed(url.get())) return Ref();
    Ref requests = lookup_global(module, names.requests);
    if (!requests) return Ref();
    Ref function = get_attr(requests.get(), method);
    if (!function) return Ref();
    Timeouts timeouts;
    if (!http_timeout(timeouts)) return Ref();
    Ref auth = headers_as_given();
    if (!auth) return Ref();
    Ref kwnames =
        timeouts.timeout
            ? Ref::steal(PyTuple_Pack(5, keyword, names.auth, names.allow_redirects,
                                      names.stream, names.timeout))
            : Ref::steal(PyTuple_Pack(4, keyword, names.auth, names.allow_redirects,
                                      names.stream));
    if (!kwnames) return Ref();
    PyObject* const args[] = {url.get(), value, auth.get(), Py_False, Py_True,
                              timeouts.timeout.get()};
    exchange.read_seconds = timeouts.read_seconds;
    clock_gettime(CLOCK_MONOTONIC, &exchange.sent);
    return Ref::steal(vesk::fast_call(function.get(), args, 1, kwnames.get()));
}

int refused(PyObject* query) {
    Ref status = get_attr(query, names.status_code);
    if (!status) return -1;
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (!ok) return -1;
    Ref differs = Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE));
    return differs ? PyObject_IsTrue(differs.get()) : -1;
}

int real_answer(PyObject* query) {
    Ref models = imported(names.requests_models);
    if (!models) return PyErr_Occurred() ? -1 : 0;
    Ref response = get_attr(models.get(), names.Response);
    if (!response) return -1;
    return PyObject_IsInstance(query, response.get());
}

ClosingAnswer::~ClosingAnswer() {
    if (query_ == nullptr) return;
    PendingError pending;
    Ref close = get_attr(query_, names.close);
    if (close) call(close.get(), {});
}

bool read_body(PyObject* query, const Exchange& exchange, PyObject* login_error) {
    const int read_already = body_read_already(query);
    if (read_already < 0) return false;
    if (read_already) return body_within_bounds(query, login_error);
    Ref length = header(query, names.content_length_header);
    if (!length) return false;
    if (announced_too_large(length.get())) {
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's answer announces %S bytes, more than the %s a login "
            "answer may take; it was not read, and nothing was stored",
            length.get(), kLargestAnswerText)));
        return false;
    }
    BoundedDecoder decoder;
    if (!decoder.open(query, login_error)) return false;
    const bool bounded = exchange.read_seconds > 0.0;
    const struct timespec deadline = after(exchange.sent, exchange.read_seconds);
    Watchdog watchdog;
    if (bounded) {
        const int fd = answer_socket(query);
        if (fd == -2) return false;
        if (fd >= 0) watchdog.start(fd, deadline);
    }
    Ref pieces = Ref::steal(PyList_New(0));
    bool read = static_cast<bool>(pieces);
    bool too_large = false;
    bool late = false;
    Py_ssize_t total = 0;
    while (read) {
        // One byte beyond the bound is enough to know it is passed.
        Ref piece = decoder.next(std::min(kReadSize, kLargestAnswer - total + 1));
        if (!piece) {
            read = false;
            break;
        }
        if (piece.get() == Py_None) break;
        if (PyBytes_GET_SIZE(piece.get()) > kLargestAnswer - total ||
            decoder.raw_bytes() > kLargestAnswer + kReadSize) {
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
    // A failure of the reading itself at or after the deadline is the
    // time-out's doing; an interrupt, an exit or any other error is not.
    const bool read_failed = !read && PyErr_ExceptionMatches(PyExc_OSError);
    if (cut_off || late || (bounded && read_failed && passed(deadline))) {
        if (read || read_failed) {
            raise_late(exchange.read_seconds);
            return false;
        }
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

Ref answer_member(PyObject* query, PyObject* key, bool real) {
    Ref member = json_member(query, key);
    if (!member && real) name_the_answer(query);
    return member;
}

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

}  // namespace vandrel
