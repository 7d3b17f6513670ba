// Multi-phase module initialisation with the rules both modules follow:
// one interpreter per process; the module object, once its body has run, is
// handed back by later imports; a second module object is refused; a body
// that failed runs afresh at the next import.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <cstdint>

namespace native {

class ModuleGuard {
public:
    using Body = bool (*)(PyObject* module);

    constexpr ModuleGuard(const char* short_name, Body body) noexcept
        : short_name_(short_name), body_(body) {}

    PyObject* create(PyObject* spec) noexcept;
    int exec(PyObject* module) noexcept;

private:
    bool check_single_interpreter() noexcept;

    const char* short_name_;
    Body body_;
    // Creates may run under different GILs (own-GIL sub-interpreters).
    std::atomic<std::int64_t> interpreter_id_{-1};
    PyObject* module_ = nullptr;  // the module whose body ran, or is running
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

// The definition of such a module: its name, docstring and guarded slots;
// no per-module state and no module-level C functions.
inline PyModuleDef guarded_module_def(const char* name, const char* doc, PyModuleDef_Slot* slots) noexcept {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

// Binds a module global (in the order of the calls, as a module body does).
// Takes the value as returned by the step that made it: an empty Ref means
// that step failed, and the failure is passed on.
bool bind(PyObject* module, const char* name, Ref value) noexcept;

}  // namespace native
