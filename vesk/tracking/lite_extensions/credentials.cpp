// The credentials and tokens functions of the module: the secret file
// (create_secret_file_guide, get_secret_config), the login (fetch_token),
// the token check (expired_token) and get_token, in that order.
#include "account_exchange.h"
#include "ini_reading.h"
#include "shared_helpers.h"
#include "storable_tokens.h"
#include "tokens_file.h"

namespace vandrel {
namespace {

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
    Ref config = new_ini_parser(module);
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
    IniDocument secret{module, names.SECRET_FILE, std::move(config), Ref(), Ref()};
    if (!read_ini(module, names.SECRET_FILE, secret)) return nullptr;
    return secret.parser.release();
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

    Ref config = new_ini_parser(module);
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
    const IniDocument written{module, names.TOKENS_FILE, std::move(config), Ref(), Ref()};
    return ini_value(written, names.TOKENS, names.access_token).release();
}

// The access token of a fresh read of the tokens file; null with its
// exception set when the file cannot give one.
Ref read_access_token(PyObject* module) {
    IniDocument ftoken{module, names.TOKENS_FILE, new_ini_parser(module), Ref(), Ref()};
    if (!ftoken.parser || !read_ini(module, names.TOKENS_FILE, ftoken)) return Ref();
    return ini_value(ftoken, names.TOKENS, names.access_token);
}

// The cached access token, or null: with no exception when the tokens file
// cannot give one (`unusable`), with the exception of anything else.
Ref cached_access_token(PyObject* module, bool& unusable) {
    Ref token = read_access_token(module);
    unusable = !token && unusable_file_error();
    if (unusable) PyErr_Clear();
    return token;
}

PyObject* expired_token(PyObject* module) {
    Ref token = read_access_token(module);
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

// A tokens file that cannot give an access token (empty, broken, not a
// regular file, too large) is no cached token: the login replaces it,
// where reading it would otherwise fail every call until it is removed.
PyObject* get_token(PyObject* module) {
    Ref secret_config = lookup_global(module, names.get_secret_config);
    if (!secret_config) return nullptr;
    const IniDocument config{module, names.SECRET_FILE, call(secret_config.get(), {}), Ref(),
                             Ref()};
    if (!config.parser) return nullptr;
    Ref email = ini_value(config, names.secret, names.email);
    if (!email) return nullptr;
    Ref password = ini_value(config, names.secret, names.password);
    if (!password) return nullptr;

    int present = path_test(module, names.exists, names.TOKENS_FILE);
    if (present < 0) return nullptr;
    bool login = !present;
    if (present) {
        bool unusable = false;
        if (!cached_access_token(module, unusable) && !unusable) return nullptr;
        login = unusable;
    }
    if (!login) {
        Ref check = lookup_global(module, names.expired_token);
        if (!check) return nullptr;
        Ref expired = call(check.get(), {});
        if (!expired) return nullptr;
        const int verdict = PyObject_IsTrue(expired.get());
        if (verdict < 0) return nullptr;
        login = verdict != 0;
    }
    if (!login) {
        bool unusable = false;
        Ref token = cached_access_token(module, unusable);
        if (token || !unusable) return token.release();
    }
    Ref fetch = lookup_global(module, names.fetch_token);
    if (!fetch) return nullptr;
    return call(fetch.get(), {email.get(), password.get()}).release();
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
