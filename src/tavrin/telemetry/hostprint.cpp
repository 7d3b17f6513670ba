// tavrin.telemetry.hostprint: the machine's stable identifier, a UUID v4
// kept in the module global `_cached` and in the file `_HOSTPRINT_FILE`.
// Every mention of a module global reads it afresh, as Python code would.

#include "docstring.hpp"
#include "function.hpp"
#include "module.hpp"
#include "names.hpp"
#include "python.hpp"
#include "watched_global.hpp"

namespace {

using native::Call;
using native::Ref;

// Names and constant texts, made before the module body runs and
// released with the module (native::Module).
#define HOSTPRINT_NAMES(NAME, TUPLE)          \
    NAME(uuid, "uuid")                         \
    NAME(uuid4, "uuid4")                       \
    NAME(pathlib, "pathlib")                   \
    NAME(Path, "Path")                         \
    NAME(tavrin_config, "tavrin.config")       \
    NAME(CONFIG_DIR, "CONFIG_DIR")             \
    NAME(hostprint_file, "_HOSTPRINT_FILE")    \
    NAME(cached, "_cached")                    \
    NAME(file_name, "hostprint")               \
    NAME(exists, "exists")                     \
    NAME(read_text, "read_text")               \
    NAME(strip, "strip")                       \
    NAME(parent, "parent")                     \
    NAME(mkdir, "mkdir")                       \
    NAME(write_text, "write_text")             \
    NAME(utf_8, "utf-8")                       \
    NAME(name, "name")                         \
    TUPLE(encoding_keywords, "encoding")       \
    TUPLE(mkdir_keywords, "parents", "exist_ok")
NATIVE_NAMES(HOSTPRINT_NAMES);

// The globals that get_hostprint reads at every call.
struct Globals {
    native::WatchedGlobal cached{names.cached}, hostprint_file{names.hostprint_file}, uuid{names.uuid};
};
Globals module_globals;
native::WatchedGlobal* const watched_list[] = {&module_globals.cached, &module_globals.hostprint_file,
                                               &module_globals.uuid};
native::WatchedNamespace watched(watched_list);

// Step 4: the directory and the file. Any failure leaves its error set.
bool persist(Call& call) noexcept {
    PyObject* globals = call.globals;
    call.at(36);
    Ref file = module_globals.hostprint_file.load(globals);
    if (!file) return false;
    Ref directory = native::get_attr(file.get(), names.parent);
    if (!directory) return false;
    if (!native::call_method_kw(directory.get(), names.mkdir, names.mkdir_keywords, Py_True, Py_True)) return false;
    // Both globals are read anew, as the step names them: mkdir may have run
    // code that rebound them.
    call.at(37);
    Ref file_again = module_globals.hostprint_file.load(globals);
    if (!file_again) return false;
    Ref identifier = module_globals.cached.load(globals);
    if (!identifier) return false;
    return static_cast<bool>(native::call_method_kw(file_again.get(), names.write_text, names.encoding_keywords,
                                                    identifier.get(), names.utf_8));
}

// Step 1 when the cache holds a non-empty exact str: true by its length, so
// nothing is called, and the answer needs no recursion guard.
PyObject* known_identifier(PyObject* globals) noexcept {
    PyObject* cached = module_globals.cached.peek(globals);
    if (cached && PyUnicode_CheckExact(cached) && PyUnicode_GET_LENGTH(cached) != 0) {
        return Py_NewRef(cached);
    }
    return nullptr;
}

Ref get_hostprint(Call& call) noexcept {
    PyObject* globals = call.globals;

    // 1. The memory cache, by truth value.
    call.at(25);
    Ref cached = module_globals.cached.load(globals);
    if (!cached) return {};
    const int known = native::truth(cached.get());
    if (known < 0) return {};
    // Each return reads the global again, as `return _cached` does.
    call.at(42);
    if (known) return module_globals.cached.load(globals);

    // 2. The file, stripped; blank content counts as no identifier.
    call.at(27);
    Ref file = module_globals.hostprint_file.load(globals);
    if (!file) return {};
    const int present = native::truth_of(native::call_method(file.get(), names.exists));
    if (present < 0) return {};
    if (present) {
        // Read again: exists() may have run code that rebound it.
        call.at(28);
        Ref file_again = module_globals.hostprint_file.load(globals);
        if (!file_again) return {};
        Ref text = native::call_method_kw(file_again.get(), names.read_text, names.encoding_keywords,
                                          names.utf_8);
        if (!text) return {};
        Ref content = native::call_method(text.get(), names.strip);
        const int has_content = native::truth_of(content);
        if (has_content < 0) return {};
        if (has_content) {
            call.at(30);
            if (!module_globals.cached.store(globals, content.get())) return {};
            call.at(42);
            return module_globals.cached.load(globals);
        }
    }

    // 3. A new identifier, cached before any attempt to persist it.
    call.at(34);
    Ref uuid = module_globals.uuid.load(globals);
    if (!uuid) return {};
    Ref generated = native::call_method(uuid.get(), names.uuid4);
    if (!generated) return {};
    Ref identifier = Ref::steal(PyObject_Str(generated.get()));
    if (!identifier) return {};
    if (!module_globals.cached.store(globals, identifier.get())) return {};

    // 4. Persisting is best effort: an OSError only costs the next process
    // its continuity.
    if (!persist(call) && !native::swallow(PyExc_OSError)) return {};

    // 5.
    call.at(42);
    return module_globals.cached.load(globals);
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
    .doc = native::docstring<"获取本机唯一标识。\n"
           "\n"
           "    优先返回内存缓存，其次读取文件，首次运行时生成并持久化。\n"
           "\n"
           "    Returns:\n"
           "        UUID v4 格式的机器唯一标识字符串\n"
           "    ">,
    .return_annotation = "str",
    .return_check_line = 41,
    .body = get_hostprint,
    .line = 16,
    .index = 0,
    .shortcut = known_identifier,
};

bool run_module_body(const native::ModuleScope& scope) noexcept;
// The host's Python module this one is ported from, as the build found it:
// only its size and digest are kept.
constexpr unsigned char ported_source[] = {
#include "ported_source.inc"
};
constexpr native::Ported ported = native::ported_from(ported_source);
native::Module hostprint("hostprint", ported, name_table, watched, run_module_body);

bool run_module_body(const native::ModuleScope& scope) noexcept {
    if (!native::bind(scope.module, "uuid", native::import_module(names.uuid))) return false;
    if (!native::bind(scope.module, "Path", native::import_from(names.pathlib, names.Path))) return false;
    if (!native::bind(scope.module, "CONFIG_DIR", import_config_dir())) return false;
    if (!native::bind(scope.module, "_HOSTPRINT_FILE", hostprint_file(scope.globals))) return false;
    if (!native::bind(scope.module, "_cached", Ref::borrow(Py_None))) return false;
    return native::bind(scope.module, "get_hostprint", native::define<hostprint, get_hostprint_def>(scope));
}

PyModuleDef hostprint_def = native::module_def<hostprint>(
    "hostprint",
    "机器唯一标识管理。\n"
    "\n"
    "在 ~/.config/tavrin/hostprint 文件中持久化 UUID v4，\n"
    "首次运行时自动生成，后续复用（内存缓存 + 文件持久化双层）。\n");

}  // namespace

PyMODINIT_FUNC PyInit_hostprint() {
    return PyModuleDef_Init(&hostprint_def);
}
