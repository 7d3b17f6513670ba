// Names and constant texts, and tuples of them, each written once in a list:
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

// Made of ASCII letters, digits and underscores only: the constants the
// compiler interns. Interning any other text (a message, a file name) would
// only add an entry to the interpreter's table, removed again at its end.
constexpr bool is_name_like(const char* text) noexcept {
    for (; *text; ++text) {
        const char c = *text;
        if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

// A new reference to a str of `text`, interned when it is name-like, as the
// compiler makes a constant; or NULL with an error set.
PyObject* constant_text(const char* text, bool name_like) noexcept;

// One entry: a name (one text) or a tuple of names (several, or a tuple of
// a single name when `tuple` is set). Which texts are name-like is worked
// out at compile time.
struct NameEntry {
    constexpr NameEntry(PyObject** slot, std::array<const char*, 8> texts, bool tuple) noexcept
        : slot(slot), texts(texts), tuple(tuple) {
        for (std::size_t i = 0; i < texts.size() && texts[i]; ++i) {
            if (is_name_like(texts[i])) name_like |= 1u << i;
        }
    }
    PyObject** slot;
    std::array<const char*, 8> texts;
    bool tuple;
    unsigned name_like = 0;  // bit i set: texts[i] is name-like
};

bool make_names(std::span<const NameEntry> entries) noexcept;
void release_names(std::span<const NameEntry> entries) noexcept;

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
    constinit const native::NameEntry name_table[] = {LIST(NATIVE_NAME_ENTRY_, NATIVE_TUPLE_ENTRY_)}
