// tavrin.telemetry.hostprint: the machine's stable identifier, a UUID v4
// kept in the module global `_cached` and in the file `_HOSTPRINT_FILE`.
// Every mention of a module global reads it afresh, as Python code would.

#include "function.hpp"
#include "module.hpp"
#include "names.hpp"
#include "python.hpp"
#include "watched_global.hpp"

namespace {

using native::Arguments;
using native::Ref;

// Interned names and constants, made before the module body runs and
// released with the module (native::ModuleGuard).
struct Names {
    PyObject *uuid, *uuid4, *pathlib, *Path, *tavrin_config, *CONFIG_DIR;
    PyObject *hostprint_file, *cached, *file_name;
    PyObject *exists, *read_text, *strip, *parent, *mkdir, *write_text;
    PyObject *encoding_keywords, *mkdir_keywords, *utf_8, *name;
};
Names names;

const native::Interned name_texts[] = {
    {&names.uuid, "uuid"},
    {&names.uuid4, "uuid4"},
    {&names.pathlib, "pathlib"},
    {&names.Path, "Path"},
    {&names.tavrin_config, "tavrin.config"},
    {&names.CONFIG_DIR, "CONFIG_DIR"},
    {&names.hostprint_file, "_HOSTPRINT_FILE"},
    {&names.cached, "_cached"},
    {&names.file_name, "hostprint"},
    {&names.exists, "exists"},
    {&names.read_text, "read_text"},
    {&names.strip, "strip"},
    {&names.parent, "parent"},
    {&names.mkdir, "mkdir"},
    {&names.write_text, "write_text"},
    {&names.utf_8, "utf-8"},
    {&names.name, "name"},
};
const native::InternedTuple tuple_texts[] = {
    {&names.encoding_keywords, {"encoding"}},
    {&names.mkdir_keywords, {"parents", "exist_ok"}},
};
native::NameTable name_table(name_texts, tuple_texts);

// The globals that get_hostprint reads at every call.
struct Globals {
    native::WatchedGlobal cached, hostprint_file, uuid;

    bool watch(PyObject* globals) noexcept {
        if (!cached.watch(globals, names.cached)) return false;
        if (!hostprint_file.watch(globals, names.hostprint_file)) return false;
        return uuid.watch(globals, names.uuid);
    }
};
Globals module_globals;

// Step 4: the directory and the file. Any failure leaves its error set.
bool persist() noexcept {
    Ref file = module_globals.hostprint_file.load();
    if (!file) return false;
    Ref directory = native::get_attr(file.get(), names.parent);
    if (!directory) return false;
    if (!native::call_method_kw(directory.get(), names.mkdir, names.mkdir_keywords, Py_True, Py_True)) return false;
    // Both globals are read anew, as the step names them: mkdir may have run
    // code that rebound them.
    Ref file_again = module_globals.hostprint_file.load();
    if (!file_again) return false;
    Ref identifier = module_globals.cached.load();
    if (!identifier) return false;
    return static_cast<bool>(native::call_method_kw(file_again.get(), names.write_text, names.encoding_keywords,
                                                    identifier.get(), names.utf_8));
}

// Step 1 when the cache holds a non-empty exact str: true by its length, so
// nothing is called, and the answer needs no recursion guard.
PyObject* known_identifier() noexcept {
    PyObject* cached = module_globals.cached.peek();
    if (cached && PyUnicode_CheckExact(cached) && PyUnicode_GET_LENGTH(cached) != 0) {
        return Py_NewRef(cached);
    }
    return nullptr;
}

Ref get_hostprint(const Arguments&) noexcept {
    // 1. The memory cache, by truth value.
    Ref cached = module_globals.cached.load();
    if (!cached) return {};
    const int known = native::truth(cached.get());
    if (known < 0) return {};
    // Each return reads the global again, as `return _cached` does.
    if (known) return module_globals.cached.load();

    // 2. The file, stripped; blank content counts as no identifier.
    Ref file = module_globals.hostprint_file.load();
    if (!file) return {};
    const int present = native::truth_of(native::call_method(file.get(), names.exists));
    if (present < 0) return {};
    if (present) {
        // Read again: exists() may have run code that rebound it.
        Ref file_again = module_globals.hostprint_file.load();
        if (!file_again) return {};
        Ref text = native::call_method_kw(file_again.get(), names.read_text, names.encoding_keywords,
                                          names.utf_8);
        if (!text) return {};
        Ref content = native::call_method(text.get(), names.strip);
        const int has_content = native::truth_of(content);
        if (has_content < 0) return {};
        if (has_content) {
            if (!module_globals.cached.store(content.get())) return {};
            return module_globals.cached.load();
        }
    }

    // 3. A new identifier, cached before any attempt to persist it.
    Ref uuid = module_globals.uuid.load();
    if (!uuid) return {};
    Ref generated = native::call_method(uuid.get(), names.uuid4);
    if (!generated) return {};
    Ref identifier = Ref::steal(PyObject_Str(generated.get()));
    if (!identifier) return {};
    if (!module_globals.cached.store(identifier.get())) return {};

    // 4. Persisting is best effort: an OSError only costs the next process
    // its continuity.
    if (!persist() && !native::swallow(PyExc_OSError)) return {};

    // 5.
    return module_globals.cached.load();
}

// True when the pending exception is a ModuleNotFoundError for `module`.
bool missing_module_is(PyObject* module) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref missing = native::get_attr(exception.get(), names.name);
    const bool same = missing && PyUnicode_Check(missing.get()) &&
                      PyUnicode_Compare(missing.get(), module) == 0;
    PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    return same;
}

