// Binding a vectorcall's arguments to a function's parameters, with the
// TypeErrors CPython gives for a call that does not fit the signature.
#pragma once

#include "signature.hpp"

namespace native {

// `parameter_names` are the interned names of definition.parameters, and
// `qualname` the function's qualified name as its messages give it. Fills
// `out` (defaults applied, conversions done) and returns true, or sets
// TypeError. A function with no parameters refuses arguments the way a
// built-in function registered as taking none does.
bool bind_arguments(const FunctionDef& definition, PyObject* qualname, PyObject* const* parameter_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) noexcept;

}  // namespace native
