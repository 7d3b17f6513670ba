#include "names.hpp"

#include "python.hpp"

namespace native {

namespace {

std::size_t text_count(const NameEntry& entry) noexcept {
    std::size_t size = 0;
    while (size < entry.texts.size() && entry.texts[size]) ++size;
    return size;
}

Ref make_tuple(const NameEntry& entry) noexcept {
    const std::size_t size = text_count(entry);
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
    if (!tuple) return {};
    for (std::size_t index = 0; index < size; ++index) {
        PyObject* item = constant_text(entry.texts[index], entry.name_like & (1u << index));
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), index, item);
    }
    return untracked(std::move(tuple));
}

}  // namespace

PyObject* intern(const char* text) noexcept {
    return PyUnicode_InternFromString(text);
}

PyObject* constant_text(const char* text, bool name_like) noexcept {
    return name_like ? intern(text) : PyUnicode_FromString(text);
}

bool make_names(std::span<const NameEntry> entries) noexcept {
    for (const NameEntry& entry : entries) {
        if (*entry.slot) continue;
        *entry.slot = entry.tuple ? make_tuple(entry).release() : constant_text(entry.texts[0], entry.name_like & 1u);
        if (!*entry.slot) return false;
    }
    return true;
}

void release_names(std::span<const NameEntry> entries) noexcept {
    for (const NameEntry& entry : entries) Py_CLEAR(*entry.slot);
}

}  // namespace native