// Step 3 of the module body. This distribution installs beside the host
// tool, which provides tavrin.config: without it, the error says so.
Ref import_config_dir() noexcept {
    Ref config_dir = native::import_from(names.tavrin_config, names.CONFIG_DIR);
    if (!config_dir && missing_module_is(names.tavrin_config)) {
        native::add_note("tavrin.telemetry.hostprint takes CONFIG_DIR from the host tool's tavrin.config: "
                         "install the host tool (the tavrin distribution) beside tavrin-native.");
    }
    return config_dir;
}

// `_HOSTPRINT_FILE = CONFIG_DIR / "hostprint"`, with CONFIG_DIR as just bound.
Ref hostprint_file(PyObject* globals) noexcept {
    Ref config_dir = native::load_global(globals, names.CONFIG_DIR);
    if (!config_dir) return {};
    return Ref::steal(PyNumber_TrueDivide(config_dir.get(), names.file_name));
}

const native::FunctionDef get_hostprint_def = {
    .name = "get_hostprint",
    .qualname = "get_hostprint",
    .doc = "获取本机唯一标识。\n"
           "\n"
           "    优先返回内存缓存，其次读取文件，首次运行时生成并持久化。\n"
           "\n"
           "    Returns:\n"
           "        UUID v4 格式的机器唯一标识字符串\n"
           "    ",
    .return_annotation = "str",
    .body = get_hostprint,
    .line = __LINE__,
    .shortcut = known_identifier,
};

bool run_module_body(PyObject* module) noexcept;
native::ModuleGuard guard("hostprint", name_table, run_module_body);

bool run_module_body(PyObject* module) noexcept {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyObject* globals = PyModule_GetDict(module);
    const native::ModuleContext context{module, globals, module_name.get(), "tavrin/telemetry/hostprint.cpp", &guard};
    if (!native::bind(module, "__builtins__", Ref::borrow(PyEval_GetBuiltins()))) return false;
    if (!native::bind(module, "uuid", native::import_module(names.uuid))) return false;
    if (!native::bind(module, "Path", native::import_from(names.pathlib, names.Path))) return false;
    if (!native::bind(module, "CONFIG_DIR", import_config_dir())) return false;
    if (!native::bind(module, "_HOSTPRINT_FILE", hostprint_file(globals))) return false;
    if (!native::bind(module, "_cached", Ref::borrow(Py_None))) return false;
    if (!module_globals.watch(globals)) return false;
    return native::bind(module, "get_hostprint", native::make_function(get_hostprint_def, context));
}

PyModuleDef hostprint_module = native::guarded_module_def<guard>(
    "hostprint",
    "机器唯一标识管理。\n"
    "\n"
    "在 ~/.config/tavrin/hostprint 文件中持久化 UUID v4，\n"
    "首次运行时自动生成，后续复用（内存缓存 + 文件持久化双层）。\n");

}  // namespace

PyMODINIT_FUNC PyInit_hostprint() {
    return PyModuleDef_Init(&hostprint_module);
}
