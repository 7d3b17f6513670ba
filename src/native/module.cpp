#include "module.hpp"

#include "names.hpp"
#include "python.hpp"

namespace native {

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
    module_ = Py_NewRef(module);
    if (body_(module)) return 0;
    Py_CLEAR(module_);
    return -1;
}

bool bind(PyObject* module, const char* name, Ref value) noexcept {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace native
