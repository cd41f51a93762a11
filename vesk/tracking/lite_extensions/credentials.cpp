// The credentials and tokens of the account server: the secret file, the
// login and the tokens file, the token check, and get_token.
#include "vandrel.h"

namespace vandrel {
namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not available yet", name);
    return nullptr;
}

PyObject* create_secret_file_guide(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("create_secret_file_guide", args, kwargs)) return nullptr;
    return not_yet("create_secret_file_guide");
}

PyObject* get_secret_config(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("get_secret_config", args, kwargs)) return nullptr;
    return not_yet("get_secret_config");
}

PyObject* fetch_token(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* email = nullptr;
    PyObject* password = nullptr;
    if (!vesk::parse_two_arguments("fetch_token", args, kwargs, "email", "password", &email,
                                   &password)) {
        return nullptr;
    }
    return not_yet("fetch_token");
}

PyObject* expired_token(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("expired_token", args, kwargs)) return nullptr;
    return not_yet("expired_token");
}

PyObject* get_token(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("get_token", args, kwargs)) return nullptr;
    return not_yet("get_token");
}

}  // namespace

PyMethodDef create_secret_file_guide_method = {
    "create_secret_file_guide", vesk::as_method(create_secret_file_guide),
    METH_VARARGS | METH_KEYWORDS, "create_secret_file_guide($module, /)\n--\n\n"};
PyMethodDef get_secret_config_method = {"get_secret_config", vesk::as_method(get_secret_config),
                                        METH_VARARGS | METH_KEYWORDS,
                                        "get_secret_config($module, /)\n--\n\n"};
PyMethodDef fetch_token_method = {"fetch_token", vesk::as_method(fetch_token),
                                  METH_VARARGS | METH_KEYWORDS,
                                  "fetch_token($module, /, email, password)\n--\n\n"};
PyMethodDef expired_token_method = {"expired_token", vesk::as_method(expired_token),
                                    METH_VARARGS | METH_KEYWORDS,
                                    "expired_token($module, /)\n--\n\n"};
PyMethodDef get_token_method = {"get_token", vesk::as_method(get_token),
                                METH_VARARGS | METH_KEYWORDS, "get_token($module, /)\n--\n\n"};

}  // namespace vandrel
