#include "module.hpp"

#include "python.hpp"

#include <algorithm>

namespace native {

namespace {

constexpr const char* kKeeperName = "tavrin-native module keeper";

// A module's definition: an object that lives as long as the library, whose
// critical section serialises what create, exec and free change.
PyObject* definition_of(PyObject* module) noexcept {
    return reinterpret_cast<PyObject*>(PyModule_GetDef(module));
}

std::int64_t current_interpreter() noexcept {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// The `.py` of `short_name` in the folder of `file`, our module's file (a
// str, or NULL when it has none): the Python module ours was ported from,
// named whether or not it is there.
Ref source_beside(PyObject* file, const char* short_name) noexcept {
    if (!file || !PyUnicode_Check(file)) return Ref::steal(PyUnicode_FromFormat("%s.py", short_name));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(file);
    Py_ssize_t folder_end = PyUnicode_FindChar(file, '/', 0, length, -1);
#ifdef _WIN32
    folder_end = std::max(folder_end, PyUnicode_FindChar(file, '\\', 0, length, -1));
#endif
    if (folder_end < -1) return {};
    Ref folder = Ref::steal(PyUnicode_Substring(file, 0, folder_end + 1));
    if (!folder) return {};
    return Ref::steal(PyUnicode_FromFormat("%U%s.py", folder.get(), short_name));
}

Ref call_util(const char* function, PyObject* args, PyObject* keywords = nullptr) noexcept {
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!util) return {};
    Ref callable = Ref::steal(PyObject_GetAttrString(util.get(), function));
    if (!callable || !args) return {};
    return Ref::steal(PyObject_Call(callable.get(), args, keywords));
}

}  // namespace

// `until_interpreter_end`: a keeper releases what is made when the
// interpreter ends, if nothing else has by then.
bool Module::claim_interpreter(bool until_interpreter_end) noexcept {
    const std::int64_t current = current_interpreter();
    if (current < 0) return false;
    std::int64_t holder = -1;
    if (interpreter_.compare_exchange_strong(holder, current)) {
        if (make_names(names_) && (!until_interpreter_end || keep_until_interpreter_end())) return true;
        release_names(names_);
        interpreter_.store(-1);
        return false;
    }
    if (holder == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
}

// The interpreter's dict, cleared as the interpreter ends, holds a keeper
// whose destruction releases what is still made.
bool Module::keep_until_interpreter_end() noexcept {
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interpreter_dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dict to keep module state in");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("%s %s", kKeeperName, short_name_));
    if (!key) return false;
    const int kept = PyDict_Contains(interpreter_dict, key.get());
    if (kept != 0) return kept > 0;
    Ref keeper = Ref::steal(PyCapsule_New(this, kKeeperName, at_interpreter_end));
    if (!keeper) return false;
    if (PyCapsule_SetContext(keeper.get(), reinterpret_cast<void*>(static_cast<std::intptr_t>(interpreter_.load()))) < 0) {
        return false;
    }
    return PyDict_SetItem(interpreter_dict, key.get(), keeper.get()) == 0;
}

void Module::at_interpreter_end(PyObject* keeper) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    auto* module = static_cast<Module*>(PyCapsule_GetPointer(keeper, kKeeperName));
    const auto ending = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(PyCapsule_GetContext(keeper)));
    if (module && module->interpreter_.load() == ending) module->release();
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

Ref Module::live_module() noexcept {
    if (!module_weakref_) return {};
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* module = nullptr;
    if (PyWeakref_GetRef(module_weakref_, &module) < 0) PyErr_Clear();
    return Ref::steal(module);
#else
    PyObject* module = PyWeakref_GetObject(module_weakref_);
    return Ref::borrow(module && module != Py_None ? module : nullptr);
#endif
}

// The host's Python module that the import system would give without ours:
// the `.py` beside ours, or, when there is none (an editable host keeps its
// sources in another folder of the package's path), the first in the
// package's other folders. NULL when ours is to be used: no such file, or
// the one ours was ported from.
Ref Module::changed_source(PyObject* spec, PyObject* origin) noexcept {
    Ref beside = source_beside(origin, short_name_);
    if (!beside) return {};
    const SourceBeside verdict = compare_source(beside.get(), ported_);
    if (verdict != SourceBeside::Absent) return verdict == SourceBeside::Differs ? std::move(beside) : Ref();
    Ref parent_name = Ref::steal(PyObject_GetAttrString(spec, "parent"));
    Ref parent = parent_name ? Ref::steal(PyImport_GetModule(parent_name.get())) : Ref();
    Ref folders = parent ? Ref::steal(PyObject_GetAttrString(parent.get(), "__path__")) : Ref();
    Ref iterator = folders ? Ref::steal(PyObject_GetIter(folders.get())) : Ref();
    if (!iterator) {
        PyErr_Clear();
        return {};
    }
    while (Ref folder = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(folder.get())) continue;
        Ref source = Ref::steal(PyUnicode_FromFormat("%U/%s.py", folder.get(), short_name_));
        if (!source) break;
        const SourceBeside found = compare_source(source.get(), ported_);
        if (found != SourceBeside::Absent) return found == SourceBeside::Differs ? std::move(source) : Ref();
    }
    PyErr_Clear();
    return {};
}

