// A native function that behaves like a Python function: it binds to
// instances as a method, takes the fast method-call path, and carries the
// attributes that introspection, typing, pickling and mocking rely on.
#pragma once

#include "module.hpp"
#include "signature.hpp"

namespace native {

// Where the functions of one module live: the module object, which each
// function keeps alive, its globals, its dotted name, the source file named
// in traceback entries, and the guard that tells whether the module is still
// in service.
struct ModuleContext {
    PyObject* module;
    PyObject* globals;
    PyObject* name;
    const char* filename;
    const ModuleGuard* guard;
};

// Makes a new function object for `definition`, which must outlive it.
Ref make_function(const FunctionDef& definition, const ModuleContext& module) noexcept;

// Drops the function type; the next function made makes it again.
void release_function_type() noexcept;

}  // namespace native
