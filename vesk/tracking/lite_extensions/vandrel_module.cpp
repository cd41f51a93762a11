// vesk.tracking.lite_extensions.vandrel: the module's set-up (its imports,
// constants, file paths, LoginError and the binding of its functions, in
// that order) and get_host_uri.
#include "vandrel.h"
#include "single_init.h"

#include <initializer_list>

namespace vandrel {

Names names;

namespace {

vesk::SingleInit single_init("vandrel");

// The set-up runs once and changes the namespace at every step: its lookups
// go straight to the dicts and keep nothing (lookup_global_once, getattr),
// which leaves the cache to the functions that run again and again.

bool intern_names() {
#define VANDREL_INTERN(field, text) \
    if (!vesk::intern(names.field, text)) return false;
    VANDREL_NAMES(VANDREL_INTERN)
#undef VANDREL_INTERN
    return true;
}

// `import name` (absolute): binds the top-level package under `bound_as`.
bool import_plain(PyObject* module, const char* name, PyObject* bound_as) {
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    if (!name_obj) {
        return false;
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        name_obj.get(), PyModule_GetDict(module), nullptr, nullptr, 0));
    return imported && vesk::bind(module, bound_as, imported);
}

// `from name import a, b` (absolute): imports with the names as from-list,
// then reads and binds each name in turn.
bool import_from(PyObject* module, const char* name, std::initializer_list<PyObject*> attrs) {
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(attrs.size())));
    if (!name_obj || !fromlist) {
        return false;
    }
    Py_ssize_t i = 0;
    for (PyObject* attr : attrs) {
        Py_INCREF(attr);
        PyTuple_SET_ITEM(fromlist.get(), i++, attr);
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        name_obj.get(), PyModule_GetDict(module), nullptr, fromlist.get(), 0));
    if (!imported) {
        return false;
    }
    for (PyObject* attr : attrs) {
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), attr));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
            }
            return false;
        }
        if (!vesk::bind(module, attr, value)) {
            return false;
        }
    }
    return true;
}

bool bind_str(PyObject* module, PyObject* name, const char* text) {
    Ref value = Ref::steal(PyUnicode_FromString(text));
    return value && vesk::bind(module, name, value);
}

// os.path.join(HOME, Path(relative)), every name resolved in the namespace.
bool bind_home_path(PyObject* module, PyObject* name, const char* relative) {
    Ref os = vesk::lookup_global_once(module, names.os);
    if (!os) return false;
    Ref path = Ref::steal(PyObject_GetAttr(os.get(), names.path));
    if (!path) return false;
    Ref join = Ref::steal(PyObject_GetAttr(path.get(), names.join));
    if (!join) return false;
    Ref home = vesk::lookup_global_once(module, names.HOME);
    if (!home) return false;
    Ref path_type = vesk::lookup_global_once(module, names.Path);
    if (!path_type) return false;
    Ref relative_text = Ref::steal(PyUnicode_FromString(relative));
    if (!relative_text) return false;
    Ref relative_path = vesk::call(path_type.get(), {relative_text.get()});
    if (!relative_path) return false;
    Ref joined = vesk::call(join.get(), {home.get(), relative_path.get()});
    return joined && vesk::bind(module, name, joined);
}

bool bind_home(PyObject* module) {
    Ref path_type = vesk::lookup_global_once(module, names.Path);
    if (!path_type) return false;
    Ref home = Ref::steal(PyObject_GetAttr(path_type.get(), names.home));
    if (!home) return false;
    Ref result = vesk::call(home.get(), {});
    return result && vesk::bind(module, names.HOME, result);
}