PyObject* Module::create(PyObject* spec, PyModuleDef* definition) noexcept {
    // The host's Python module, if it is not what ours was ported from, is
    // what the import gives.
    Ref origin = Ref::steal(PyObject_GetAttrString(spec, "origin"));
    if (!origin) return nullptr;
    if (Ref changed = changed_source(spec, origin.get())) return step_aside(spec, origin.get(), changed.get());
    if (PyErr_Occurred()) return nullptr;
    {
        CriticalSection serialised(reinterpret_cast<PyObject*>(definition));
        if (!claim_interpreter()) return nullptr;
        if (Ref live = live_module()) return live.release();
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// As the import system would import the Python module without ours: a
// module made from its spec now, its body run by exec.
PyObject* Module::step_aside(PyObject* spec, PyObject* origin, PyObject* source) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    if (PyErr_WarnFormat(PyExc_ImportWarning, 1,
                         "%U is not the Python module that %U was built from: the host's module has changed, "
                         "so %U is imported from it instead",
                         source, origin, name.get()) < 0) {
        return nullptr;
    }
    Ref python_spec = call_util("spec_from_file_location", Ref::steal(PyTuple_Pack(2, name.get(), source)).get());
    if (!python_spec) return nullptr;
    return call_util("module_from_spec", Ref::steal(PyTuple_Pack(1, python_spec.get())).get()).release();
}

// A module that create made from the host's Python source: its file is that
// source, where ours is the extension module's.
bool Module::is_python_module(PyObject* module) noexcept {
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    Ref suffix = file ? Ref::steal(PyUnicode_FromString(".py")) : Ref();
    const Py_ssize_t python = suffix ? PyUnicode_Tailmatch(file.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1) : -1;
    // A module without a file, or one that cannot be told, is taken for ours.
    if (python < 0) PyErr_Clear();
    return python == 1;
}

// The import system has meanwhile given the module our spec and our
// docstring: it gets its own spec back and no docstring but its source's,
// then its loader runs the body.
int Module::run_python_module(PyObject* module) noexcept {
    if (PyObject_SetAttrString(module, "__doc__", Py_None) < 0) return -1;
    Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref file = Ref::steal(PyObject_GetAttrString(module, "__file__"));
    Ref loader = Ref::steal(PyObject_GetAttrString(module, "__loader__"));
    if (!name || !file || !loader) return -1;
    Ref keywords = Ref::steal(Py_BuildValue("{sO}", "loader", loader.get()));
    if (!keywords) return -1;
    Ref python_spec = call_util("spec_from_file_location", Ref::steal(PyTuple_Pack(2, name.get(), file.get())).get(),
                                keywords.get());
    if (!python_spec || PyObject_SetAttrString(module, "__spec__", python_spec.get()) < 0) return -1;
    return Ref::steal(PyObject_CallMethod(loader.get(), "exec_module", "O", module)) ? 0 : -1;
}

int Module::exec(PyObject* module) noexcept {
    if (module == module_) return 0;
    if (is_python_module(module)) return run_python_module(module);
    CriticalSection serialised(definition_of(module));
    if (!reserve(module)) return -1;
    if (run_body(module)) return 0;
    // The import system drops the module object; what it made goes now, so
    // that the next import, from any interpreter, starts afresh.
    forget_or_release();
    return -1;
}

// Makes `module` the one served, unless another lives.
bool Module::reserve(PyObject* module) noexcept {
    if (live_module()) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
        return false;
    }
    if (!claim_interpreter()) return false;
    // The module served so far, if any, is being freed: its weak reference
    // is dead, though its m_free has not run yet.
    forget_module();
    module_weakref_ = PyWeakref_NewRef(module, nullptr);
    if (!module_weakref_) {
        forget_or_release();
        return false;
    }
    module_ = module;
    namespace_ = PyModule_GetDict(module);
    return true;
}

