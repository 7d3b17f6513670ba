// Small helpers over the C API. Errors follow one rule throughout: a helper
// that fails leaves a Python exception set and returns an empty Ref, -1 or
// false; callers check and return at once. The layer is built without C++
// exceptions, so none can ever unwind into the interpreter.
#pragma once

#include "ref.hpp"

namespace native {

// Reads a global as Python code does: the module namespace, then builtins.
Ref load_global(PyObject* globals, PyObject* name) noexcept;

inline Ref get_attr(PyObject* object, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(object, name));
}

// Python truth test: 1, 0, or -1 with an error set.
inline int truth(PyObject* object) noexcept { return PyObject_IsTrue(object); }
// The truth value of a call's result; -1 also when the call itself failed.
inline int truth_of(const Ref& value) noexcept { return value ? truth(value.get()) : -1; }

// A tuple of strings (or None) can hold no cycle: the collector would
// untrack it at its first pass over it. Untracked at once, no pass visits
// it, shutdown's included.
inline Ref untracked(Ref tuple) noexcept {
    if (tuple) PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

// Calls `callable(*positional)`. The spare slot in front of the arguments
// lets CPython prepend a bound `self` without copying.
template <typename... Args>
Ref call(PyObject* callable, Args... positional) noexcept {
    PyObject* stack[] = {nullptr, positional...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(*positional, **keywords)`: the trailing values are the
// keyword values, named in order by the tuple `kwnames`.
template <typename... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... values) noexcept {
    PyObject* stack[] = {nullptr, values...};
    const size_t positional = sizeof...(Args) - PyTuple_GET_SIZE(kwnames);
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Calls `self.name(*positional)` without making a bound method.
template <typename... Args>
Ref call_method(PyObject* self, PyObject* name, Args... positional) noexcept {
    PyObject* stack[] = {nullptr, self, positional...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `self.name(*positional, **keywords)`, keywords as in call_kw.
template <typename... Args>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, Args... values) noexcept {
    PyObject* stack[] = {nullptr, self, values...};
    const size_t positional = 1 + sizeof...(Args) - PyTuple_GET_SIZE(kwnames);
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// True when the pending exception is an instance of `type`; then clears it.
bool swallow(PyObject* type) noexcept;

// Attaches a note to the pending exception (BaseException.add_note); the
// exception stays pending even when the note cannot be attached.
void add_note(const char* text) noexcept;

// `from module import name`, with Python's ImportError when it is missing.
Ref import_from(PyObject* module_name, PyObject* name) noexcept;
// `import module`.
Ref import_module(PyObject* module_name) noexcept;

// The exact-type check made on arguments annotated with a built-in type.
// `parameter` is the parameter's name as a str.
bool check_argument_type(PyObject* value, PyTypeObject* expected, PyObject* parameter) noexcept;
// The TypeError for a value that a function annotated to return `str` may
// not return.
Ref refuse_return_value(PyObject* value) noexcept;
// The check made on the value of a function annotated to return `str`:
// an exact `str` or None passes through, anything else is a TypeError.
inline Ref check_return_str(Ref value) noexcept {
    if (!value || PyUnicode_CheckExact(value.get()) || value.get() == Py_None) return value;
    return refuse_return_value(value.get());
}

// A frame that never runs, for the traceback entries of `function`: its
// code is named with the full dotted path ("pkg.mod.Class.method") and
// placed at `line` of the function's source file.
Ref make_traceback_frame(PyObject* function, const char* qualname, int line) noexcept;
// Adds a traceback entry for that frame to the pending exception.
void add_traceback(PyObject* frame) noexcept;

}  // namespace native
