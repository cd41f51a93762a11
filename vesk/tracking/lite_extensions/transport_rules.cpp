// What the requests to the account server may carry, and where (see
// transport_rules.h).
#include "transport_rules.h"
#include "shared_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace vandrel {
namespace {

bool ascii_letter(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

// The pieces of a request URL the rules look at, as code-point offsets.
// One parse serves both rules, so they cannot disagree on where the host is.
struct UrlParts {
    bool http = false;   // the scheme is http, in any case
    bool https = false;  // the scheme is https, in any case
    // After "scheme://"; without one, where the text starts, so that a URL
    // such as "user:pw@host" counts as holding a user and password too.
    Py_ssize_t authority_start = 0;
    // At the first '/', '?' or '#' after authority_start, or the end.
    Py_ssize_t authority_end = 0;
    bool slashes = false;     // "scheme://" was there
    Py_ssize_t last_at = -1;  // the last '@' of the authority; -1: none
};

// url[start:stop] is `word` (ASCII lower case), in any case.
bool spells(PyObject* url, Py_ssize_t start, Py_ssize_t stop, const char* word) {
    if (stop - start != static_cast<Py_ssize_t>(std::strlen(word))) return false;
    for (Py_ssize_t i = start; i < stop; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(url, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<Py_UCS4>(word[i - start])) return false;
    }
    return true;
}

// The authority as urllib3 finds it: requests drops the blanks before the
// URL (str.lstrip()), the scheme is a letter and then letters, digits,
// '+', '-' or '.', and the authority ends at the path, query or fragment.
UrlParts parse(PyObject* url) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(url);
    UrlParts parts;
    Py_ssize_t start = 0;
    while (start < length && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(url, start))) ++start;
    parts.authority_start = start;
    Py_ssize_t colon = start;
    if (colon < length && ascii_letter(PyUnicode_READ_CHAR(url, colon))) {
        ++colon;
        while (colon < length) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(url, colon);
            if (!ascii_letter(c) && !ascii_digit(c) && c != '+' && c != '-' && c != '.') break;
            ++colon;
        }
        if (colon < length && PyUnicode_READ_CHAR(url, colon) == ':') {
            parts.http = spells(url, start, colon, "http");
            parts.https = spells(url, start, colon, "https");
            if (colon + 2 < length && PyUnicode_READ_CHAR(url, colon + 1) == '/' &&
                PyUnicode_READ_CHAR(url, colon + 2) == '/') {
                parts.slashes = true;
                parts.authority_start = colon + 3;
            }
        }
    }
    Py_ssize_t end = parts.authority_start;
    for (; end < length; ++end) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(url, end);
        if (c == '/' || c == '?' || c == '#') break;
        if (c == '@') parts.last_at = end;
    }
    parts.authority_end = end;
    return parts;
}

// Whether the authority names this machine beyond doubt: "localhost" (in
// any case), an address of 127.0.0.0/8 in the four-decimal form, or [::1]
// in any spelling, each with no port or a numeric one. Anything else is
// taken for another machine: "127.1" and "0x7f.0.0.1" (what a resolver
// makes of them varies), "localhost." and other names with a trailing dot
// (a resolver may ask the DNS for them), "*.localhost", a zone (%25),
// percent-escapes and non-ASCII text, a backslash.
bool this_machine(PyObject* url, const UrlParts& parts) {
    char authority[300];
    const Py_ssize_t length = parts.authority_end - parts.authority_start;
    if (length <= 0 || length >= static_cast<Py_ssize_t>(sizeof authority)) return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(url, parts.authority_start + i);
        if (c == 0 || c >= 128) return false;
        authority[i] = static_cast<char>(c);
    }
    authority[length] = '\0';
    char* host = authority;
    char* port = nullptr;
    if (host[0] == '[') {
        char* close = std::strchr(host, ']');
        if (close == nullptr || (close[1] != '\0' && close[1] != ':')) return false;
        port = close[1] == ':' ? close + 2 : nullptr;
        *close = '\0';
        ++host;
    } else {
        char* colon = std::strchr(host, ':');
        if (colon != nullptr) {
            *colon = '\0';
            port = colon + 1;
        }
    }
    for (const char* digit = port; digit != nullptr && *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
    }
    if (authority[0] == '[') {
        struct in6_addr address;
        return inet_pton(AF_INET6, host, &address) == 1 &&
               std::memcmp(&address, &in6addr_loopback, sizeof address) == 0;
    }
    if (std::strlen(host) == 9) {
        bool localhost = true;
        for (int i = 0; i < 9; ++i) {
            const char c = host[i] >= 'A' && host[i] <= 'Z' ? host[i] + ('a' - 'A') : host[i];
            localhost = localhost && c == "localhost"[i];
        }
        if (localhost) return true;
    }
    unsigned char address[4];
    return inet_pton(AF_INET, host, address) == 1 && address[0] == 127;
}

