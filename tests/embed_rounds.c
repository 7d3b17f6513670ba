/* An application that embeds CPython and runs it more than once: for each
   round, Py_Initialize, the script given (with ROUND set in __main__), then
   Py_FinalizeEx. The modules named after ROUNDS are imported after the
   script and kept, never released, as a careless application might. Exits
   non-zero at the first round whose script or finalisation fails.
   Usage: embed_rounds SCRIPT ROUNDS [MODULE...] */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s SCRIPT ROUNDS [MODULE...]\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[2]);
    for (int round = 1; round <= rounds; ++round) {
        FILE* script = fopen(argv[1], "r");
        if (!script) {
            perror(argv[1]);
            return 2;
        }
        Py_Initialize();
        char set_round[32];
        snprintf(set_round, sizeof set_round, "ROUND = %d", round);
        int failed = PyRun_SimpleString(set_round) != 0 || PyRun_SimpleFileEx(script, argv[1], 1) != 0;
        for (int kept = 3; kept < argc && !failed; ++kept) failed = PyImport_ImportModule(argv[kept]) == NULL;
        if (Py_FinalizeEx() < 0) failed = 1;
        if (failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        printf("round %d passed\n", round);
        fflush(stdout);
    }
    return 0;
}
