#include "function.hpp"

#include "arguments.hpp"
#include "names.hpp"
#include "portability.hpp"
#include "python.hpp"

#include <structmember.h>  // T_OBJECT: None when unset, as func.__doc__

#include <cstring>

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 every Python function has __annotate__ (deferred annotations).
#define NATIVE_DEFERRED_ANNOTATIONS 1
#endif

namespace native {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* definition;
    const ModuleGuard* guard;
    bool checks_str_return;
    PyObject* name;
    PyObject* qualname;
    PyObject* call_name;  // the qualified name as made, for call errors (CPython's co_qualname)
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // after `del`, a new empty dict on access, as for Python functions
    PyObject* annotate;     // 3.14+: what __annotate__ gives; NULL reads as None
    // The definition's annotations (3.14+: its __annotate__) are made on
    // first read, for the same reason as the code object below.
    bool annotations_pending;
    const FunctionDef* annotated;  // for an __annotate__ function: whose annotations it makes
    PyObject* kwdefaults;   // shown to introspection only; calls use Parameter defaults
    PyObject* defaults;
    PyObject* type_params;
    PyObject* globals;
    PyObject* builtins;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* module_object;  // kept alive while the function is, as its names are
    PyObject* module_name;  // as at definition, for traceback entries
    const char* filename;
    int line;
    // Made on first use: few callers read them, and every process would
    // otherwise pay for them at import.
    PyObject* code;  // what inspect reads: names, signature, source location
    PyObject* frame;  // the frame of traceback entries, named with the full dotted path
    PyObject* parameter_names[kMaxParameters];  // interned
};

FunctionObject* as_function(PyObject* object) noexcept {
    return reinterpret_cast<FunctionObject*>(object);
}

// One type per interpreter (the module admits a single one at a time),
// made with the first function, and how many functions it has.
PyTypeObject* function_type_object = nullptr;
Py_ssize_t live_functions = 0;

Ref make_code(const FunctionObject& function) noexcept;
Ref make_frame(const FunctionObject& function) noexcept;
Ref make_annotations(const FunctionDef& definition) noexcept;
#ifdef NATIVE_DEFERRED_ANNOTATIONS
PyObject* make_annotate(const FunctionDef& annotated, PyObject* qualname, const ModuleContext& module) noexcept;
#endif

// Marks the pending exception with this function's traceback entry. The
// frame is made the first time; if even that fails, the exception goes on
// without the entry.
NATIVE_NOINLINE void add_traceback_entry(FunctionObject* function) noexcept {
    if (!function->frame) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        function->frame = make_frame(*function).release();
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
        if (!function->frame) return;
    }
    add_traceback(function->frame);
}

// The result of a call as it leaves: checked if the function returns `str`,
// and any failure marked with this function's traceback entry.
inline PyObject* finish_call(FunctionObject* function, Ref result) noexcept {
    if (function->checks_str_return) result = check_return_str(std::move(result));
    if (!result) add_traceback_entry(function);
    return result.release();
}

// A call that arrives after the module's interpreter released what the
// bodies use (from a finalizer late in shutdown, say).
NATIVE_NOINLINE PyObject* refuse_released(FunctionObject* function) noexcept {
    PyErr_Format(PyExc_RuntimeError, "%U.%U() was called after its module was finalised", function->module_name,
                 function->call_name);
    return nullptr;
}

// Any call but a shortcut's answer: binding, the recursion guard, the body.
NATIVE_NOINLINE PyObject* call_body(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    const FunctionDef& definition = *function->definition;
    Arguments arguments;
    if (!bind_arguments(definition, function->call_name, function->parameter_names, args, nargs, kwnames,
                        arguments)) {
        return finish_call(function, Ref());
    }
    // Methods call one another through `self`, so an override can make
    // native code recurse without a Python frame in between.
    if (Py_EnterRecursiveCall(" while calling a native function")) return finish_call(function, Ref());
    Ref result = definition.body(arguments);
    Py_LeaveRecursiveCall();
    return finish_call(function, std::move(result));
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool no_arguments = nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0);
    // A shortcut reads only watched globals, which answer nothing once the
    // module is released; a body needs the module in service.
    if (function->definition->shortcut && no_arguments) {
        if (PyObject* answer = function->definition->shortcut()) return finish_call(function, Ref::steal(answer));
    }
    if (!function->guard->in_service()) return refuse_released(function);
    return call_body(function, args, nargs, kwnames);
}

