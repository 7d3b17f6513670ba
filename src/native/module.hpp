// Multi-phase module initialisation with the rules both modules follow:
// one interpreter per process; the module object, once its body has run, is
// handed back by later imports; a second module object is refused; a body
// that failed runs afresh at the next import.
//
// Its life in a process: the module's names and the layer's shared objects
// live in static storage, made when the body runs and released when the
// module object is freed (its m_free), which CPython does as it finalises
// the interpreter's modules. The guard holds the module object only
// borrowed: the module's functions hold it strongly, so it lives as long as
// any of them, exactly like the module they came from, and is collected
// with its cycles like a Python module. A module that something keeps
// beyond its interpreter is released at the interpreter's very end instead.
// After a release, a new interpreter (Py_FinalizeEx, then Py_Initialize)
// imports the module afresh.
#pragma once

#include "names.hpp"

#include <atomic>
#include <cstdint>

namespace native {

class ModuleGuard {
public:
    using Body = bool (*)(PyObject* module);

    constexpr ModuleGuard(const char* short_name, NameTable& names, Body body) noexcept
        : short_name_(short_name), names_(names), body_(body) {}

    PyObject* create(PyObject* spec) noexcept;
    int exec(PyObject* module) noexcept;
    void free(PyObject* module) noexcept;

    // Whether the module's names and the layer's objects are there for its
    // functions to use: false once released.
    bool in_service() const noexcept { return in_service_; }

private:
    bool check_single_interpreter() noexcept;
    bool start_service() noexcept;
    void release() noexcept;
    static void at_interpreter_end(void* guard) noexcept;

    const char* short_name_;
    NameTable& names_;
    Body body_;
    // Creates may run under different GILs (own-GIL sub-interpreters).
    std::atomic<std::int64_t> interpreter_id_{-1};
    PyObject* module_ = nullptr;  // borrowed: the module whose body ran, or is running
    bool in_service_ = false;
    bool release_scheduled_ = false;  // at the end of the current interpreter
};

// The slots of a module governed by `guard`. The create slot refuses every
// interpreter but the first, which is what makes own-GIL support sound.
template <ModuleGuard& guard>
inline PyModuleDef_Slot guarded_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef*) noexcept -> PyObject* {
         return guard.create(spec);
     })},
    {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) noexcept -> int {
         return guard.exec(module);
     })},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

// Called for every module object of the definition as it is freed.
template <ModuleGuard& guard>
void guarded_free(void* module) noexcept {
    guard.free(static_cast<PyObject*>(module));
}

// The definition of such a module: its name, docstring and guarded slots;
// no per-module state and no module-level C functions.
template <ModuleGuard& guard>
PyModuleDef guarded_module_def(const char* name, const char* doc) noexcept {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, guarded_slots<guard>, nullptr, nullptr,
            guarded_free<guard>};
}

// Binds a module global (in the order of the calls, as a module body does).
// Takes the value as returned by the step that made it: an empty Ref means
// that step failed, and the failure is passed on.
bool bind(PyObject* module, const char* name, Ref value) noexcept;

}  // namespace native
