#include "arguments.hpp"

#include "python.hpp"

namespace native {

namespace {

std::size_t positional_count(const FunctionSpec& spec) noexcept {
    std::size_t count = 0;
    while (count < spec.parameter_count &&
           spec.parameters[count].kind == ParameterKind::PositionalOrKeyword) {
        ++count;
    }
    return count;
}

// Keyword names usually arrive interned, so identity finds them; a name
// built at run time is compared by value.
Py_ssize_t find_parameter(const FunctionSpec& spec, PyObject* const* names, PyObject* keyword) noexcept {
    for (std::size_t index = 0; index < spec.parameter_count; ++index) {
        if (names[index] == keyword) return static_cast<Py_ssize_t>(index);
    }
    for (std::size_t index = 0; index < spec.parameter_count; ++index) {
        if (PyUnicode_Compare(names[index], keyword) == 0) return static_cast<Py_ssize_t>(index);
    }
    return -1;
}

bool refuse_any_arguments(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
        return false;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name, "takes no arguments", nargs);
        return false;
    }
    return true;
}

void raise_too_many_positional(const FunctionSpec& spec, std::size_t accepted, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 spec.qualname, accepted, accepted == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
void raise_missing(const FunctionSpec& spec, const std::size_t* missing, std::size_t count,
                   const char* kind) noexcept {
    Ref listed = Ref::steal(PyUnicode_FromString(""));
    for (std::size_t i = 0; listed && i < count; ++i) {
        const char* separator = i == 0 ? "" : (count == 2 ? " and " : (i + 1 == count ? ", and " : ", "));
        listed = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", listed.get(), separator,
                                                 spec.parameters[missing[i]].name));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %U", spec.qualname, count,
                 kind, count == 1 ? "" : "s", listed.get());
}

bool bind_keywords(const FunctionSpec& spec, PyObject* const* names, PyObject* const* values,
                   PyObject* kwnames, Arguments& out) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", spec.qualname);
            return false;
        }
        const Py_ssize_t index = find_parameter(spec, names, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.qualname,
                         keyword);
            return false;
        }
        if (out.values[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.qualname,
                         spec.parameters[index].name);
            return false;
        }
        out.values[index] = values[k];
    }
    return true;
}

bool apply_defaults(const FunctionSpec& spec, std::size_t positional, Arguments& out) noexcept {
    std::size_t missing[kMaxParameters];
    for (int pass = 0; pass < 2; ++pass) {
        const bool keyword_only = pass == 1;
        std::size_t missing_count = 0;
        for (std::size_t i = keyword_only ? positional : 0;
             i < (keyword_only ? spec.parameter_count : positional); ++i) {
            if (out.values[i]) continue;
            if (spec.parameters[i].default_value) {
                out.values[i] = spec.parameters[i].default_value;
            } else {
                missing[missing_count++] = i;
            }
        }
        if (missing_count) {
            raise_missing(spec, missing, missing_count, keyword_only ? "keyword-only" : "positional");
            return false;
        }
    }
    return true;
}

bool convert(const FunctionSpec& spec, PyObject* const* names, Arguments& out) noexcept {
    for (std::size_t i = 0; i < spec.parameter_count; ++i) {
        const Parameter& parameter = spec.parameters[i];
        switch (parameter.conversion) {
            case Conversion::None:
                break;
            case Conversion::ExactStr:
                if (!check_argument_type(out.values[i], &PyUnicode_Type, names[i])) return false;
                break;
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

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* parameter_names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, Arguments& out) noexcept {
    if (spec.parameter_count == 0) return refuse_any_arguments(spec, nargs, kwnames);

    // The same order of complaints as CPython: keywords, surplus, missing.
    const std::size_t positional = positional_count(spec);
    const std::size_t given = static_cast<std::size_t>(nargs) < positional ? nargs : positional;
    for (std::size_t i = 0; i < spec.parameter_count; ++i) out.values[i] = i < given ? args[i] : nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords && !bind_keywords(spec, parameter_names, args + nargs, kwnames, out)) return false;
    if (static_cast<std::size_t>(nargs) > positional) {
        raise_too_many_positional(spec, positional, nargs);
        return false;
    }
    // Keywords fill distinct parameters, so a full count means none is missing.
    const bool complete = given + static_cast<std::size_t>(keywords) == spec.parameter_count;
    return (complete || apply_defaults(spec, positional, out)) && convert(spec, parameter_names, out);
}

}  // namespace native
