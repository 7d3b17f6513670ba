#include "arguments.hpp"

#include "portability.hpp"
#include "python.hpp"

namespace native {

namespace {

// Keyword names usually arrive interned, so identity finds them; a name
// built at run time is compared by value, and an instance of a str subclass
// by its own __eq__, as CPython's binding does. -2: that comparison raised.
Py_ssize_t find_parameter(const FunctionDef& definition, PyObject* names, PyObject* keyword) noexcept {
    const std::size_t count = definition.parameters.size();
    if (names) {
        for (std::size_t index = 0; index < count; ++index) {
            if (PyTuple_GET_ITEM(names, index) == keyword) return static_cast<Py_ssize_t>(index);
        }
    }
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t index = 0; index < count; ++index) {
        const char* name = definition.parameters[index].name;
        if (PyUnicode_CheckExact(keyword)) {
            if (PyUnicode_CompareWithASCIIString(keyword, name) == 0) return static_cast<Py_ssize_t>(index);
            continue;
        }
        Ref text = Ref::steal(PyUnicode_FromString(name));
        const int equal = text ? PyObject_RichCompareBool(keyword, text.get(), Py_EQ) : -1;
        if (equal < 0) return -2;
        if (equal) return static_cast<Py_ssize_t>(index);
    }
    return -1;
}

Binding bind_keywords(const FunctionDef& definition, PyObject* names, PyObject* const* values, PyObject* kwnames,
                      Call& out) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        const Py_ssize_t index = find_parameter(definition, names, PyTuple_GET_ITEM(kwnames, k));
        if (index == -2) return Binding::Failed;
        if (index < 0 || definition.parameters[index].kind == ParameterKind::PositionalOnly || out.values[index]) {
            return Binding::Misfit;
        }
        out.values[index] = values[k];
    }
    return Binding::Bound;
}

bool apply_defaults(const FunctionDef& definition, Call& out) noexcept {
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        if (out.values[i]) continue;
        out.values[i] = definition.parameters[i].default_value;
        if (!out.values[i]) return false;
    }
    return true;
}

bool convert(const FunctionDef& definition, PyObject* names, Call& out) noexcept {
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        const Parameter& parameter = definition.parameters[i];
        out.at(parameter.line);
        switch (parameter.conversion) {
            case Conversion::None:
                break;
            case Conversion::ExactStr: {
                if (Py_IS_TYPE(out.values[i], &PyUnicode_Type)) break;
                Ref name = names ? Ref::borrow(PyTuple_GET_ITEM(names, i))
                                 : Ref::steal(PyUnicode_FromString(parameter.name));
                if (!name || !check_argument_type(out.values[i], &PyUnicode_Type, name.get())) return false;
                break;
            }
            case Conversion::Truth: {
                const int value = truth(out.values[i]);
                if (value < 0) return false;
                out.values[i] = value ? Py_True : Py_False;
                break;
            }
        }
    }
    return true;
}

// Copies `count` (at most kMaxParameters) arguments. Unrolled: a loop would
// become a call of memcpy, dearer than a few stores.
void copy_arguments(PyObject* const* args, std::size_t count, PyObject** values) noexcept {
    static_assert(kMaxParameters == 6, "one case per parameter");
    switch (count) {
        case 6: values[5] = args[5]; [[fallthrough]];
        case 5: values[4] = args[4]; [[fallthrough]];
        case 4: values[3] = args[3]; [[fallthrough]];
        case 3: values[2] = args[2]; [[fallthrough]];
        case 2: values[1] = args[1]; [[fallthrough]];
        case 1: values[0] = args[0]; [[fallthrough]];
        default: break;
    }
}

// Positional arguments, keywords and defaults in place, for a call that
// names some parameters or gives too few or too many.
NATIVE_NOINLINE Binding place_arguments(const FunctionDef& definition, PyObject* parameter_names,
                                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                        Call& out) noexcept {
    if (static_cast<std::size_t>(nargs) > definition.parameters.positional()) return Binding::Misfit;
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        out.values[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords) {
        const Binding placed = bind_keywords(definition, parameter_names, args + nargs, kwnames, out);
        if (placed != Binding::Bound) return placed;
    }
    // Keywords fill distinct parameters, so a full count means none is missing.
    const bool complete = static_cast<std::size_t>(nargs + keywords) == definition.parameters.size();
    return complete || apply_defaults(definition, out) ? Binding::Bound : Binding::Misfit;
}

}  // namespace

Binding bind_arguments(const FunctionDef& definition, PyObject* parameter_names, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Call& out) noexcept {
    out.at(definition.line);
    // The usual call gives the parameters that may be given by position,
    // by position, and leaves any keyword-only ones to their defaults.
    const ParameterList& parameters = definition.parameters;
    if (!kwnames && static_cast<std::size_t>(nargs) == parameters.positional()) {
        copy_arguments(args, parameters.positional(), out.values);
        for (std::size_t i = parameters.positional(); i < parameters.size(); ++i) {
            out.values[i] = parameters[i].default_value;
            if (!out.values[i]) return Binding::Misfit;
        }
    } else if (const Binding placed = place_arguments(definition, parameter_names, args, nargs, kwnames, out);
               placed != Binding::Bound) {
        return placed;
    }
    return convert(definition, parameter_names, out) ? Binding::Bound : Binding::Failed;
}

PyObject* refuse_misfit(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    // A twin made afresh from the same code and namespace keeps CPython's
    // own vectorcall; the messages name the function's qualified name now.
    Ref twin = Ref::steal(PyFunction_New(PyFunction_GET_CODE(function), PyFunction_GET_GLOBALS(function)));
    if (!twin) return nullptr;
    Ref attribute = Ref::steal(PyUnicode_InternFromString("__qualname__"));
    if (!attribute) return nullptr;
    Ref qualname = get_attr(function, attribute.get());
    if (!qualname || PyObject_SetAttr(twin.get(), attribute.get(), qualname.get()) < 0) return nullptr;
    return PyObject_Vectorcall(twin.get(), args, nargsf, kwnames);
}

PyObject* refuse_any_arguments(const FunctionDef& definition, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", definition.name, "takes no keyword arguments");
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", definition.name, "takes no arguments", nargs);
    }
    return nullptr;
}

}  // namespace native