// Bound like a Python function: unbound from the class, a method from an
// instance. Calls through an instance skip this, given METHOD_DESCRIPTOR.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickle and copy look the function up again by its qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->annotations);
    Py_VISIT(function->annotate);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->defaults);
    Py_VISIT(function->type_params);
    Py_VISIT(function->globals);
    Py_VISIT(function->builtins);
    Py_VISIT(function->dict);
    Py_VISIT(function->module_object);
    Py_VISIT(function->code);
    Py_VISIT(function->frame);
    return 0;
}

// Clears what may hold a cycle back to the function. Name, qualified name,
// code, frame, globals and module stay until deallocation, so that a call
// made while the collector tears a cycle down (from a finalizer) still finds
// them: the globals dictionary breaks any cycle through them by clearing
// itself.
int function_clear(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->annotate);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->type_params);
    Py_CLEAR(function->builtins);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->call_name);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->frame);
    Py_CLEAR(function->module_name);
    for (PyObject*& name : function->parameter_names) Py_CLEAR(name);
    // Last: freeing the module may release the type (this object still
    // holds it) and the names above.
    --live_functions;
    Py_CLEAR(function->module_object);
    type->tp_free(self);
    Py_DECREF(type);
}

// Setters mirror those of Python functions, messages included.
int set_str(PyObject** slot, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_optional(PyObject** slot, PyObject* value, int (*check)(PyObject*), const char* message) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

// As set_optional, for the attributes whose changes Python functions report
// to audit hooks, and in the same order: "object.__setattr__" for a value, "object.__delattr__" for
// None or `del`, once the value has passed the type check.
int set_audited(PyObject* self, PyObject** slot, PyObject* value, int (*check)(PyObject*), const char* message,
                const char* attribute) noexcept {
    const bool removing = value == nullptr || value == Py_None;
    if (!removing && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    const int audited = removing ? PySys_Audit("object.__delattr__", "Os", self, attribute)
                                 : PySys_Audit("object.__setattr__", "OsO", self, attribute, value);
    if (audited < 0) return -1;
    Py_XSETREF(*slot, removing ? nullptr : Py_NewRef(value));
    return 0;
}

int is_dict(PyObject* value) { return PyDict_Check(value); }
int is_tuple(PyObject* value) { return PyTuple_Check(value); }

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str(&as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str(&as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

// As a Python function's: the dict made on first access, by calling
// __annotate__(1) when there is one (3.14+), else from the definition, else
// a new empty dict.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (!function->annotations && function->annotate) {
        Ref value_format = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
        if (!value_format) return nullptr;
        Ref made = call(function->annotate, value_format.get());
        if (!made) return nullptr;
        if (!PyDict_Check(made.get())) {
#if PY_VERSION_HEX >= 0x030F0000  // CPython's own wording changed in 3.15
            PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", made.get());
#else
            PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                         Py_TYPE(made.get())->tp_name);
#endif
            return nullptr;
        }
        function->annotations = made.release();
    }
    // What the definition's own __annotate__, not made yet, would answer.
    if (!function->annotations && function->annotations_pending) {
        function->annotations = make_annotations(*function->definition).release();
        if (!function->annotations) return nullptr;
    }
    if (!function->annotations) function->annotations = PyDict_New();
    return Py_XNewRef(function->annotations);
}
// None or `del` clears them; from 3.14 any assignment also ends __annotate__.
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (set_optional(&function->annotations, value, is_dict, "__annotations__ must be set to a dict object") < 0) {
        return -1;
    }
    Py_CLEAR(function->annotate);
    function->annotations_pending = false;
    return 0;
}

