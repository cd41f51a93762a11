/* Starts and finalises the interpreter three times in one process, as some
   embedding programs do, running the code given as the first argument in
   each round. Exits 1 when a round's code fails or finalising fails. */
#include <Python.h>
#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CODE\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        int status = PyRun_SimpleString(argv[1]);
        fflush(stdout);
        if (Py_FinalizeEx() < 0 || status != 0) {
            return 1;
        }
    }
    return 0;
}
