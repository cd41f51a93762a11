// The credentials and tokens of the account server: the secret file, the
// login and the tokens file, the token check, and get_token.
#include "vandrel.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

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
    PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
        error_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &error_, &traceback_);
#endif
    }
    ~PendingError() {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(error_);
#else
        PyErr_Restore(type_, error_, traceback_);
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* error_ = nullptr;
};

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
// TALVERO_HTTP_TIMEOUT is unset or empty. A server that has not accepted the
// connection within 10 s is down or unreachable; 60 s for the answer lets a
// loaded server serve a burst of training jobs logging in at once, while a
// silent one still fails the job within about a minute (README: Time-out).
constexpr double kDefaultConnectSeconds = 10.0;
constexpr double kDefaultReadSeconds = 60.0;
// The value that sends the requests without a time-out, as requests would.
const char kNoTimeout[] = "none";

// `text`, blanks around it ignored, spells `word` in any letter case.
bool spells(const char* text, const char* word) {
    const char* end = text + std::strlen(text);
    while (text < end && std::isspace(static_cast<unsigned char>(*text))) ++text;
    while (end > text && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
    for (; text < end && *word != '\0'; ++text, ++word) {
        if (std::tolower(static_cast<unsigned char>(*text)) != *word) return false;
    }
    return text == end && *word == '\0';
}

// value[start:stop] as a number of seconds, positive and finite; else
// ValueError quoting the variable's whole value.
Ref timeout_seconds(PyObject* value, Py_ssize_t start, Py_ssize_t stop) {
    Ref part = Ref::steal(PyUnicode_Substring(value, start, stop));
    if (!part) return Ref();
    Ref seconds = Ref::steal(PyFloat_FromString(part.get()));
    if (seconds && std::isfinite(PyFloat_AS_DOUBLE(seconds.get())) &&
        PyFloat_AS_DOUBLE(seconds.get()) > 0.0) {
        return seconds;
    }
    if (!seconds && !PyErr_ExceptionMatches(PyExc_ValueError)) return Ref();
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError,
                 "%s must be a positive finite number of seconds, two of them as "
                 "CONNECT,READ, or '%s', not %R",
                 kTimeoutVariable, kNoTimeout, value);
    return Ref();
}

// TALVERO_HTTP_TIMEOUT, read afresh for each request from the process
// environment (os.environ writes through to it):
//   unset or empty   the default (connect, read) pair above;
//   SECONDS          one number for both, as requests takes it;
//   CONNECT,READ     the pair;
//   none             no time-out: `timeout` stays empty and no timeout= is
//                    passed, so requests waits as long as the server does.
// Anything else is refused before a request is sent.
bool http_timeout(Ref& timeout) {
    const char* raw = std::getenv(kTimeoutVariable);
    if (raw == nullptr || raw[0] == '\0') {
        Ref connect = Ref::steal(PyFloat_FromDouble(kDefaultConnectSeconds));
        Ref read = Ref::steal(PyFloat_FromDouble(kDefaultReadSeconds));
        if (!connect || !read) return false;
        timeout = Ref::steal(PyTuple_Pack(2, connect.get(), read.get()));
        return static_cast<bool>(timeout);
    }
    if (spells(raw, kNoTimeout)) return true;
    // `raw` is not used past this point: code the interpreter may run while
    // allocating can change the environment and free it.
    Ref value = Ref::steal(PyUnicode_DecodeFSDefault(raw));
    if (!value) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.get());
    const Py_ssize_t comma = PyUnicode_FindChar(value.get(), ',', 0, length, 1);
    if (comma == -2) return false;
    if (comma == -1) {
        timeout = timeout_seconds(value.get(), 0, length);
        return static_cast<bool>(timeout);
    }
    Ref connect = timeout_seconds(value.get(), 0, comma);
    if (!connect) return false;
    Ref read = timeout_seconds(value.get(), comma + 1, length);
    if (!read) return false;
    timeout = Ref::steal(PyTuple_Pack(2, connect.get(), read.get()));
    return static_cast<bool>(timeout);
}

