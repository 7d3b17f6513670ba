// Module globals whose reads skip the dictionary lookup. A dict watcher on
// the module's namespace drops a cached value before any change that may
// touch its name lands, so every read still sees the global's value at that
// moment, rebinding from outside included. When the interpreter has no
// watcher to spare (other libraries may hold them all), every read is an
// ordinary lookup: slower, never wrong, and never a failed import.
#pragma once

#include "ref.hpp"

#include <span>

namespace native {

class WatchedGlobal {
public:
    // `name` is where the interned name lives (a field of a names struct),
    // read at each use: the names are made again after a release.
    explicit constexpr WatchedGlobal(PyObject* const& name) noexcept : name_(&name) {}

    // The value as Python code's global lookup in `globals` gives it
    // (namespace, then builtins), or an empty Ref with NameError set.
    Ref load(PyObject* globals) noexcept {
        if (globals == globals_ && value_) return Ref::borrow(value_);
        return lookup(globals);
    }

    // Rebinds the global, as a `global` statement's assignment does; the
    // watcher drops the cached value on the way.
    bool store(PyObject* globals, PyObject* value) noexcept {
        return PyDict_SetItem(globals, *name_, value) == 0;
    }

    // The cached value, if `globals` is the watched namespace and the value
    // is cached; else NULL. Borrowed.
    PyObject* peek(PyObject* globals) const noexcept { return globals == globals_ ? value_ : nullptr; }

private:
    friend class WatchedNamespace;

    Ref lookup(PyObject* globals) noexcept;
    // Before the watched namespace changes under `key` (any key when NULL).
    void changing(PyObject* key) noexcept;

    PyObject* const* name_;
    PyObject* globals_ = nullptr;  // borrowed: the watched namespace, if any
    PyObject* value_ = nullptr;  // borrowed from globals_ while unchanged
};

// Called when the interpreter's builtins are cleared, which CPython does
// only as it finalises its modules, before its collector's passes over them.
struct FinalisingHook {
    void (*call)(void* owner) noexcept;
    void* owner;
};

// The watched globals of one module, and the dict watcher that serves them.
class WatchedNamespace {
public:
    explicit constexpr WatchedNamespace(std::span<WatchedGlobal* const> globals) noexcept : globals_(globals) {}

    // Caches the globals read from `dict` from now on, if a watcher can be
    // had; never fails.
    void watch(PyObject* dict) noexcept;
    // Tells `hook` when `builtins` are cleared, if the namespace is watched;
    // never fails. Watching builtins costs each of their changes a call of
    // the watcher, so it is asked for only when there is something to drop.
    void watch_builtins(PyObject* builtins, FinalisingHook hook) noexcept;
    // Drops every cache, unwatches the namespace and gives the watcher back.
    void release() noexcept;

private:
    static int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept;

    std::span<WatchedGlobal* const> globals_;
    PyObject* dict_ = nullptr;  // borrowed: the module keeps it alive until it releases
    PyObject* builtins_ = nullptr;  // borrowed: the interpreter's, alive as long as it is
    FinalisingHook hook_ = {};
    int watcher_id_ = -1;
};

}  // namespace native