#ifdef NATIVE_DEFERRED_ANNOTATIONS
PyObject* get_annotate(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotations_pending) {
        const ModuleContext module = {function->module_object, function->globals, function->module_name,
                                      function->filename, function->guard};
        function->annotate = make_annotate(*function->definition, function->call_name, module);
        if (!function->annotate) return nullptr;
        function->annotations_pending = false;
    }
    PyObject* value = function->annotate;
    return Py_NewRef(value ? value : Py_None);
}
// None keeps the annotations already made; a new callable drops them.
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    function->annotations_pending = false;
    if (value == Py_None) {
        Py_CLEAR(function->annotate);
        return 0;
    }
    Py_XSETREF(function->annotate, Py_NewRef(value));
    Py_CLEAR(function->annotations);
    return 0;
}
#endif

// Reads that Python functions report to audit hooks.
bool audit_read(PyObject* self, const char* attribute) noexcept {
    return PySys_Audit("object.__getattr__", "Os", self, attribute) == 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    if (!audit_read(self, "__kwdefaults__")) return nullptr;
    PyObject* value = as_function(self)->kwdefaults;
    return Py_NewRef(value ? value : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_audited(self, &as_function(self)->kwdefaults, value, is_dict,
                       "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    if (!audit_read(self, "__defaults__")) return nullptr;
    PyObject* value = as_function(self)->defaults;
    return Py_NewRef(value ? value : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_audited(self, &as_function(self)->defaults, value, is_tuple,
                       "__defaults__ must be set to a tuple object", "__defaults__");
}

PyObject* get_type_params(PyObject* self, void*) noexcept {
    PyObject* value = as_function(self)->type_params;
    return value ? Py_NewRef(value) : PyTuple_New(0);
}
int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) noexcept {
    if (!audit_read(self, "__code__")) return nullptr;
    FunctionObject* function = as_function(self);
    if (!function->code) function->code = make_code(*function).release();
    return Py_XNewRef(function->code);
}

// What the standard library asks before treating an object as a Python
// function (inspect.isfunction, mock's autospec, functools.wraps): like a
// transparent proxy, the object answers as types.FunctionType to isinstance,
// while its own type, and so every call, stays native.
PyObject* get_class(PyObject*, void*) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type));
}

// A native body captures no variables.
PyObject* get_closure(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

PyGetSetDef function_getset[] = {
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#ifdef NATIVE_DEFERRED_ANNOTATIONS
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// Immutable, so no one can reassign __call__ and lose the fast path.
PyType_Spec function_type_spec = {
    "native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The parts of the type that only the type refers to: its namespace, the
// descriptors in it, and its MRO. None can take part in a cycle but the one
// through the type itself, which release_function_type breaks, so the
// collector is spared visiting them on every pass (a Python function's type
// is static and costs it nothing).
void set_parts_tracked(PyTypeObject* type, bool tracked) noexcept {
    auto set = [tracked](PyObject* part) {
        if (!PyObject_IS_GC(part) || PyObject_GC_IsTracked(part) == tracked) return;
        tracked ? PyObject_GC_Track(part) : PyObject_GC_UnTrack(part);
    };
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(type->tp_dict, &position, &key, &value)) set(value);
    set(type->tp_dict);
    set(type->tp_mro);
}

PyTypeObject* function_type() noexcept {
    if (!function_type_object) {
        function_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
        if (function_type_object) set_parts_tracked(function_type_object, false);
    }
    return function_type_object;
}

// The flags the compiler gives a function's code. From 3.14 they also tell
// whether it has a docstring and whether it is defined in a class body,
// which here is whenever its qualified name has a dot (none is nested).
long code_flags([[maybe_unused]] const FunctionDef& definition) noexcept {
    long flags = CO_OPTIMIZED | CO_NEWLOCALS;
#ifdef CO_HAS_DOCSTRING
    if (definition.doc) flags |= CO_HAS_DOCSTRING;
#endif
#ifdef CO_METHOD
    if (std::strchr(definition.qualname, '.')) flags |= CO_METHOD;
#endif
    return flags;
}

// The code object that inspect reads, as a Python function's would be: its
// name and qualified name, argument counts and names, and flags. It is
// never run.
Ref make_code(const FunctionObject& function) noexcept {
    const FunctionDef& definition = *function.definition;
    PyObject* const* names = function.parameter_names;
    const LayerNames* layer = layer_names();
    if (!layer) return {};
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(function.filename, definition.name, function.line)));
    if (!empty) return {};
    const std::size_t count = definition.parameters.size();
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!varnames) return {};
    std::size_t positional_only = 0, positional = 0;
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(names[i]));
        const ParameterKind kind = definition.parameters[i].kind;
        positional_only += kind == ParameterKind::PositionalOnly;
        positional += kind != ParameterKind::KeywordOnly;
    }
    Ref posonlycount = Ref::steal(PyLong_FromSize_t(positional_only));
    if (!posonlycount) return {};
    Ref argcount = Ref::steal(PyLong_FromSize_t(positional));
    if (!argcount) return {};
    Ref kwonlycount = Ref::steal(PyLong_FromSize_t(count - positional));
    if (!kwonlycount) return {};
    Ref nlocals = Ref::steal(PyLong_FromSize_t(count));
    if (!nlocals) return {};
    Ref flags = Ref::steal(PyLong_FromLong(code_flags(definition)));
    if (!flags) return {};
    return call_method_kw(empty.get(), layer->replace, layer->code_replace_keywords, posonlycount.get(),
                          argcount.get(), kwonlycount.get(), nlocals.get(), flags.get(), varnames.get(),
                          function.call_name);
}