// requests.<method>(str(TALVERO_API_URL) + endpoint, <keyword>=value), plus
// timeout= when the environment sets one; the names are resolved in that
// order, at the time of the call.
Ref request(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* keyword,
            PyObject* value) {
    Ref requests = lookup_global(module, names.requests);
    if (!requests) return Ref();
    Ref function = get_attr(requests.get(), method);
    if (!function) return Ref();
    Ref url = api_url(module, endpoint);
    if (!url) return Ref();
    Ref timeout;
    if (!http_timeout(timeout)) return Ref();
    Ref kwnames = timeout ? Ref::steal(PyTuple_Pack(2, keyword, names.timeout))
                          : Ref::steal(PyTuple_Pack(1, keyword));
    if (!kwnames) return Ref();
    PyObject* const args[] = {url.get(), value, timeout.get()};
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
// encoding, as open(path, "w") would use), flushed and synced to disk. The
// file object owns the descriptor once it exists and is closed on every path.
bool write_synced(PyObject* module, PyObject* os, PyObject* config, PyObject* fd) {
    Ref open = lookup_global(module, names.open);
    Ref mode = text("w");
    Ref file = (open && mode) ? call(open.get(), {fd, mode.get()}) : Ref();
    if (!file) {
        PendingError pending;
        Ref close = get_attr(os, names.close);
        if (close) call(close.get(), {fd});
        return false;
    }
    bool written = false;
    {
        Ref write = get_attr(config, names.write);
        Ref result = write ? call(write.get(), {file.get()}) : Ref();
        Ref flush = result ? get_attr(file.get(), names.flush) : Ref();
        Ref flushed = flush ? call(flush.get(), {}) : Ref();
        Ref fileno = flushed ? get_attr(file.get(), names.fileno) : Ref();
        Ref number = fileno ? call(fileno.get(), {}) : Ref();
        Ref fsync = number ? get_attr(os, names.fsync) : Ref();
        written = fsync && call(fsync.get(), {number.get()});
    }
    if (!written) {
        PendingError pending;
        close_file(file.get());
        return false;
    }
    return close_file(file.get());
}

// Replaces the tokens file whole: the content goes to a new file of mode
// 0600 with an unpredictable name in the target's folder, is synced, and is
// then renamed over the target, so a reader sees the old file or the new
// one, never part of one. A symbolic link at TOKENS_FILE stays a link: its
// target is what gets replaced. On failure the temporary file is removed
// and the old tokens file is left as it was.
//
// The real os and tempfile modules do the work, not the module's `os`
// binding: the login does not otherwise use that name, and rebinding it
// to steer get_token must not change how the file is written.
bool write_tokens_file(PyObject* module, PyObject* config) {
    Ref os = import_module("os");
    if (!os) return false;
    Ref tempfile = import_module("tempfile");
    if (!tempfile) return false;
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

    Ref mkstemp = get_attr(tempfile.get(), names.mkstemp);
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref prefix = text(".tokens.");
    Ref suffix = text(".tmp");
    if (!mkstemp || !no_args || !kwargs || !prefix || !suffix ||
        PyDict_SetItem(kwargs.get(), names.dir, folder.get()) < 0 ||
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

    if (write_synced(module, os.get(), config, fd)) {
        Ref replace = get_attr(os.get(), names.replace);
        if (replace && call(replace.get(), {temporary, target.get()})) {
            return true;
        }
    }
    PendingError pending;
    Ref unlink = get_attr(os.get(), names.unlink);
    if (unlink) call(unlink.get(), {temporary});
    return false;
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
    Ref query = request(module, names.post, names.login_path, names.data, payload.get());
    if (!query) return nullptr;

    int status = refused(query.get());
    if (status < 0) return nullptr;
    if (status) {
        Ref login_error = lookup_global(module, names.LoginError);
        if (!login_error) return nullptr;
        Ref message = json_member(query.get(), names.message);
        if (!message) return nullptr;
        Ref error = call(login_error.get(), {message.get()});
        if (error) raise_object(error.get());
        return nullptr;
    }

    Ref config = new_parser(module);
    if (!config) return nullptr;
    Ref access = stored_token(json_member(query.get(), names.access_token));
    if (!access) return nullptr;
    Ref refresh = stored_token(json_member(query.get(), names.refresh_token));
    if (!refresh) return nullptr;
    Ref tokens = Ref::steal(PyDict_New());
    if (!tokens || PyDict_SetItem(tokens.get(), names.access_token, access.get()) < 0 ||
        PyDict_SetItem(tokens.get(), names.refresh_token, refresh.get()) < 0 ||
        PyObject_SetItem(config.get(), names.TOKENS, tokens.get()) < 0) {
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
    Ref query = request(module, names.get, names.authenticate_path, names.headers, headers.get());
    if (!query) return nullptr;
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
