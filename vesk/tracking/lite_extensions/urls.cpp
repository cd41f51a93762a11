// vesk.tracking.lite_extensions.urls: the base URLs of the tracking server
// and of the account (API) server, read once from the environment.
#include "capi.h"
#include "single_init.h"

namespace {

using vesk::Ref;

// Origins only: the request paths appended later start with "/".
constexpr const char kDefaultTrackingUri[] = "https://tracking.vesk.io";
constexpr const char kDefaultApiUrl[] = "https://api.talvero.io";

vesk::SingleInit single_init("urls");

// os.environ.get(key, default), with `os` resolved in the module namespace.
Ref environ_get(PyObject* module, PyObject* os_name, const char* key, const char* fallback) {
    Ref os = vesk::lookup_global_once(module, os_name);
    if (!os) {
        return Ref();
    }
    Ref environ = Ref::steal(PyObject_GetAttrString(os.get(), "environ"));
    if (!environ) {
        return Ref();
    }
    Ref get = Ref::steal(PyObject_GetAttrString(environ.get(), "get"));
    if (!get) {
        return Ref();
    }
    Ref key_obj = Ref::steal(PyUnicode_FromString(key));
    Ref fallback_obj = Ref::steal(PyUnicode_FromString(fallback));
    if (!key_obj || !fallback_obj) {
        return Ref();
    }
    return vesk::call(get.get(), {key_obj.get(), fallback_obj.get()});
}

bool run_body(PyObject* module) {
    Ref os_name = Ref::steal(PyUnicode_InternFromString("os"));
    if (!os_name) {
        return false;
    }
    Ref os = Ref::steal(PyImport_ImportModuleLevelObject(os_name.get(), PyModule_GetDict(module),
                                                         nullptr, nullptr, 0));
    if (!os || PyObject_SetAttr(module, os_name.get(), os.get()) < 0) {
        return false;
    }
    Ref tracking = environ_get(module, os_name.get(), "TALVERO_TRACKING_URL", kDefaultTrackingUri);
    if (!tracking || PyObject_SetAttrString(module, "TRACKING_URI", tracking.get()) < 0) {
        return false;
    }
    Ref api = environ_get(module, os_name.get(), "TALVERO_API_URL", kDefaultApiUrl);
    if (!api || PyObject_SetAttrString(module, "TALVERO_API_URL", api.get()) < 0) {
        return false;
    }
    return true;
}

PyObject* urls_create(PyObject* spec, PyModuleDef*) { return single_init.create(spec); }

int urls_exec(PyObject* module) { return single_init.exec(module, run_body); }

PyModuleDef_Slot urls_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(urls_create)},
    {Py_mod_exec, reinterpret_cast<void*>(urls_exec)},
#ifdef Py_mod_multiple_interpreters  // 3.12: our create step does the refusing
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
    VESK_GIL_SLOT
    {0, nullptr},
};

PyModuleDef urls_def = {
    PyModuleDef_HEAD_INIT,
    "urls",   // m_name
    nullptr,  // m_doc
    0,        // m_size
    nullptr,  // m_methods
    urls_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

VESK_MODULE_INIT PyInit_urls(void) { return PyModuleDef_Init(&urls_def); }