bool Module::run_body(PyObject* module) noexcept {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) PyErr_Clear();
    Ref source_path = source_beside(file.get(), short_name_);
    if (!source_path) return false;
    Ref empty_code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(short_name_, short_name_, 1)));
    if (!empty_code) return false;
    Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty_code.get())));
    if (!bytecode) return false;
    // As in a Python module, __builtins__ comes first.
    if (!bind(module, "__builtins__", Ref::borrow(PyEval_GetBuiltins()))) return false;
    if (!body_({module, namespace_, name.get(), source_path.get(), empty_code.get(), bytecode.get()})) return false;
    release_when_idle_ = false;  // a module holds what is made now
    watched_.watch(namespace_);
    return true;
}

void Module::free(PyObject* module) noexcept {
    // A second module object, refused, goes without touching the first.
    if (module != module_) return;
    CriticalSection serialised(definition_of(module));
    if (module != module_) return;
    if (calls_ != 0) {
        forget_module();
        release_when_idle_ = true;
        return;
    }
    forget_or_release();
}

// The module is gone: with the GIL, what it made goes too; without it, the
// names and code stay for calls on other threads until the interpreter ends.
void Module::forget_or_release() noexcept {
    if constexpr (kFreeThreaded) {
        forget_module();
    } else {
        release();
    }
}

bool Module::admit_stray_call(const char* qualname) noexcept {
    const std::int64_t current = current_interpreter();
    std::int64_t holder = interpreter_.load();
    if (holder == current) return true;
    // Names are made again only while the interpreter is fully alive, never
    // in the middle of its finalisation, and only for this call (without the
    // GIL: until the interpreter ends).
    if (holder == -1 && Py_IsInitialized() && claim_interpreter(kFreeThreaded)) {
        if constexpr (!kFreeThreaded) release_when_idle_ = true;
        return true;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "%s() was called after its module was finalised", qualname);
    return false;
}

void Module::add_traceback_entry(const FunctionDef& definition, PyObject* function, int line) noexcept {
    Function& kept = functions_[definition.index];
    // Slots are claimed by their line, then filled; another thread may be
    // filling one, and then this failure makes a frame of its own.
    const int key = line + 1;
    std::size_t slot = 0;
    int slot_key = 0;
    while (slot < kMaxFailingLines && (slot_key = kept.frame_lines[slot].load(std::memory_order_acquire)) != 0 &&
           slot_key != key) {
        ++slot;
    }
    if (slot_key == key) {
        if (PyObject* frame = kept.frames[slot].load(std::memory_order_acquire)) {
            add_traceback(frame);
            return;
        }
    }
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref frame = make_traceback_frame(function, definition.qualname, line);
    PyErr_Clear();
    // Making it may have run code that kept one meanwhile: the first one
    // stays. Nothing is kept for a module already released.
    int unclaimed = 0;
    if (frame && slot < kMaxFailingLines && interpreter_.load() >= 0 &&
        kept.frame_lines[slot].compare_exchange_strong(unclaimed, key)) {
        // A kept frame keeps the namespace alive: it goes as finalisation
        // begins, so that the module's objects go in the collector's first
        // pass (with the GIL; without it, namespaces are not watched).
        watched_.watch_builtins(PyEval_GetBuiltins(),
                                {[](void* owner) noexcept { static_cast<Module*>(owner)->drop_frames(); }, this});
        kept.frames[slot].store(Py_NewRef(frame.get()), std::memory_order_release);
    }
    PyErr_SetRaisedException(pending.release());
    if (frame) add_traceback(frame.get());
}

void Module::drop_frames() noexcept {
    // Slots are claimed in order.
    for (Function& kept : functions_) {
        for (std::size_t slot = 0; slot < kMaxFailingLines && kept.frame_lines[slot].load() != 0; ++slot) {
            Py_XDECREF(kept.frames[slot].exchange(nullptr));
            kept.frame_lines[slot].store(0);
        }
    }
}

void Module::forget_module() noexcept {
    // Without the GIL nothing is watched, and a call on another thread may
    // be reading a frame: frames go as the interpreter ends.
    if constexpr (!kFreeThreaded) {
        watched_.release();
        drop_frames();
    }
    Py_CLEAR(module_weakref_);
    module_ = namespace_ = nullptr;
}

// Idempotent. A module is often freed while an exception is on its way (a
// failed body's, say): releasing leaves it as it is.
void Module::release() noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    forget_module();
    if constexpr (kFreeThreaded) drop_frames();  // forget_module has dropped them otherwise
    for (Function& kept : functions_) {
        PyObject* code = kept.code;
        kept.code = nullptr;
        Py_XDECREF(code);
    }
    release_names(names_);
    release_when_idle_ = false;
    interpreter_.store(-1);
    PyErr_SetRaisedException(pending.release());
}

bool bind(PyObject* module, const char* name, Ref value) noexcept {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace native
