// A native function that behaves like a Python function: it binds to
// instances as a method, takes the fast method-call path, and carries the
// attributes that introspection, typing, pickling and mocking rely on.
#pragma once

#include "signature.hpp"

namespace native {

// Where the functions of one module live: its globals, its dotted name and
// the source file named in traceback entries.
struct ModuleContext {
    PyObject* globals;
    PyObject* name;
    const char* filename;
};

// Makes a new function object for `definition`, which must outlive it.
Ref make_function(const FunctionDef& definition, const ModuleContext& module) noexcept;

}  // namespace native