// requests.exceptions.InvalidURL(message) raised; ValueError where requests
// cannot be imported.
void refuse(Ref message) {
    if (!message) return;
    Ref exceptions = import_module("requests.exceptions");
    Ref type = Ref::steal(exceptions ? PyObject_GetAttrString(exceptions.get(), "InvalidURL")
                                     : nullptr);
    if (!type) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return;
        }
        PyErr_Clear();
        type = Ref::borrow(PyExc_ValueError);
    }
    Ref error = call(type.get(), {message.get()});
    if (error) raise_object(error.get());
}

// The URL with everything before the last '@' of its authority replaced,
// so that no part of the user name or password shows.
Ref without_userinfo(PyObject* url, const UrlParts& parts) {
    Ref before = Ref::steal(PyUnicode_Substring(url, 0, parts.authority_start));
    Ref after = before ? Ref::steal(PyUnicode_Substring(url, parts.last_at + 1,
                                                        PyUnicode_GET_LENGTH(url)))
                       : Ref();
    if (!after) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%U***@%U", before.get(), after.get()));
}

// os.environ's TALVERO_INSECURE_TRANSPORT is non-empty: 1, 0, -1 on error.
// os.environ rather than getenv(), as for TALVERO_HTTP_TIMEOUT.
int insecure_allowed() {
    Ref os = import_module("os");
    Ref environ = os ? get_attr(os.get(), names.environ) : Ref();
    Ref get = environ ? get_attr(environ.get(), names.get) : Ref();
    Ref variable = get ? text(kInsecureVariable) : Ref();
    Ref value = variable ? call(get.get(), {variable.get()}) : Ref();
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// Hands the prepared request back: its headers stay as the module set them.
PyObject* leave_as_is(PyObject*, PyObject* prepared) {
    Py_INCREF(prepared);
    return prepared;
}

// Constant after static initialisation and never written, so every thread
// may read it without the lock.
PyMethodDef leave_as_is_method = {"headers_as_given", leave_as_is, METH_O, nullptr};

}  // namespace

bool transport_allowed(PyObject* url) {
    const UrlParts parts = parse(url);
    if (parts.last_at >= 0) {
        Ref shown = without_userinfo(url, parts);
        if (!shown) return false;
        refuse(Ref::steal(PyUnicode_FromFormat(
            "TALVERO_API_URL holds a user name or password before its host (%U): the "
            "account server takes the credentials of the secret file only, and a URL ends "
            "up in logs; remove the part up to '@'. Nothing was sent", shown.get())));
        return false;
    }
    if (parts.https || !parts.http) return true;  // other schemes: requests refuses them
    if (parts.slashes && this_machine(url, parts)) return true;
    const int allowed = insecure_allowed();
    if (allowed != 0) return allowed > 0;
    refuse(Ref::steal(PyUnicode_FromFormat(
        "TALVERO_API_URL is plain http to another machine (%U): the password or the token "
        "would cross the network unencrypted. Use https, or set %s to a non-empty value "
        "to send them in clear text anyway. Nothing was sent", url, kInsecureVariable)));
    return false;
}

Ref headers_as_given() {
    return Ref::steal(PyCFunction_NewEx(&leave_as_is_method, nullptr, nullptr));
}

}  // namespace vandrel
