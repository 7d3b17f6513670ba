// A native function that behaves like a Python function: it binds to
// instances as a method, takes the fast method-call path, and carries the
// attributes that introspection, typing, pickling and mocking rely on.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace native {

enum class ParameterKind { PositionalOnly, PositionalOrKeyword, KeywordOnly };

// What the call does to an argument before the body runs.
enum class Conversion {
    None,      // passed through untouched
    ExactStr,  // must be exactly a `str`
    Truth,     // reduced to Py_True / Py_False by a truth test
};

struct Parameter {
    const char* name;
    const char* annotation = nullptr;  // stored as a string; nullptr: none
    ParameterKind kind = ParameterKind::PositionalOrKeyword;
    Conversion conversion = Conversion::None;
    // A keyword-only default: used by calls that omit the argument and shown
    // in __kwdefaults__. Must be an immortal object (False, None, ...).
    PyObject* default_value = nullptr;
};

inline constexpr std::size_t kMaxParameters = 6;

// The arguments of one call, in parameter order; borrowed from the caller.
struct Arguments {
    PyObject* values[kMaxParameters];
    PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
};

// A function body: returns a new reference, or an empty Ref with an error set.
using Body = Ref (*)(const Arguments& arguments, PyObject* globals);
// A shortcut answers a call without calling out to anything (hence without
// the recursion guard): a new reference, or NULL, never with an error set,
// to leave the call to the body.
using Shortcut = PyObject* (*)() noexcept;

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc;
    const Parameter* parameters;
    std::size_t parameter_count;
    const char* return_annotation;  // "str" also turns on the return check
    Body body;
    int line;  // where the body is defined, for traceback entries
    Shortcut shortcut = nullptr;  // only for functions without parameters
};

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
