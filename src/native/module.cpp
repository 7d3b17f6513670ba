#include "module.hpp"

#include "function.hpp"
#include "python.hpp"
#include "watched_global.hpp"

namespace native {

namespace {

// A callback run at the end of the current interpreter's finalisation,
// after its modules are gone, with the GIL still held.
int schedule_at_interpreter_end(void (*callback)(void*), void* data) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyUnstable_AtExit(PyInterpreterState_Get(), callback, data);
#else
    return _Py_AtExit(PyInterpreterState_Get(), callback, data);
#endif
}

}  // namespace

bool ModuleGuard::check_single_interpreter() noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return false;
    std::int64_t first = -1;
    if (interpreter_id_.compare_exchange_strong(first, current) || first == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
}

PyObject* ModuleGuard::create(PyObject* spec) noexcept {
    if (!check_single_interpreter()) return nullptr;
    if (module_) return Py_NewRef(module_);
    const LayerNames* layer = layer_names();
    if (!layer) return nullptr;
    Ref name = get_attr(spec, layer->name);
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int ModuleGuard::exec(PyObject* module) noexcept {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        return -1;
    }
    if (!start_service()) return -1;
    module_ = module;
    if (body_(module)) return 0;
    // The import system drops the module object, and its m_free releases.
    module_ = nullptr;
    return -1;
}

bool ModuleGuard::start_service() noexcept {
    if (!names_.make()) return false;
    if (!release_scheduled_) {
        if (schedule_at_interpreter_end(at_interpreter_end, this) < 0) return false;
        release_scheduled_ = true;
    }
    in_service_ = true;
    return true;
}

void ModuleGuard::free(PyObject* module) noexcept {
    // A second module object, refused, goes without touching the first.
    if (module_ && module_ != module) return;
    module_ = nullptr;
    release();
}

void ModuleGuard::at_interpreter_end(void* data) noexcept {
    ModuleGuard* guard = static_cast<ModuleGuard*>(data);
    guard->release_scheduled_ = false;
    guard->module_ = nullptr;
    guard->release();
}

// Idempotent: what is already released stays so.
void ModuleGuard::release() noexcept {
    in_service_ = false;
    // A module is often freed while an exception is on its way (a failed
    // body's, say): releasing must leave it as it is.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    release_watched_globals();
    release_function_type();
    release_layer_names();
    names_.release();
    PyErr_SetRaisedException(pending.release());
}

bool bind(PyObject* module, const char* name, Ref value) noexcept {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace native
