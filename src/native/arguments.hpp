// Binding a vectorcall's arguments to a function's parameters.
#pragma once

#include "signature.hpp"

namespace native {

enum class Binding {
    Bound,   // `out` holds the arguments, defaults applied, conversions done
    Misfit,  // the call does not fit the signature; no error is set
    Failed,  // a conversion, or a keyword's comparison, failed; its error is set, and `out.line` says where
};

// `parameter_names` is a tuple whose first items are the interned names of
// the parameters, or NULL; keywords are compared with them by identity
// first, then by value.
Binding bind_arguments(const FunctionDef& definition, PyObject* parameter_names, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Call& out) noexcept;

// The TypeError of a call that does not fit the signature of `function`, a
// Python function: CPython binds the call against the function's own code,
// so its messages are a Python function's, on every version.
PyObject* refuse_misfit(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// The TypeError of a call with arguments to a function that takes none, as a
// built-in function registered as taking no arguments gives it.
PyObject* refuse_any_arguments(const FunctionDef& definition, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace native
