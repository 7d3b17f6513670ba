#include "names.hpp"

namespace native {

namespace {

Ref make_tuple(const InternedTuple& entry) noexcept {
    Py_ssize_t size = 0;
    while (size < static_cast<Py_ssize_t>(entry.texts.size()) && entry.texts[size]) ++size;
    Ref tuple = Ref::steal(PyTuple_New(size));
    if (!tuple) return {};
    for (Py_ssize_t index = 0; index < size; ++index) {
        PyObject* item = intern(entry.texts[index]);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), index, item);
    }
    return tuple;
}

LayerNames layer;
const Interned layer_name_texts[] = {
    {&layer.replace, "replace"},
    {&layer.name, "name"},
    {&layer.add_note, "add_note"},
    {&layer.builtins, "__builtins__"},
};
const InternedTuple layer_tuple_texts[] = {
    {&layer.code_replace_keywords,
     {"co_posonlyargcount", "co_argcount", "co_kwonlyargcount", "co_nlocals", "co_flags", "co_varnames",
      "co_qualname"}},
};
NameTable layer_table(layer_name_texts, layer_tuple_texts);

}  // namespace

PyObject* intern(const char* text) noexcept {
    return PyUnicode_InternFromString(text);
}

bool NameTable::make() noexcept {
    if (made_) return true;
    for (const Interned& entry : names_) {
        if (*entry.slot) continue;
        *entry.slot = intern(entry.text);
        if (!*entry.slot) return false;
    }
    for (const InternedTuple& entry : tuples_) {
        if (*entry.slot) continue;
        *entry.slot = make_tuple(entry).release();
        if (!*entry.slot) return false;
    }
    made_ = true;
    return true;
}

void NameTable::release() noexcept {
    for (const Interned& entry : names_) Py_CLEAR(*entry.slot);
    for (const InternedTuple& entry : tuples_) Py_CLEAR(*entry.slot);
    made_ = false;
}

const LayerNames* layer_names() noexcept {
    if (!layer_table.make()) return nullptr;
    return &layer;
}

void release_layer_names() noexcept {
    layer_table.release();
}

}  // namespace native
