#include "watched_global.hpp"

#include "python.hpp"

namespace native {

namespace {

// One watcher for every namespace; each module watches a handful of names.
constexpr int kMaxWatched = 16;
WatchedGlobal* watched[kMaxWatched];
int watched_count = 0;
int watcher_id = -1;

int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    const bool whole_dict = event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_CLONED ||
                            event == PyDict_EVENT_DEALLOCATED;
    for (int i = 0; i < watched_count; ++i) watched[i]->changing(dict, whole_dict ? nullptr : key);
    return 0;
}

// Registers the watcher once; false, with no error left set, when the
// interpreter has no free watcher slot or refuses the namespace.
bool watch_namespace(PyObject* globals) noexcept {
    if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_namespace_change);
    if (watcher_id >= 0 && PyDict_Watch(watcher_id, globals) == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

bool WatchedGlobal::watch(PyObject* globals, PyObject* name) noexcept {
    if (globals_ == nullptr) {
        if (watched_count == kMaxWatched) {
            PyErr_SetString(PyExc_SystemError, "too many watched module globals");
            return false;
        }
        watched[watched_count++] = this;
    }
    // A body that failed and runs again brings a new namespace.
    globals_ = globals;
    name_ = name;
    value_ = nullptr;
    watched_ = watch_namespace(globals);
    return true;
}

void WatchedGlobal::changing(PyObject* globals, PyObject* key) noexcept {
    if (globals != globals_) return;
    // Keys are compared by value too: `vars(m)["_c" + "ached"] = v` passes
    // a str that is not the interned one. An interned key differs from the
    // interned name unless it is the same object.
    if (key == nullptr || key == name_ ||
        (PyUnicode_Check(key) && !PyUnicode_CHECK_INTERNED(key) && PyUnicode_Compare(key, name_) == 0)) {
        value_ = nullptr;
    }
}

void release_watched_globals() noexcept {
    for (int i = 0; i < watched_count; ++i) watched[i]->reset();
    watched_count = 0;
    if (watcher_id >= 0 && PyDict_ClearWatcher(watcher_id) < 0) PyErr_Clear();
    watcher_id = -1;
}

Ref WatchedGlobal::load() noexcept {
    if (value_) return Ref::borrow(value_);
    if (PyObject* value = PyDict_GetItemWithError(globals_, name_)) {
        if (watched_) value_ = value;
        return Ref::borrow(value);
    }
    // Absent from the namespace: builtins are not watched, so not cached.
    return load_global(globals_, name_);
}

}  // namespace native
