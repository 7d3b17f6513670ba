#include "watched_global.hpp"

#include "free_threading.hpp"
#include "python.hpp"

namespace native {

namespace {

// What the watcher callback serves: a library holds one module, so one
// namespace at a time.
WatchedNamespace* watching = nullptr;

}  // namespace

Ref WatchedGlobal::lookup(PyObject* globals) noexcept {
    if (Ref value = dict_item(globals, *name_)) {
        if (globals == globals_) value_ = value.get();
        return value;
    }
    if (PyErr_Occurred()) return {};
    // Absent from the namespace: builtins are not watched, so not cached.
    return load_global(globals, *name_);
}

void WatchedGlobal::changing(PyObject* key) noexcept {
    PyObject* name = *name_;
    // A key that is not an exact str may compare equal to the name, and the
    // dict then replaces the value stored under it; telling would run its
    // __eq__, so any such change drops the cache. A str is compared by value:
    // `vars(m)["_c" + "ached"] = v` passes one that is not the interned name.
    if (key == nullptr || key == name || !PyUnicode_CheckExact(key) ||
        (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0)) {
        value_ = nullptr;
    }
}

int WatchedNamespace::on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    if (watching == nullptr) return 0;
    if (dict == watching->builtins_) {
        if (event == PyDict_EVENT_CLEARED) watching->hook_.call(watching->hook_.owner);
        return 0;
    }
    if (dict != watching->dict_) return 0;
    const bool whole_dict = event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_CLONED ||
                            event == PyDict_EVENT_DEALLOCATED;
    for (WatchedGlobal* global : watching->globals_) global->changing(whole_dict ? nullptr : key);
    return 0;
}

void WatchedNamespace::watch(PyObject* dict) noexcept {
    // Without the GIL a cached value could be freed by another thread
    // between its read and its new reference; CPython's own lookup is safe
    // and lock-free there, where a cache read would take the namespace's
    // lock and serialise every thread calling the module's functions.
    if constexpr (kFreeThreaded) return;
    release();
    if (watcher_id_ < 0) watcher_id_ = PyDict_AddWatcher(on_change);
    if (watcher_id_ < 0 || PyDict_Watch(watcher_id_, dict) < 0) {
        PyErr_Clear();
        return;
    }
    dict_ = dict;
    watching = this;
    for (WatchedGlobal* global : globals_) global->globals_ = dict;
}

void WatchedNamespace::watch_builtins(PyObject* builtins, FinalisingHook hook) noexcept {
    if (!dict_ || builtins_ == builtins) return;
    if (builtins_ && PyDict_Unwatch(watcher_id_, builtins_) < 0) PyErr_Clear();
    builtins_ = nullptr;
    if (PyDict_Watch(watcher_id_, builtins) < 0) {
        PyErr_Clear();
        return;
    }
    builtins_ = builtins;
    hook_ = hook;
}

void WatchedNamespace::release() noexcept {
    for (WatchedGlobal* global : globals_) global->globals_ = global->value_ = nullptr;
    if (dict_ && PyDict_Unwatch(watcher_id_, dict_) < 0) PyErr_Clear();
    if (builtins_ && PyDict_Unwatch(watcher_id_, builtins_) < 0) PyErr_Clear();
    if (watcher_id_ >= 0 && PyDict_ClearWatcher(watcher_id_) < 0) PyErr_Clear();
    if (watching == this) watching = nullptr;
    dict_ = builtins_ = nullptr;
    hook_ = {};
    watcher_id_ = -1;
}

}  // namespace native
