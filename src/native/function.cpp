#include "function.hpp"

#include "arguments.hpp"
#include "portability.hpp"
#include "python.hpp"

#include <cstring>

namespace native {

namespace {

bool returns_str(const FunctionDef& definition) noexcept {
    return definition.return_annotation && std::strcmp(definition.return_annotation, "str") == 0;
}

// Any call but a shortcut's answer: binding, the recursion guard, the body.
NATIVE_NOINLINE PyObject* run_body(Module& module, const FunctionDef& definition, PyObject* function,
                                   PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Module::CallInProgress in_progress(module);
    Call call;
    call.globals = PyFunction_GET_GLOBALS(function);
    switch (bind_arguments(definition, module.parameter_names(definition.index), args, nargs, kwnames, call)) {
        case Binding::Bound:
            break;
        case Binding::Misfit:
            return definition.parameters.empty() ? refuse_any_arguments(definition, nargs, kwnames)
                                                 : refuse_misfit(function, args, nargsf, kwnames);
        case Binding::Failed:
            module.add_traceback_entry(definition, function, call.line);
            return nullptr;
    }
    call.at(definition.line);
    // Methods call one another through `self`, so an override can make
    // native code recurse without a Python frame in between.
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        module.add_traceback_entry(definition, function, call.line);
        return nullptr;
    }
    Ref result = definition.body(call);
    Py_LeaveRecursiveCall();
    if (result && module.returns_str(definition.index)) {
        call.at(definition.return_check_line);
        result = check_return_str(std::move(result));
    }
    if (!result) module.add_traceback_entry(definition, function, call.line);
    return result.release();
}

// The flags the compiler gives a function's code. From 3.14 they also tell
// whether it has a docstring and whether it is defined in a class body,
// which here is whenever its qualified name has a dot (none is nested).
int code_flags([[maybe_unused]] const FunctionDef& definition) noexcept {
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#ifdef CO_HAS_DOCSTRING
    if (definition.doc) flags |= CO_HAS_DOCSTRING;
#endif
#ifdef CO_METHOD
    if (std::strchr(definition.qualname, '.')) flags |= CO_METHOD;
#endif
    return flags;
}

struct CodeShape {
    const char* name;
    PyObject* qualname;
    const char* doc;
    PyObject* varnames;
    int positional_only, positional, keyword_only;
    int flags;
    int line;
};

// A code object as the compiler would make it for the Python function this
// one stands for: names, argument counts, flags, docstring, and its place
// in the Python source. Its bytecode only raises; it never runs. Made
// directly, so no audit event is raised (code.replace would raise one).
Ref make_code(const ModuleScope& scope, const CodeShape& shape) noexcept {
    auto* empty = reinterpret_cast<PyCodeObject*>(scope.empty_code);
    Ref doc = shape.doc ? Ref::steal(PyUnicode_FromString(shape.doc)) : Ref::borrow(Py_None);
    if (!doc) return {};
    Ref consts = untracked(Ref::steal(PyTuple_Pack(1, doc.get())));
    if (!consts) return {};
    Ref nothing = Ref::steal(PyTuple_New(0));
    if (!nothing) return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(shape.name));
    if (!name) return {};
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(shape.varnames));
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        shape.positional, shape.positional_only, shape.keyword_only, nlocals, empty->co_stacksize, shape.flags,
        scope.bytecode, consts.get(),
        nothing.get(), shape.varnames, nothing.get(), nothing.get(), scope.source_path, name.get(), shape.qualname,
        shape.line, empty->co_linetable, empty->co_exceptiontable)));
}

Ref parameter_names(const FunctionDef& definition) noexcept {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.parameters.size())));
    if (!names) return {};
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        PyObject* name = intern(definition.parameters[i].name);
        if (!name) return {};
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return untracked(std::move(names));
}

bool add_annotation(PyObject* annotations, const char* key, const char* value) noexcept {
    Ref text = Ref::steal(constant_text(value, is_name_like(value)));
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

// __kwdefaults__: the keyword-only defaults, or none.
bool set_kwdefaults(PyObject* function, const FunctionDef& definition) noexcept {
    Ref kwdefaults;
    for (const Parameter& parameter : definition.parameters) {
        if (parameter.kind != ParameterKind::KeywordOnly || !parameter.default_value) continue;
        if (!kwdefaults) kwdefaults = Ref::steal(PyDict_New());
        if (!kwdefaults) return false;
        if (PyDict_SetItemString(kwdefaults.get(), parameter.name, parameter.default_value) < 0) return false;
    }
    return !kwdefaults || PyFunction_SetKwDefaults(function, kwdefaults.get()) == 0;
}

#ifdef NATIVE_DEFERRED_ANNOTATIONS
const Parameter annotate_parameters[] = {{.name = "format", .kind = ParameterKind::PositionalOnly}};
const FunctionDef annotate_definition = {
    .name = "__annotate__",
    .qualname = "__annotate__",
    .parameters = annotate_parameters,
};

#endif

bool set_annotations(PyObject* function, const ModuleScope& scope, const FunctionDef& definition,
                     [[maybe_unused]] vectorcallfunc annotate_vectorcall) noexcept {
#ifdef NATIVE_DEFERRED_ANNOTATIONS
    Ref annotate = make_annotate(scope, definition, annotate_vectorcall);
    return annotate && PyObject_SetAttrString(function, "__annotate__", annotate.get()) == 0;
#else
    (void)scope;
    Ref annotations = make_annotations(definition);
    return annotations && PyFunction_SetAnnotations(function, annotations.get()) == 0;
#endif
}

}  // namespace

