#include "python.hpp"

#include "free_threading.hpp"

#include <frameobject.h>  // PyFrame_New, for traceback entries

namespace native {

Ref load_global(PyObject* globals, PyObject* name) noexcept {
    if (Ref value = dict_item(globals, name)) return value;
    if (PyErr_Occurred()) return {};
    if (Ref value = dict_item(PyEval_GetBuiltins(), name)) return value;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

bool swallow(PyObject* type) noexcept {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

Ref import_module(PyObject* module_name) noexcept {
    return Ref::steal(PyImport_Import(module_name));
}

Ref import_from(PyObject* module_name, PyObject* name) noexcept {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!fromlist) return {};
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, fromlist.get(), 0));
    if (!module) return {};
    Ref value = get_attr(module.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref path = Ref::steal(PyModule_GetFilenameObject(module.get()));
    if (!path) PyErr_Clear();
    Ref message = Ref::steal(
        path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, module_name, path.get())
             : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                    module_name));
    if (message) PyErr_SetImportError(message.get(), module_name, path.get());
    return {};
}

namespace {

// The type's __name__, for messages.
Ref type_name(PyObject* object) noexcept {
    return Ref::steal(PyType_GetName(Py_TYPE(object)));
}

// exception.add_note(text); false, with an error set, when that fails.
bool attach_note(PyObject* exception, const char* text) noexcept {
    Ref method = Ref::steal(PyUnicode_InternFromString("add_note"));
    if (!method) return false;
    Ref note = Ref::steal(PyUnicode_FromString(text));
    if (!note) return false;
    return static_cast<bool>(call_method(exception, method.get(), note.get()));
}

}  // namespace

void add_note(const char* text) noexcept {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    // A failure to attach the note must not replace the exception it explains.
    attach_note(exception.get(), text);
    PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
}

bool check_argument_type(PyObject* value, PyTypeObject* expected, PyObject* parameter) noexcept {
    if (Py_IS_TYPE(value, expected)) return true;
    Ref got = type_name(value);
    if (!got) return false;
    // %U of ready-made str objects: far cheaper than decoding %s arguments.
    PyErr_Format(PyExc_TypeError, "Argument '%.200U' has incorrect type (expected %.200s, got %.200U)",
                 parameter, expected->tp_name, got.get());
    if (PyObject_TypeCheck(value, expected)) {
        add_note("Instances of subclasses of built-in types are rejected here; "
                 "pass an exact built-in instance instead (for example str(value)).");
    }
    return false;
}

Ref refuse_return_value(PyObject* value) noexcept {
    Ref got = type_name(value);
    if (got) PyErr_Format(PyExc_TypeError, "Expected %s, got %.200U", "str", got.get());
    return {};
}

Ref make_traceback_frame(PyObject* function, const char* qualname, int line) noexcept {
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    Ref dunder_name = Ref::steal(PyUnicode_InternFromString("__name__"));
    Ref module_name = dunder_name ? dict_item(globals, dunder_name.get()) : Ref();
    if (!module_name || !PyUnicode_Check(module_name.get())) return {};
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name.get(), qualname));
    if (!full_name) return {};
    const char* full_name_text = PyUnicode_AsUTF8(full_name.get());
    if (!full_name_text) return {};
    PyObject* source = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_filename;
    const char* source_text = PyUnicode_AsUTF8(source);
    if (!source_text) return {};
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_text, full_name_text, line)));
    if (!code) return {};
    return Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

void add_traceback(PyObject* frame) noexcept {
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

}  // namespace native
