// Multi-phase module initialisation with the rules both modules follow,
// and everything the layer keeps for one module beyond a call.
//
// Import rules: where the host's Python module (beside ours, or elsewhere on
// its package's path) is not the one ours was ported from, the import gives
// that Python module, with an ImportWarning. Otherwise: one interpreter at a time, the one holding the module; the
// module object, while it lives, is handed back by later imports; a second
// module object is refused while the first lives; a body that failed runs
// afresh at the next import.
//
// Life: `Module` holds the module object only by a weak reference, which
// CPython clears before anything else runs as the module is freed, so no
// import ever receives a dying module. What the module's functions use (its
// names, the dict watcher, traceback frames) is made when its body runs and
// released by the module's own m_clear or m_free, or, if something keeps the module
// beyond its interpreter, when that interpreter's dict is cleared at its
// end. Either way another interpreter may then import.
//
// Without the GIL (free-threaded builds) a call on another thread may be
// using the names at any moment, and counting calls would cost each one two
// atomic updates of a shared counter: there the names and code are released
// only as the interpreter ends. Imports of one module are serialised by the
// import system's module lock; what create, exec and free change, a critical
// section on the module's definition serialises against code that bypasses
// it.
#pragma once

#include "free_threading.hpp"
#include "names.hpp"
#include "ported.hpp"
#include "signature.hpp"
#include "watched_global.hpp"

#include <atomic>
#include <cstdint>

namespace native {

// What a module body works with: its module object, namespace and name,
// and the Python source this module was ported from (the `.py` of the same
// name beside it), which its functions' code objects name.
// `empty_code` is a code object that only raises, whose bytecode (as
// `bytecode`) and tables every function's code takes.
struct ModuleScope {
    PyObject* module;
    PyObject* globals;
    PyObject* name;
    PyObject* source_path;
    PyObject* empty_code;
    PyObject* bytecode;
};

inline constexpr std::size_t kMaxFunctions = 8;
// The lines of one function whose traceback frames are kept.
inline constexpr std::size_t kMaxFailingLines = 12;

class Module {
public:
    // Binds the module's globals, as the Python module's body does.
    using ModuleBody = bool (*)(const ModuleScope& scope);

    constexpr Module(const char* short_name, const Ported& ported, std::span<const NameEntry> names,
                     WatchedNamespace& watched, ModuleBody body) noexcept
        : short_name_(short_name), ported_(ported), names_(names), watched_(watched), body_(body) {}

    PyObject* create(PyObject* spec, PyModuleDef* definition) noexcept;
    int exec(PyObject* module) noexcept;
    void free(PyObject* module) noexcept;

    // Whether a function defined in `globals` belongs to the module served
    // now: then every name and cache is in place.
    bool serves(PyObject* globals) const noexcept { return globals == namespace_; }
    // A function that outlived its module (or whose module was replaced):
    // true when its call may go on in this interpreter, with the names made
    // again for it if they were released; else RuntimeError naming
    // `qualname`.
    bool admit_stray_call(const char* qualname) noexcept;

    // While a call runs, what it uses stays: a module freed meanwhile (by
    // code the call runs) is released once the last call under way ends.
    // Free-threaded builds release nothing before the interpreter ends.
    class CallInProgress {
    public:
        explicit CallInProgress(Module& module) noexcept : module_(module) {
            if constexpr (!kFreeThreaded) ++module_.calls_;
        }
        ~CallInProgress() {
            if constexpr (!kFreeThreaded) {
                if (--module_.calls_ == 0 && module_.release_when_idle_) module_.release();
            }
        }
        CallInProgress(const CallInProgress&) = delete;
        CallInProgress& operator=(const CallInProgress&) = delete;

    private:
        Module& module_;
    };

