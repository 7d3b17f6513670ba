// A module global whose reads skip the dictionary lookup. A dict watcher on
// the module's namespace drops the cached value before any change to that
// namespace lands, so every read still sees the global's value at that
// moment, rebinding from outside included. When the interpreter has no
// watcher to spare (other libraries may hold them all), every read is an
// ordinary lookup: slower, never wrong, and never a failed import.
#pragma once

#include "ref.hpp"

namespace native {

class WatchedGlobal {
public:
    // Reads `name` (an interned str) of the namespace `globals` from now on,
    // cached while a watcher can be had.
    bool watch(PyObject* globals, PyObject* name) noexcept;

    // The value as Python code's global lookup gives it (namespace, then
    // builtins), or an empty Ref with NameError set.
    Ref load() noexcept;

    // Rebinds the global, as a `global` statement's assignment does; the
    // watcher drops the cached value on the way.
    bool store(PyObject* value) noexcept { return PyDict_SetItem(globals_, name_, value) == 0; }

    // The value bound in the namespace, from the cache or, without a
    // watcher, by a lookup that leaves no error; else NULL (then `load`
    // decides). Borrowed.
    PyObject* peek() const noexcept {
        if (value_ || watched_) return value_;
        return PyDict_GetItem(globals_, name_);
    }

    // Called by the watcher, before `globals` changes under `key` (any key
    // when NULL).
    void changing(PyObject* globals, PyObject* key) noexcept;

    // Forgets the namespace: the module that owned it is gone. Until watched
    // again, peek() answers NULL, and load() must not be called.
    void reset() noexcept {
        *this = WatchedGlobal();
        watched_ = true;
    }

private:
    PyObject* globals_ = nullptr;  // borrowed: the module keeps it alive
    PyObject* name_ = nullptr;
    PyObject* value_ = nullptr;  // borrowed from globals_ while unchanged
    bool watched_ = false;  // false: no watcher, so nothing is ever cached
};

// Resets every watched global and gives the watcher back to the
// interpreter, whose modules are done with them.
void release_watched_globals() noexcept;

}  // namespace native
