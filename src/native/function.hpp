// Genuine Python functions (types.FunctionType) whose calls run C++:
// CPython owns their attributes, setters, audit events, __dict__, weak
// references, pickling and life; the layer binds the arguments, runs the
// body, checks a `str` result and adds the traceback entry.
#pragma once

#include "module.hpp"
#include "signature.hpp"

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 every Python function has __annotate__ (deferred annotations).
#define NATIVE_DEFERRED_ANNOTATIONS 1
#endif

namespace native {

// A call of `function`, made from `definition` in `module`, that no
// shortcut answered.
PyObject* call_function(Module& module, const FunctionDef& definition, PyObject* function, PyObject* const* args,
                        size_t nargsf, PyObject* kwnames) noexcept;

#ifdef NATIVE_DEFERRED_ANNOTATIONS
// A call of the __annotate__ of the function made from `definition`.
PyObject* call_annotate(const FunctionDef& definition, PyObject* annotate, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept;

template <const FunctionDef& definition>
PyObject* annotate_vectorcall(PyObject* annotate, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return call_annotate(definition, annotate, args, nargsf, kwnames);
}

// The __annotate__ of what `definition` describes: a function, or a class
// whose annotated fields are its parameters. It is named as Python names it
// ("Cls.meth.__annotate__", "Cls.__annotate__") and placed at its line.
Ref make_annotate(const ModuleScope& scope, const FunctionDef& definition, vectorcallfunc vectorcall) noexcept;

template <const FunctionDef& definition>
Ref define_annotate(const ModuleScope& scope) noexcept {
    return make_annotate(scope, definition, annotate_vectorcall<definition>);
}
#endif

// The function for `definition` in `scope`, called through `vectorcall`
// (and, from 3.14, its __annotate__ through `annotate_vectorcall`).
Ref make_function(Module& module, const ModuleScope& scope, const FunctionDef& definition,
                  vectorcallfunc vectorcall, vectorcallfunc annotate_vectorcall) noexcept;

template <Module& module, const FunctionDef& definition>
PyObject* vectorcall(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    // A shortcut reads only cached globals, which answer nothing once the
    // module is released. Tested here, it costs other functions nothing.
    if (definition.shortcut && PyVectorcall_NARGS(nargsf) == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        if (PyObject* answer = definition.shortcut(PyFunction_GET_GLOBALS(function))) return answer;
    }
    return call_function(module, definition, function, args, nargsf, kwnames);
}

// The function of `module` made from `definition`, as a `def` statement
// in the module's body makes it.
template <Module& module, const FunctionDef& definition>
Ref define(const ModuleScope& scope) noexcept {
#ifdef NATIVE_DEFERRED_ANNOTATIONS
    return make_function(module, scope, definition, vectorcall<module, definition>,
                         annotate_vectorcall<definition>);
#else
    return make_function(module, scope, definition, vectorcall<module, definition>, nullptr);
#endif
}

}  // namespace native
