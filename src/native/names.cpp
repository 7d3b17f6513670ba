#include "names.hpp"

#include "python.hpp"

namespace native {

namespace {

std::size_t text_count(const Interned& entry) noexcept {
    std::size_t size = 0;
    while (size < entry.texts.size() && entry.texts[size]) ++size;
    return size;
}

Ref make_tuple(const Interned& entry) noexcept {
    const std::size_t size = text_count(entry);
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
    if (!tuple) return {};
    for (std::size_t index = 0; index < size; ++index) {
        PyObject* item = intern(entry.texts[index]);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), index, item);
    }
    return untracked(std::move(tuple));
}

}  // namespace

PyObject* intern(const char* text) noexcept {
    return PyUnicode_InternFromString(text);
}

bool make_names(std::span<const Interned> entries) noexcept {
    for (const Interned& entry : entries) {
        if (*entry.slot) continue;
        *entry.slot = entry.tuple ? make_tuple(entry).release() : intern(entry.texts[0]);
        if (!*entry.slot) return false;
    }
    return true;
}

void release_names(std::span<const Interned> entries) noexcept {
    for (const Interned& entry : entries) Py_CLEAR(*entry.slot);
}

}  // namespace native
