/* Segment marks for callgrind, callable from Python.
 *
 * The peer benchmark's counting child calls zero() before and dump(label)
 * after each stretch of work it measures; under callgrind each dump writes
 * the instructions executed since the last zero or dump to a file of its
 * own, labelled. Outside valgrind every call does nothing.
 *
 * Plain C on the stable part of the C API, so it builds for every
 * interpreter the benchmark runs on (3.6 onwards). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>
#include <valgrind/valgrind.h>

static PyObject* marks_zero(PyObject* module, PyObject* unused) {
    (void)module;
    (void)unused;
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

static PyObject* marks_dump(PyObject* module, PyObject* label) {
    (void)module;
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL) {
        return NULL;
    }
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject* marks_running(PyObject* module, PyObject* unused) {
    (void)module;
    (void)unused;
    return PyBool_FromLong(RUNNING_ON_VALGRIND ? 1 : 0);
}

static PyMethodDef marks_methods[] = {
    {"zero", marks_zero, METH_NOARGS, "Zero callgrind's counters."},
    {"dump", marks_dump, METH_O, "Dump callgrind's counters under a label, then zero them."},
    {"running", marks_running, METH_NOARGS, "Whether the process runs under valgrind."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef marks_module = {
    PyModuleDef_HEAD_INIT, "callgrind_marks", NULL, -1, marks_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_callgrind_marks(void) { return PyModule_Create(&marks_module); }
