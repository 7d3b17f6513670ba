// What a function is made from: its parameters, its body and the texts
// introspection shows. Definitions are static tables, written with
// designated initialisers.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <span>

namespace native {

enum class ParameterKind { PositionalOnly, PositionalOrKeyword, KeywordOnly };

// What the call does to an argument before the body runs.
enum class Conversion {
    None,      // passed through untouched
    ExactStr,  // must be exactly a `str`
    Truth,     // reduced to Py_True / Py_False by a truth test
};

struct Parameter {
    const char* name;
    const char* annotation = nullptr;  // stored as a string; nullptr: none
    ParameterKind kind = ParameterKind::PositionalOrKeyword;
    Conversion conversion = Conversion::None;
    // A keyword-only default: used by calls that omit the argument and shown
    // in __kwdefaults__. Must be an immortal object (False, None, ...).
    PyObject* default_value = nullptr;
    int line = 0;  // where the Python function checks or converts it
};

inline constexpr std::size_t kMaxParameters = 6;

// A definition's parameters, in kind order, with the count of those that
// may be given by position, taken once. More than the fixed-size argument
// arrays of a call hold are refused at compile time.
class ParameterList {
public:
    constexpr ParameterList() noexcept = default;
    template <std::size_t N>
    constexpr ParameterList(const Parameter (&parameters)[N]) noexcept
        : parameters_(parameters) {
        static_assert(N <= kMaxParameters, "more parameters than native::kMaxParameters");
        while (positional_ < N && parameters[positional_].kind != ParameterKind::KeywordOnly) ++positional_;
    }

    constexpr std::size_t size() const noexcept { return parameters_.size(); }
    constexpr bool empty() const noexcept { return parameters_.empty(); }
    constexpr const Parameter& operator[](std::size_t index) const noexcept { return parameters_[index]; }
    constexpr auto begin() const noexcept { return parameters_.begin(); }
    constexpr auto end() const noexcept { return parameters_.end(); }
    // How many come before the keyword-only ones.
    constexpr std::size_t positional() const noexcept { return positional_; }

private:
    std::span<const Parameter> parameters_;
    std::size_t positional_ = 0;
};

// One call: its arguments in parameter order, borrowed from the caller; the
// namespace of the function called, whose globals the body reads; and the
// line of the Python source whose step runs, which a failure's traceback
// entry names.
struct Call {
    PyObject* values[kMaxParameters];
    PyObject* globals;
    int line;
    PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
    void at(int source_line) noexcept { line = source_line; }
};

// A function body: returns a new reference, or an empty Ref with an error set.
using FunctionBody = Ref (*)(Call& call) noexcept;
// A shortcut answers a call without calling out to anything (hence without
// the recursion guard): a new reference, or NULL, never with an error set,
// to leave the call to the body.
using Shortcut = PyObject* (*)(PyObject* globals) noexcept;

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;  // as written in the source; cleaned where the compiler cleans
    ParameterList parameters = {};
    const char* return_annotation = nullptr;  // "str" also turns on the return check
    int return_check_line = 0;  // where the Python function makes that check
    FunctionBody body = nullptr;
    int line = 0;  // of the `def` in the Python module this one stands for
    std::size_t index = 0;  // its place among the module's functions
    Shortcut shortcut = nullptr;  // only for functions without parameters
};

}  // namespace native