// The frame of this function's traceback entries: its code is named with
// the full dotted path, e.g. "pkg.mod.Class.method".
Ref make_frame(const FunctionObject& function) noexcept {
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", function.module_name, function.call_name));
    if (!full_name) return {};
    const char* full_name_text = PyUnicode_AsUTF8(full_name.get());
    if (!full_name_text) return {};
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(function.filename, full_name_text, function.line)));
    if (!code) return {};
    return make_traceback_frame(reinterpret_cast<PyCodeObject*>(code.get()), function.globals);
}

// The builtins that a Python function defined in `globals` would get: the
// namespace's __builtins__ (a module stands for its dict), else the
// interpreter's.
Ref builtins_of(PyObject* globals) noexcept {
    const LayerNames* layer = layer_names();
    if (!layer) return {};
    PyObject* builtins = PyDict_GetItemWithError(globals, layer->builtins);
    if (!builtins && PyErr_Occurred()) return {};
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    return Ref::borrow(builtins ? builtins : PyEval_GetBuiltins());
}

bool add_annotation(PyObject* annotations, const char* key, const char* value) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(value));
    if (!text) return false;
    return PyDict_SetItemString(annotations, key, text.get()) == 0;
}

// Annotations as Python stores them: parameters in order, then "return".
Ref make_annotations(const FunctionDef& definition) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Parameter& parameter : definition.parameters) {
        if (parameter.annotation && !add_annotation(annotations.get(), parameter.name, parameter.annotation)) {
            return {};
        }
    }
    if (definition.return_annotation && !add_annotation(annotations.get(), "return", definition.return_annotation)) {
        return {};
    }
    return annotations;
}

// __kwdefaults__ holds the keyword-only defaults, or is None when there are none.
bool make_kwdefaults(const FunctionDef& definition, PyObject*& out) noexcept {
    for (const Parameter& parameter : definition.parameters) {
        if (parameter.kind != ParameterKind::KeywordOnly || !parameter.default_value) continue;
        if (!out) out = PyDict_New();
        if (!out) return false;
        if (PyDict_SetItemString(out, parameter.name, parameter.default_value) < 0) return false;
    }
    return true;
}

