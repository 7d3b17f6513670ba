// Interned names, and tuples of them, made from one table per module. A
// table is made once per interpreter; when an entry fails, its exception
// stays set and the next `make` tries that entry again, so no name is ever
// remembered as NULL. `release` gives the references back when the module's
// interpreter is done with them.
#pragma once

#include "ref.hpp"

#include <array>
#include <span>

namespace native {

// A new reference to an interned str, or NULL with an error set.
PyObject* intern(const char* text) noexcept;

// `*slot` receives the interned `text`.
struct Interned {
    PyObject** slot;
    const char* text;
};

// `*slot` receives a tuple of the interned `texts`, up to the first nullptr:
// keyword names for call_kw, or constant arguments.
struct InternedTuple {
    PyObject** slot;
    std::array<const char*, 8> texts;
};

class NameTable {
public:
    constexpr NameTable(std::span<const Interned> names, std::span<const InternedTuple> tuples = {}) noexcept
        : names_(names), tuples_(tuples) {}

    // Makes every entry still missing: true when all are made, else false
    // with the failure's exception set.
    bool make() noexcept;
    // Drops every entry: the next `make` makes the table afresh.
    void release() noexcept;

private:
    std::span<const Interned> names_;
    std::span<const InternedTuple> tuples_;
    bool made_ = false;
};

// The names the layer itself calls or reads by.
struct LayerNames {
    PyObject* replace;                // code.replace
    PyObject* code_replace_keywords;  // the code fields a function's code sets
    PyObject* name;                   // spec.name
    PyObject* add_note;               // BaseException.add_note
    PyObject* builtins;               // a namespace's __builtins__
};
// The layer's names, made on first use; NULL with an error set on failure.
const LayerNames* layer_names() noexcept;
void release_layer_names() noexcept;

}  // namespace native
