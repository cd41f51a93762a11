// Helpers for the rest of the package: the exception-catching decorator and
// the run-context functions.
#include "vandrel.h"

namespace vandrel {
namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not available yet", name);
    return nullptr;
}

PyObject* catch_tarnel_exception(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_one_positional("catch_tarnel_exception", args, kwargs)) return nullptr;
    return not_yet("catch_tarnel_exception");
}

PyObject* get_experiment_id(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("_get_experiment_id", args, kwargs)) return nullptr;
    return not_yet("_get_experiment_id");
}

PyObject* get_run_id(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("_get_run_id", args, kwargs)) return nullptr;
    return not_yet("_get_run_id");
}

PyObject* runid_exists(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!vesk::check_no_arguments("_runid_exists", args, kwargs)) return nullptr;
    return not_yet("_runid_exists");
}

}  // namespace

bool prepare_decorator() { return true; }

PyMethodDef catch_tarnel_exception_method = {
    "catch_tarnel_exception", vesk::as_method(catch_tarnel_exception),
    METH_VARARGS | METH_KEYWORDS, "catch_tarnel_exception($module, func, /)\n--\n\n"};
PyMethodDef get_experiment_id_method = {"_get_experiment_id", vesk::as_method(get_experiment_id),
                                        METH_VARARGS | METH_KEYWORDS,
                                        "_get_experiment_id($module, /)\n--\n\n"};
PyMethodDef get_run_id_method = {"_get_run_id", vesk::as_method(get_run_id),
                                 METH_VARARGS | METH_KEYWORDS,
                                 "_get_run_id($module, /)\n--\n\n"};
PyMethodDef runid_exists_method = {"_runid_exists", vesk::as_method(runid_exists),
                                   METH_VARARGS | METH_KEYWORDS,
                                   "_runid_exists($module, /)\n--\n\n"};

}  // namespace vandrel