// A function object for `definition` under `qualname`, defined at `line`
// and called through `vectorcall`; its annotations are left to the caller.
Ref new_function(const FunctionDef& definition, PyObject* qualname, int line, const ModuleContext& module,
                 vectorcallfunc vectorcall) noexcept {
    PyTypeObject* type = function_type();
    if (!type) return {};
    FunctionObject* function = PyObject_GC_New(FunctionObject, type);
    if (!function) return {};
    ++live_functions;
    std::memset(reinterpret_cast<char*>(function) + sizeof(PyObject), 0,
                sizeof(FunctionObject) - sizeof(PyObject));
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(function));

    function->vectorcall = vectorcall;
    function->definition = &definition;
    function->guard = module.guard;
    function->module_object = Py_NewRef(module.module);
    function->module_name = Py_NewRef(module.name);
    function->filename = module.filename;
    function->line = line;
    function->checks_str_return = definition.return_annotation && std::strcmp(definition.return_annotation, "str") == 0;
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        function->parameter_names[i] = intern(definition.parameters[i].name);
        if (!function->parameter_names[i]) return {};
    }
    function->qualname = Py_NewRef(qualname);
    function->call_name = Py_NewRef(qualname);
    function->module = Py_NewRef(module.name);
    function->globals = Py_NewRef(module.globals);
    function->builtins = builtins_of(module.globals).release();
    if (!function->builtins) return {};
    function->name = PyUnicode_FromString(definition.name);
    if (!function->name) return {};
    function->doc = definition.doc ? PyUnicode_FromString(definition.doc) : Py_NewRef(Py_None);
    if (!function->doc) return {};
    if (!make_kwdefaults(definition, function->kwdefaults)) return {};
    PyObject_GC_Track(function);
    return owner;
}

#ifdef NATIVE_DEFERRED_ANNOTATIONS
// What a compiler-made __annotate__ answers for VALUE (1) and
// VALUE_WITH_FAKE_GLOBALS (2): a new dict each call. It leaves FORWARDREF (3)
// and STRING (4) to annotationlib, which re-runs its code with fake globals;
// a native body cannot be re-run, so it answers those itself: annotations
// stored as strings read the same in every format.
Ref annotations_in_format(const FunctionDef& annotated, PyObject* format) noexcept {
    Ref last_format = Ref::steal(PyLong_FromLong(4));
    if (!last_format) return {};
    const int unknown = PyObject_RichCompareBool(format, last_format.get(), Py_GT);
    if (unknown < 0) return {};
    if (unknown) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return {};
    }
    return make_annotations(annotated);
}

PyObject* annotate_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(callable);
    Arguments arguments;
    if (!bind_arguments(*function->definition, function->call_name, function->parameter_names, args,
                        PyVectorcall_NARGS(nargsf), kwnames, arguments)) {
        return finish_call(function, Ref());
    }
    return finish_call(function, annotations_in_format(*function->annotated, arguments[0]));
}

const Parameter annotate_parameters[] = {{.name = "format", .kind = ParameterKind::PositionalOnly}};
const FunctionDef annotate_definition = {
    .name = "__annotate__",
    .qualname = "__annotate__",
    .parameters = parameter_list(annotate_parameters),
};

// The __annotate__ of the function made from `annotated`, named as
// Python names it ("Cls.meth.__annotate__"), so that it pickles as itself,
// and placed where that function is defined.
PyObject* make_annotate(const FunctionDef& annotated, PyObject* qualname, const ModuleContext& module) noexcept {
    Ref annotate_qualname = Ref::steal(PyUnicode_FromFormat("%U.__annotate__", qualname));
    if (!annotate_qualname) return nullptr;
    Ref annotate = new_function(annotate_definition, annotate_qualname.get(), annotated.line, module,
                                annotate_vectorcall);
    if (annotate) as_function(annotate.get())->annotated = &annotated;
    return annotate.release();
}
#endif

}  // namespace

Ref make_function(const FunctionDef& definition, const ModuleContext& module) noexcept {
    Ref qualname = Ref::steal(PyUnicode_FromString(definition.qualname));
    if (!qualname) return {};
    Ref function = new_function(definition, qualname.get(), definition.line, module, function_vectorcall);
    if (function) as_function(function.get())->annotations_pending = true;
    return function;
}

void release_function_type() noexcept {
    if (!function_type_object) return;
    // With no function left, the type's cycle is broken here, as the
    // collector would (its parts tracked again, as deallocation expects).
    // Functions that outlive their interpreter keep it as it is.
    if (live_functions == 0) {
        set_parts_tracked(function_type_object, true);
        PyType_Type.tp_clear(reinterpret_cast<PyObject*>(function_type_object));
    }
    Py_CLEAR(function_type_object);
}

}  // namespace native