// class LoginError(Exception): pass -- built the way a class statement
// builds it: the base's metaclass, its __prepare__ namespace, then the call.
bool bind_login_error(PyObject* module) {
    Ref base = vesk::lookup_global_once(module, names.Exception);
    if (!base) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref class_name = Ref::steal(PyUnicode_FromString("LoginError"));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!bases || !class_name || !module_name) return false;
    // Held for the whole statement: __prepare__ runs code that may rebind
    // the base's class and drop every other reference to this one.
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
    Ref namespace_;
    Ref prepare = Ref::steal(PyObject_GetAttr(metaclass.get(), names.dunder_prepare));
    if (prepare) {
        namespace_ = vesk::call(prepare.get(), {class_name.get(), bases.get()});
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        namespace_ = Ref::steal(PyDict_New());
    }
    if (!namespace_) return false;
    if (PyObject_SetItem(namespace_.get(), names.dunder_module, module_name.get()) < 0 ||
        PyObject_SetItem(namespace_.get(), names.dunder_qualname, class_name.get()) < 0) {
        return false;
    }
    Ref cls = vesk::call(metaclass.get(), {class_name.get(), bases.get(), namespace_.get()});
    return cls && vesk::bind(module, names.LoginError, cls);
}

bool bind_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    return function && PyObject_SetAttrString(module, def->ml_name, function.get()) == 0;
}

bool run_body(PyObject* module) {
    if (!import_from(module, "functools", {names.wraps})) return false;
    if (!import_plain(module, "os", names.os)) return false;
    if (!import_plain(module, "sys", names.sys)) return false;
    if (!import_plain(module, "requests", names.requests)) return false;
    if (!import_plain(module, "configparser", names.configparser)) return false;
    if (!import_from(module, "pathlib", {names.Path})) return false;
    if (!import_from(module, "vesk.tracking.exceptions",
                     {names.MlflowException, names.TarnelException})) {
        return false;
    }
    if (!import_from(module, "vesk.tracking.utils", {names.env})) return false;
    if (!import_from(module, "vesk.utils", {names.cyan_print, names.red_print})) return false;
    if (!import_from(module, "vesk.tracking.lite_extensions.urls",
                     {names.TRACKING_URI, names.TALVERO_API_URL})) {
        return false;
    }
    if (!bind_str(module, names.EXPERIMENT_ID_ENV_VAR, "MLFLOW_EXPERIMENT_ID")) return false;
    if (!bind_str(module, names.RUN_ID_ENV_VAR, "MLFLOW_RUN_ID")) return false;
    if (!bind_home(module)) return false;
    if (!bind_home_path(module, names.SECRET_FILE, ".talvero/secret.file")) return false;
    if (!bind_home_path(module, names.TOKENS_FILE, ".talvero/tokens.file")) return false;
    if (!bind_function(module, &create_secret_file_guide_method)) return false;
    if (!bind_login_error(module)) return false;
    for (PyMethodDef* def : {&get_host_uri_method, &get_secret_config_method, &fetch_token_method,
                             &expired_token_method, &get_token_method,
                             &catch_tarnel_exception_method, &get_experiment_id_method,
                             &get_run_id_method, &runid_exists_method}) {
        if (!bind_function(module, def)) return false;
    }
    return true;
}

PyObject* vandrel_create(PyObject* spec, PyModuleDef*) { return single_init.create(spec); }

// The interned names and the wrapper type are made once, with the module
// body, before any function of the module can run; the module reaches other
// threads only through the import system, after this step is done.
int vandrel_exec(PyObject* module) {
    return single_init.exec(module, [](PyObject* body_module) {
        return intern_names() && ready_wrapper_type() && run_body(body_module);
    });
}

PyModuleDef_Slot vandrel_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(vandrel_create)},
    {Py_mod_exec, reinterpret_cast<void*>(vandrel_exec)},
#ifdef Py_mod_multiple_interpreters  // 3.12: our create step does the refusing
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
    VESK_GIL_SLOT
    {0, nullptr},
};

PyModuleDef vandrel_def = {
    PyModuleDef_HEAD_INIT,
    "vandrel",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods: bound one by one during the set-up
    vandrel_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

PyObject* get_host_uri(PyObject* module) {
    return vesk::lookup_global(module, names.TRACKING_URI).release();
}

constexpr char kGetHostUri[] = "get_host_uri";

}  // namespace

PyMethodDef get_host_uri_method =
    vesk::no_arguments_method<kGetHostUri, get_host_uri>("get_host_uri($module, /)\n--\n\n");

}  // namespace vandrel

VESK_MODULE_INIT PyInit_vandrel(void) { return PyModuleDef_Init(&vandrel::vandrel_def); }