    // What is kept for the function with `index`, from its making: its
    // interned parameter names (a tuple whose first items they are, the
    // names of its code object's locals; NULL after a release), and whether
    // it checks that it returns a `str`.
    PyObject* parameter_names(std::size_t index) const noexcept {
        PyObject* code = functions_[index].code;
        return code ? reinterpret_cast<PyCodeObject*>(code)->co_localsplusnames : nullptr;
    }
    bool returns_str(std::size_t index) const noexcept { return functions_[index].returns_str; }
    // The first code made for a function stays until the release: a call
    // under way may be reading its names while the module's body runs again
    // (and the function's own __code__ may have been replaced). Every code
    // made from one definition has the same names.
    void keep_function(std::size_t index, PyObject* code, bool returns_str) noexcept {
        Function& kept = functions_[index];
        if (!kept.code) kept.code = Py_NewRef(code);
        kept.returns_str = returns_str;
    }

    // Adds the traceback entry of `function`, made from `definition`, at
    // `line` of its source, to the pending exception.
    void add_traceback_entry(const FunctionDef& definition, PyObject* function, int line) noexcept;

private:
    Ref changed_source(PyObject* spec, PyObject* origin) noexcept;
    PyObject* step_aside(PyObject* spec, PyObject* origin, PyObject* source) noexcept;
    int run_python_module(PyObject* module) noexcept;
    bool claim_interpreter(bool until_interpreter_end = true) noexcept;
    bool reserve(PyObject* module) noexcept;
    void forget_or_release() noexcept;
    static bool is_python_module(PyObject* module) noexcept;
    bool keep_until_interpreter_end() noexcept;
    Ref live_module() noexcept;
    bool run_body(PyObject* module) noexcept;
    void forget_module() noexcept;
    void drop_frames() noexcept;
    void release() noexcept;
    static void at_interpreter_end(PyObject* keeper) noexcept;

    const char* short_name_;
    Ported ported_;
    std::span<const NameEntry> names_;
    WatchedNamespace& watched_;
    ModuleBody body_;

    // Creates may run under different GILs (own-GIL sub-interpreters): the
    // interpreter whose objects these are, or -1 when none are made.
    std::atomic<std::int64_t> interpreter_{-1};
    PyObject* module_weakref_ = nullptr;
    // Compared only: the module whose body ran, until it is freed.
    Shared<PyObject*> module_ = nullptr;
    int calls_ = 0;  // calls of the module's functions under way (with the GIL)
    bool release_when_idle_ = false;  // the module is gone, or a stray call made the names
    Shared<PyObject*> namespace_ = nullptr;  // borrowed: that module's namespace
    struct Function {
        Shared<PyObject*> code;  // as made: the function's __code__ may be reassigned
        Shared<bool> returns_str;
        // Traceback frames, each made at the function's first failure at its
        // line: a slot is claimed by its line + 1 (0: free), then filled.
        std::atomic<int> frame_lines[kMaxFailingLines];
        std::atomic<PyObject*> frames[kMaxFailingLines];
    };
    Function functions_[kMaxFunctions] = {};
};

// The slots of a module governed by `module`. The create slot refuses every
// interpreter but the one holding it, which is what makes own-GIL support
// sound.
template <Module& module>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef* definition) noexcept -> PyObject* {
         return module.create(spec, definition);
     })},
    {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* object) noexcept -> int { return module.exec(object); })},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_mod_gil
    // Safe without the GIL: see the notes on free-threaded builds above.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// The definition of such a module: its name, docstring and slots; no
// per-module state and no module-level C functions.
// The collector may clear a module (m_clear, then its namespace) long
// before freeing it (m_free): either releases.
template <Module& module>
PyModuleDef module_def(const char* name, const char* doc) noexcept {
    return {PyModuleDef_HEAD_INIT,
            name,
            doc,
            0,
            nullptr,
            module_slots<module>,
            nullptr,
            [](PyObject* object) noexcept -> int {
                module.free(object);
                return 0;
            },
            [](void* object) noexcept { module.free(static_cast<PyObject*>(object)); }};
}

// Binds a module global (in the order of the calls, as a module body does).
// Takes the value as returned by the step that made it: an empty Ref means
// that step failed, and the failure is passed on.
bool bind(PyObject* module, const char* name, Ref value) noexcept;

}  // namespace native
