// What differs on a free-threaded CPython (built with --disable-gil), where
// calls of one function run at once on several threads. Elsewhere these
// compile to what the GIL already makes safe, at no cost.
#pragma once

#include "ref.hpp"

#include <atomic>

namespace native {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
// A value written by one thread while others read it.
template <typename T>
using Shared = std::atomic<T>;
#else
inline constexpr bool kFreeThreaded = false;
template <typename T>
using Shared = T;
#endif

// Serialises the scope against other threads in a critical section on
// `object`, CPython's own per-object lock; with the GIL, the GIL does.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// The value of `key` in `dict` as a new reference; an empty Ref, with an
// error set only when the lookup failed, when it is absent. Without the GIL
// a borrowed value may be freed by another thread before it is used.
inline Ref dict_item(PyObject* dict, PyObject* key) noexcept {
#ifdef Py_GIL_DISABLED
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return Ref::steal(value);
#else
    return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

}  // namespace native
