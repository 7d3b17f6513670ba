// Interned names, and tuples of them, each written once in a list:
//
//   #define MODULE_NAMES(NAME, TUPLE) NAME(os, "os") TUPLE(mkdir_keywords, "parents", "exist_ok")
//   NATIVE_NAMES(MODULE_NAMES);
//
// declares `names`, with one PyObject* per entry, and `name_table`, which
// `make_names` makes and `release_names` drops. When an entry fails, its
// exception stays set and the next `make_names` tries that entry again, so
// no name is ever remembered as NULL.
#pragma once

#include "ref.hpp"

#include <array>
#include <span>

namespace native {

// A new reference to an interned str, or NULL with an error set.
PyObject* intern(const char* text) noexcept;

// One entry: a name (one text) or a tuple of names (several, or a tuple of
// a single name when `tuple` is set).
struct Interned {
    PyObject** slot;
    std::array<const char*, 8> texts;
    bool tuple;
};

bool make_names(std::span<const Interned> entries) noexcept;
void release_names(std::span<const Interned> entries) noexcept;

}  // namespace native

#define NATIVE_NAME_FIELD_(field, ...) PyObject* field = nullptr;
#define NATIVE_NAME_ENTRY_(field, text) {&names.field, {text}, false},
#define NATIVE_TUPLE_ENTRY_(field, ...) {&names.field, {__VA_ARGS__}, true},

// Declares `struct Names`, its instance `names`, and `name_table`, the
// entries that make and release them.
#define NATIVE_NAMES(LIST)                                                          \
    struct Names {                                                                  \
        LIST(NATIVE_NAME_FIELD_, NATIVE_NAME_FIELD_)                                \
    };                                                                              \
    Names names;                                                                    \
    const native::Interned name_table[] = {LIST(NATIVE_NAME_ENTRY_, NATIVE_TUPLE_ENTRY_)}
