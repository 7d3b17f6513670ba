/* An application that embeds CPython and runs it more than once: for each
   round, Py_Initialize, the script given (with ROUND set in __main__), then
   Py_FinalizeEx. What is named after ROUNDS is imported after the script
   and kept, never released, as a careless application might: a MODULE, or
   an attribute of one as MODULE:NAME (a function, say). "atexit" instead
   registers callbacks at the interpreter's end, as other extensions do.
   Exits non-zero at the first round whose script or finalisation fails.
   Usage: embed_rounds SCRIPT ROUNDS [MODULE | MODULE:NAME | atexit ...] */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void at_interpreter_end(void* data) { (void)data; }

/* Keeps what `name` names beyond the round; 0, or -1 with an error set. */
static int keep(const char* name) {
    if (strcmp(name, "atexit") == 0) {
        for (int i = 0; i < 3; ++i) {
#if PY_VERSION_HEX >= 0x030D0000
            if (PyUnstable_AtExit(PyInterpreterState_Get(), at_interpreter_end, NULL) < 0) return -1;
#else
            if (_Py_AtExit(PyInterpreterState_Get(), at_interpreter_end, NULL) < 0) return -1;
#endif
        }
        return 0;
    }
    char module_name[256];
    snprintf(module_name, sizeof module_name, "%s", name);
    char* attribute = strchr(module_name, ':');
    if (attribute) *attribute++ = '\0';
    PyObject* kept = PyImport_ImportModule(module_name);
    if (kept && attribute) kept = PyObject_GetAttrString(kept, attribute);
    return kept ? 0 : -1;
}

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
        for (int kept = 3; kept < argc && !failed; ++kept) failed = keep(argv[kept]) < 0;
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
