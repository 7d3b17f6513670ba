#include "arguments.hpp"

#include "python.hpp"

namespace native {

namespace {

std::size_t positional_count(const FunctionDef& definition) noexcept {
    std::size_t count = 0;
    while (count < definition.parameters.size() && definition.parameters[count].kind != ParameterKind::KeywordOnly) {
        ++count;
    }
    return count;
}

// Keyword names usually arrive interned, so identity finds them; a name
// built at run time is compared by value.
Py_ssize_t find_parameter(const FunctionDef& definition, PyObject* const* names, PyObject* keyword) noexcept {
    for (std::size_t index = 0; index < definition.parameters.size(); ++index) {
        if (names[index] == keyword) return static_cast<Py_ssize_t>(index);
    }
    for (std::size_t index = 0; index < definition.parameters.size(); ++index) {
        if (PyUnicode_Compare(names[index], keyword) == 0) return static_cast<Py_ssize_t>(index);
    }
    return -1;
}

bool refuse_any_arguments(const FunctionDef& definition, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", definition.name, "takes no keyword arguments");
        return false;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", definition.name, "takes no arguments", nargs);
        return false;
    }
    return true;
}

void raise_too_many_positional(PyObject* qualname, std::size_t accepted, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zd %s given",
                 qualname, accepted, accepted == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
void raise_missing(const FunctionDef& definition, PyObject* qualname, const std::size_t* missing,
                   std::size_t count, const char* kind) noexcept {
    Ref listed = Ref::steal(PyUnicode_FromString(""));
    for (std::size_t i = 0; listed && i < count; ++i) {
        const char* separator = i == 0 ? "" : (count == 2 ? " and " : (i + 1 == count ? ", and " : ", "));
        listed = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", listed.get(), separator,
                                                 definition.parameters[missing[i]].name));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %U", qualname, count,
                 kind, count == 1 ? "" : "s", listed.get());
}

bool bind_keywords(const FunctionDef& definition, PyObject* qualname, PyObject* const* names,
                   PyObject* const* values, PyObject* kwnames, Arguments& out) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname);
            return false;
        }
        const Py_ssize_t index = find_parameter(definition, names, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", qualname, keyword);
            return false;
        }
        if (definition.parameters[index].kind == ParameterKind::PositionalOnly) {
            PyErr_Format(PyExc_TypeError,
                         "%U() got some positional-only arguments passed as keyword arguments: '%U'", qualname,
                         keyword);
            return false;
        }
        if (out.values[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%s'", qualname,
                         definition.parameters[index].name);
            return false;
        }
        out.values[index] = values[k];
    }
    return true;
}

bool apply_defaults(const FunctionDef& definition, PyObject* qualname, std::size_t positional,
                    Arguments& out) noexcept {
    std::size_t missing[kMaxParameters];
    for (int pass = 0; pass < 2; ++pass) {
        const bool keyword_only = pass == 1;
        std::size_t missing_count = 0;
        for (std::size_t i = keyword_only ? positional : 0;
             i < (keyword_only ? definition.parameters.size() : positional); ++i) {
            if (out.values[i]) continue;
            if (definition.parameters[i].default_value) {
                out.values[i] = definition.parameters[i].default_value;
            } else {
                missing[missing_count++] = i;
            }
        }
        if (missing_count) {
            raise_missing(definition, qualname, missing, missing_count, keyword_only ? "keyword-only" : "positional");
            return false;
        }
    }
    return true;
}

bool convert(const FunctionDef& definition, PyObject* const* names, Arguments& out) noexcept {
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
        const Parameter& parameter = definition.parameters[i];
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

bool bind_arguments(const FunctionDef& definition, PyObject* qualname, PyObject* const* parameter_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) noexcept {
    if (definition.parameters.empty()) return refuse_any_arguments(definition, nargs, kwnames);

    // The same order of complaints as CPython: keywords, surplus, missing.
    const std::size_t positional = positional_count(definition);
    const std::size_t given = static_cast<std::size_t>(nargs) < positional ? nargs : positional;
    for (std::size_t i = 0; i < definition.parameters.size(); ++i) out.values[i] = i < given ? args[i] : nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords && !bind_keywords(definition, qualname, parameter_names, args + nargs, kwnames, out)) return false;
    if (static_cast<std::size_t>(nargs) > positional) {
        raise_too_many_positional(qualname, positional, nargs);
        return false;
    }
    // Keywords fill distinct parameters, so a full count means none is missing.
    const bool complete = given + static_cast<std::size_t>(keywords) == definition.parameters.size();
    if (!complete && !apply_defaults(definition, qualname, positional, out)) return false;
    return convert(definition, parameter_names, out);
}

}  // namespace native
