// The run-context functions: the experiment and run identifiers of the
// environment, and whether a run identifier is set.
#include "vandrel.h"

namespace vandrel {
namespace {

// env.get_env(<constant named `constant`>), every name resolved afresh.
PyObject* env_value(PyObject* module, PyObject* constant) {
    Ref env = vesk::lookup_global(module, names.env);
    if (!env) return nullptr;
    Ref get_env = vesk::get_attr(env.get(), names.get_env);
    if (!get_env) return nullptr;
    Ref variable = vesk::lookup_global(module, constant);
    if (!variable) return nullptr;
    return vesk::call(get_env.get(), {variable.get()}).release();
}

PyObject* get_experiment_id(PyObject* module) {
    return env_value(module, names.EXPERIMENT_ID_ENV_VAR);
}

PyObject* get_run_id(PyObject* module) {
    return env_value(module, names.RUN_ID_ENV_VAR);
}

// _RUN_ID_ENV_VAR in os.environ: presence of the key only.
PyObject* runid_exists(PyObject* module) {
    Ref variable = vesk::lookup_global(module, names.RUN_ID_ENV_VAR);
    if (!variable) return nullptr;
    Ref os = vesk::lookup_global(module, names.os);
    if (!os) return nullptr;
    Ref environ = vesk::get_attr(os.get(), names.environ);
    if (!environ) return nullptr;
    int present = PySequence_Contains(environ.get(), variable.get());
    if (present < 0) return nullptr;
    return PyBool_FromLong(present);
}

constexpr char kGetExperimentId[] = "_get_experiment_id";
constexpr char kGetRunId[] = "_get_run_id";
constexpr char kRunidExists[] = "_runid_exists";

}  // namespace

PyMethodDef get_experiment_id_method =
    vesk::no_arguments_method<kGetExperimentId, get_experiment_id>(
        "_get_experiment_id($module, /)\n--\n\n");
PyMethodDef get_run_id_method =
    vesk::no_arguments_method<kGetRunId, get_run_id>("_get_run_id($module, /)\n--\n\n");
PyMethodDef runid_exists_method =
    vesk::no_arguments_method<kRunidExists, runid_exists>("_runid_exists($module, /)\n--\n\n");

}  // namespace vandrel