PyObject* call_function(Module& module, const FunctionDef& definition, PyObject* function, PyObject* const* args,
                        size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    if (!module.serves(globals) && !module.admit_stray_call(definition.qualname)) return nullptr;
    return run_body(module, definition, function, args, nargsf, kwnames);
}

#ifdef NATIVE_DEFERRED_ANNOTATIONS
PyObject* call_annotate(const FunctionDef& definition, PyObject* annotate, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept {
    Call call;
    if (bind_arguments(annotate_definition, nullptr, args, PyVectorcall_NARGS(nargsf), kwnames, call) !=
        Binding::Bound) {
        return refuse_misfit(annotate, args, nargsf, kwnames);
    }
    // A compiler-made __annotate__ answers VALUE (1) and VALUE_WITH_FAKE_GLOBALS
    // (2), and annotationlib re-runs its code with fake globals for FORWARDREF
    // (3) and STRING (4). A C body cannot be re-run, so this one answers those
    // too: annotations stored as strings read the same in every format.
    Ref last_format = Ref::steal(PyLong_FromLong(4));
    if (!last_format) return nullptr;
    const int unknown = PyObject_RichCompareBool(call[0], last_format.get(), Py_GT);
    if (unknown < 0) return nullptr;
    if (unknown) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return make_annotations(definition).release();
}
#endif

#ifdef NATIVE_DEFERRED_ANNOTATIONS
Ref make_annotate(const ModuleScope& scope, const FunctionDef& definition, vectorcallfunc vectorcall) noexcept {
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.__annotate__", definition.qualname));
    if (!qualname) return {};
    Ref varnames = parameter_names(annotate_definition);
    if (!varnames) return {};
    Ref code = make_code(scope, {"__annotate__", qualname.get(), nullptr, varnames.get(), 1, 1, 0,
                                 CO_OPTIMIZED | CO_NEWLOCALS, definition.line});
    if (!code) return {};
    Ref annotate = Ref::steal(PyFunction_New(code.get(), scope.globals));
    if (!annotate) return {};
    PyFunction_SetVectorcall(reinterpret_cast<PyFunctionObject*>(annotate.get()), vectorcall);
    return annotate;
}
#endif

Ref make_function(Module& module, const ModuleScope& scope, const FunctionDef& definition,
                  vectorcallfunc vectorcall, vectorcallfunc annotate_vectorcall) noexcept {
    if (definition.index >= kMaxFunctions) {
        PyErr_SetString(PyExc_SystemError, "more functions than native::kMaxFunctions");
        return {};
    }
    Ref varnames = parameter_names(definition);
    if (!varnames) return {};
    int positional_only = 0;
    for (const Parameter& parameter : definition.parameters) {
        positional_only += parameter.kind == ParameterKind::PositionalOnly;
    }
    const int positional = static_cast<int>(definition.parameters.positional());
    const int keyword_only = static_cast<int>(definition.parameters.size()) - positional;
    Ref qualname = Ref::steal(PyUnicode_InternFromString(definition.qualname));
    if (!qualname) return {};
    Ref code = make_code(scope, {definition.name, qualname.get(), definition.doc, varnames.get(), positional_only,
                                 positional, keyword_only, code_flags(definition), definition.line});
    if (!code) return {};
    // __module__ comes from the namespace's __name__, __qualname__ from the
    // code, __doc__ from its first constant.
    Ref function = Ref::steal(PyFunction_New(code.get(), scope.globals));
    if (!function) return {};
    if (!set_kwdefaults(function.get(), definition)) return {};
    if (!set_annotations(function.get(), scope, definition, annotate_vectorcall)) return {};
    PyFunction_SetVectorcall(reinterpret_cast<PyFunctionObject*>(function.get()), vectorcall);
    module.keep_function(definition.index, code.get(), returns_str(definition));
    return function;
}

}  // namespace native
