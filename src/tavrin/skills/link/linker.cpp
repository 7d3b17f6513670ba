// tavrin.skills.link.linker: places, removes and checks a skill's entry in an
// AI tool's skills directory. Every file-system step goes through the
// standard library objects the caller and the module globals provide.

#include "docstring.hpp"
#include "function.hpp"
#include "module.hpp"
#include "names.hpp"
#include "python.hpp"
#include "watched_global.hpp"

namespace {

using native::Call;
using native::Conversion;
using native::ParameterKind;
using native::Ref;

// Names and constant texts, made before the module body runs and
// released with the module (native::Module).
#define LINKER_NAMES(NAME, TUPLE)                                                             \
    NAME(os, "os")                                                                           \
    NAME(shutil, "shutil")                                                                   \
    NAME(sys, "sys")                                                                         \
    NAME(LinkResult, "LinkResult")                                                           \
    NAME(dataclass, "dataclass")                                                             \
    NAME(dataclasses, "dataclasses")                                                         \
    NAME(Path, "Path")                                                                       \
    NAME(pathlib, "pathlib")                                                                 \
    NAME(exists, "exists")                                                                   \
    NAME(is_symlink, "is_symlink")                                                           \
    NAME(mkdir, "mkdir")                                                                     \
    NAME(resolve, "resolve")                                                                 \
    NAME(unlink, "unlink")                                                                   \
    NAME(platform, "platform")                                                               \
    NAME(symlink, "symlink")                                                                 \
    NAME(rmdir, "rmdir")                                                                     \
    NAME(copytree, "copytree")                                                               \
    NAME(ignore_patterns, "ignore_patterns")                                                 \
    NAME(rmtree, "rmtree")                                                                   \
    NAME(safe_remove, "_safe_remove")                                                        \
    NAME(create_link, "_create_link")                                                        \
    NAME(create_windows_link, "_create_windows_link")                                        \
    NAME(win32, "win32")                                                                     \
    NAME(data, "data")                                                                       \
    NAME(version_json, "VERSION.json")                                                       \
    NAME(empty, "")                                                                          \
    NAME(method_symlink, "symlink")                                                          \
    NAME(method_junction, "junction")                                                        \
    NAME(method_copy_fallback, "copy_fallback")                                              \
    NAME(occupied_message_prefix, "目标已存在（使用 --force 覆盖）: ")                        \
    NAME(unsafe_name_message_prefix,                                                         \
         "技能名称必须是单个普通文件名（不能为空、不能是 . 或 ..，不能包含 /、\\、: 或空字符）: ") \
    TUPLE(mkdir_keywords, "parents", "exist_ok")                                             \
    TUPLE(symlink_keywords, "target_is_directory")                                           \
    TUPLE(copytree_keywords, "ignore")                                                       \
    TUPLE(result_keywords, "skill_name", "link_path", "target_path", "method", "replaced")   \
    TUPLE(copy_ignored_patterns, "__pycache__", "*.pyc", "*.pyo")
NATIVE_NAMES(LINKER_NAMES);

// The module globals that the methods read at every use.
struct Globals {
    native::WatchedGlobal os{names.os}, shutil{names.shutil}, sys{names.sys}, LinkResult{names.LinkResult};
};
Globals module_globals;
native::WatchedGlobal* const watched_list[] = {&module_globals.os, &module_globals.shutil, &module_globals.sys,
                                               &module_globals.LinkResult};
native::WatchedNamespace watched(watched_list);

// `sys.platform == "win32"`, with `sys` read from the module globals now.
int is_windows(PyObject* globals) noexcept {
    Ref sys = module_globals.sys.load(globals);
    if (!sys) return -1;
    Ref platform = native::get_attr(sys.get(), names.platform);
    if (!platform) return -1;
    return PyObject_RichCompareBool(platform.get(), names.win32, Py_EQ);
}

// An entry is present when exists() is true or, failing that, is_symlink()
// is: a dangling symbolic link counts as present.
int is_present(PyObject* path) noexcept {
    const int exists = native::truth_of(native::call_method(path, names.exists));
    if (exists != 0) return exists;
    return native::truth_of(native::call_method(path, names.is_symlink));
}

// The skill name becomes one component inside the tool's skills directory;
// anything that could name another place (a separator, "..", a drive) would
// let force=True remove a directory outside it.
bool check_plain_name(PyObject* skill_name) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(skill_name);
    const int kind = PyUnicode_KIND(skill_name);
    const void* data = PyUnicode_DATA(skill_name);
    bool unsafe = length == 0 || (length <= 2 && (PyUnicode_CompareWithASCIIString(skill_name, ".") == 0 ||
                                                  PyUnicode_CompareWithASCIIString(skill_name, "..") == 0));
    for (Py_ssize_t i = 0; !unsafe && i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        unsafe = c == '/' || c == '\\' || c == ':' || c == '\0';
    }
    if (!unsafe) return true;
    Ref shown = Ref::steal(PyObject_Repr(skill_name));
    if (!shown) return false;
    Ref message = Ref::steal(PyUnicode_Concat(names.unsafe_name_message_prefix, shown.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

void raise_occupied(PyObject* link_path) noexcept {
    Ref rendered = Ref::steal(PyObject_Format(link_path, names.empty));
    if (!rendered) return;
    Ref message = Ref::steal(PyUnicode_Concat(names.occupied_message_prefix, rendered.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

// While alive, `exception` is the one being handled, as inside an `except`
// block: an exception raised meanwhile gets it as its __context__. Only the
// innermost handled-exception slot is set, so only it is given back: when it
// was empty (a generator's, say), the one seen through it came from an outer
// slot, which must not be copied into it.
class HandlingException {
public:
    explicit HandlingException(Ref exception) noexcept {
        Ref seen = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(nullptr);
        Ref seen_below = Ref::steal(PyErr_GetHandledException());
        if (seen.get() != seen_below.get()) previous_ = std::move(seen);
        PyErr_SetHandledException(exception.get());
    }
    ~HandlingException() { PyErr_SetHandledException(previous_.get()); }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    Ref previous_;  // what the innermost slot held, when not empty
};

// `os.rmdir(str(path))`: removes an empty directory or a junction, never
// what a junction leads to.
Ref remove_empty_directory(PyObject* globals, PyObject* path) noexcept {
    Ref os = module_globals.os.load(globals);
    if (!os) return {};
    Ref rmdir = native::get_attr(os.get(), names.rmdir);
    if (!rmdir) return {};
    Ref path_text = Ref::steal(PyObject_Str(path));
    if (!path_text) return {};
    return native::call(rmdir.get(), path_text.get());
}

Ref remove_tree(PyObject* globals, PyObject* path) noexcept {
    Ref shutil = module_globals.shutil.load(globals);
    if (!shutil) return {};
    return native::call_method(shutil.get(), names.rmtree, path);
}

// --- SkillsLinker methods; argument 0 is always `self`. -------------------
// `call.at(N)` names line N of linker.py, the statement the next step is:
// a failure's traceback entry shows it.

Ref link(Call& call) noexcept {
    PyObject* globals = call.globals;
    PyObject* self = call[0];
    PyObject* skill_name = call[1];
    PyObject* central_skill_dir = call[2];
    PyObject* tool_skills_dir = call[3];
    const bool force = call[4] == Py_True;
    call.at(58);
    if (!check_plain_name(skill_name)) return {};

    // 1. The entry's path; nothing replaced yet.
    call.at(60);
    Ref link_path = Ref::steal(PyNumber_TrueDivide(tool_skills_dir, skill_name));
    if (!link_path) return {};
    bool replaced = false;

    // 2. Is something already there?
    call.at(62);
    const int occupied = is_present(link_path.get());
    if (occupied < 0) return {};

    // 3. Refuse it, or clear it away when forced.
    if (occupied) {
        if (!force) {
            call.at(64);
            raise_occupied(link_path.get());
            return {};
        }
        call.at(65);
        if (!native::call_method(self, names.safe_remove, link_path.get())) return {};
        replaced = true;
    }

    // 4. The tool's skills directory, with its parents.
    call.at(67);
    if (!native::call_method_kw(tool_skills_dir, names.mkdir, names.mkdir_keywords, Py_True, Py_True)) {
        return {};
    }

    // 5. The link itself.
    call.at(68);
    Ref method = native::call_method(self, names.create_link, central_skill_dir, link_path.get());
    if (!method) return {};

    // 6. The record of what was done.
    call.at(69);
    Ref link_result = module_globals.LinkResult.load(globals);
    if (!link_result) return {};
    return native::call_kw(link_result.get(), names.result_keywords, skill_name, link_path.get(),
                           central_skill_dir, method.get(), replaced ? Py_True : Py_False);
}

Ref unlink(Call& call) noexcept {
    PyObject* self = call[0];
    PyObject* link_path = call[1];

    // 1-2. Nothing there: nothing to do.
    call.at(81);
    const int present = is_present(link_path);
    if (present < 0) return {};
    if (!present) return Ref::borrow(Py_False);

    // 3-4. Remove it.
    call.at(83);
    if (!native::call_method(self, names.safe_remove, link_path)) return {};
    return Ref::borrow(Py_True);
}

// Step 2 of is_link_valid: both sides resolved, then compared with ==.
Ref resolves_to(PyObject* link_path, PyObject* expected_target) noexcept {
    Ref resolved_link = native::call_method(link_path, names.resolve);
    if (!resolved_link) return {};
    Ref resolved_target = native::call_method(expected_target, names.resolve);
    if (!resolved_target) return {};
    return Ref::steal(PyObject_RichCompare(resolved_link.get(), resolved_target.get(), Py_EQ));
}

Ref is_link_valid(Call& call) noexcept {
    PyObject* link_path = call[1];
    PyObject* expected_target = call[2];

    // 1. Missing entries are not healthy.
    call.at(96);
    const int present = is_present(link_path);
    if (present < 0) return {};
    if (!present) return Ref::borrow(Py_False);

    // 2. A link is judged by where it leads. A link loop makes resolve()
    // raise RuntimeError: that is an unhealthy entry, not a crash.
    call.at(98);
    const int is_link = native::truth_of(native::call_method(link_path, names.is_symlink));
    if (is_link < 0) return {};
    if (is_link) {
        call.at(100);
        Ref same = resolves_to(link_path, expected_target);
        if (same) return same;
        if (native::swallow(PyExc_OSError) || native::swallow(PyExc_RuntimeError)) {
            return Ref::borrow(Py_False);
        }
        return {};
    }

    // 3. A copy is judged by its marker file.
    call.at(103);
    Ref data = Ref::steal(PyNumber_TrueDivide(link_path, names.data));
    if (!data) return {};
    Ref marker = Ref::steal(PyNumber_TrueDivide(data.get(), names.version_json));
    if (!marker) return {};
    return native::call_method(marker.get(), names.exists);
}

Ref create_link(Call& call) noexcept {
    PyObject* globals = call.globals;
    PyObject* self = call[0];
    PyObject* target = call[1];
    PyObject* link = call[2];

    // 1-2. Windows has its own strategy (its result is checked on return).
    call.at(107);
    const int windows = is_windows(globals);
    if (windows < 0) return {};
    call.at(108);
    if (windows) return native::call_method(self, names.create_windows_link, target, link);

    // 3. Elsewhere a plain symbolic link, with no fallback.
    call.at(112);
    Ref os = module_globals.os.load(globals);
    if (!os) return {};
    if (!native::call_method(os.get(), names.symlink, target, link)) return {};
    return Ref::borrow(names.method_symlink);
}

Ref create_windows_link(Call& call) noexcept {
    PyObject* globals = call.globals;
    PyObject* target = call[1];
    PyObject* link = call[2];

    // 1. A directory link.
    call.at(122);
    Ref os = module_globals.os.load(globals);
    if (!os) return {};
    if (native::call_method_kw(os.get(), names.symlink, names.symlink_keywords, target, link, Py_True)) {
        return Ref::borrow(names.method_junction);
    }

    // 2. Refused with an OSError: copy instead, while handling that error.
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
    HandlingException handling(Ref::steal(PyErr_GetRaisedException()));

    // 3. The filtered copy.
    call.at(125);
    Ref shutil = module_globals.shutil.load(globals);
    if (!shutil) return {};
    Ref copytree = native::get_attr(shutil.get(), names.copytree);
    if (!copytree) return {};
    // `shutil` is read anew for each of its uses, as the step mentions it twice.
    Ref shutil_again = module_globals.shutil.load(globals);
    if (!shutil_again) return {};
    Ref ignore_patterns = native::get_attr(shutil_again.get(), names.ignore_patterns);
    if (!ignore_patterns) return {};
    Ref ignore = Ref::steal(PyObject_Call(ignore_patterns.get(), names.copy_ignored_patterns, nullptr));
    if (!ignore) return {};
    if (!native::call_kw(copytree.get(), names.copytree_keywords, target, link, ignore.get())) return {};
    return Ref::borrow(names.method_copy_fallback);
}

Ref safe_remove(Call& call) noexcept {
    PyObject* globals = call.globals;
    PyObject* path = call[1];

    // 1. Off Windows a symbolic link is removed as a link, never followed.
    call.at(136);
    int windows = is_windows(globals);
    if (windows < 0) return {};
    if (!windows) {
        const int is_link = native::truth_of(native::call_method(path, names.is_symlink));
        if (is_link < 0) return {};
        if (is_link) {
            call.at(137);
            if (!native::call_method(path, names.unlink)) return {};
            return Ref::borrow(Py_None);
        }
    }

    // 2. On Windows the non-recursive rmdir first; rmtree only if it raises
    // OSError. The platform is asked again, as the steps are written: the
    // first step may have run code that changed `sys`.
    call.at(139);
    windows = is_windows(globals);
    if (windows < 0) return {};
    if (windows) {
        call.at(141);
        if (remove_empty_directory(globals, path)) return Ref::borrow(Py_None);
        if (!native::swallow(PyExc_OSError)) return {};
        call.at(143);
        if (!remove_tree(globals, path)) return {};
        return Ref::borrow(Py_None);
    }

    // 3. An ordinary directory.
    call.at(145);
    if (!remove_tree(globals, path)) return {};
    return Ref::borrow(Py_None);
}

// --- The class and module surface. --------------------------------------

const native::Parameter link_parameters[] = {
    {.name = "self"},
    {.name = "skill_name", .annotation = "str", .conversion = Conversion::ExactStr, .line = 52},
    {.name = "central_skill_dir", .annotation = "Path"},
    {.name = "tool_skills_dir", .annotation = "Path"},
    {.name = "force", .annotation = "bool", .kind = ParameterKind::KeywordOnly,
     .conversion = Conversion::Truth, .default_value = Py_False, .line = 53},
};
const native::Parameter unlink_parameters[] = {
    {.name = "self"},
    {.name = "link_path", .annotation = "Path"},
};
const native::Parameter is_link_valid_parameters[] = {
    {.name = "self"},
    {.name = "link_path", .annotation = "Path"},
    {.name = "expected_target", .annotation = "Path"},
};
const native::Parameter target_and_link_parameters[] = {
    {.name = "self"},
    {.name = "target", .annotation = "Path"},
    {.name = "link", .annotation = "Path"},
};
const native::Parameter safe_remove_parameters[] = {
    {.name = "self"},
    {.name = "path", .annotation = "Path"},
};

// In the order the class body defines them; each line is that of its `def`
// in the Python module.
const native::FunctionDef link_def = {
    .name = "link",
    .qualname = "SkillsLinker.link",
    .doc = native::docstring<"在 tool_skills_dir 下创建指向 central_skill_dir 的链接。\n"
           "\n"
           "        Args:\n"
           "            skill_name: 技能名称，如 \"code-review\"\n"
           "            central_skill_dir: 中央存储中该技能的目录\n"
           "            tool_skills_dir: AI 工具的 skills 目录，如 ~/.agent/skills\n"
           "            force: 是否覆盖已存在的目标\n"
           "\n"
           "        Returns:\n"
           "            LinkResult，记录链接路径、目标、方式以及是否替换了原有内容\n"
           "        ">,
    .parameters = link_parameters,
    .return_annotation = "LinkResult",
    .body = link,
    .line = 33,
    .index = 0,
};
const native::FunctionDef unlink_def = {
    .name = "unlink",
    .qualname = "SkillsLinker.unlink",
    .doc = native::docstring<"移除链接（不影响中央存储内容）。\n"
           "\n"
           "        Args:\n"
           "            link_path: 工具 skills 目录下的链接路径\n"
           "\n"
           "        Returns:\n"
           "            True 表示成功移除，False 表示路径本不存在\n"
           "        ">,
    .parameters = unlink_parameters,
    .return_annotation = "bool",
    .body = unlink,
    .line = 72,
    .index = 1,
};
const native::FunctionDef is_link_valid_def = {
    .name = "is_link_valid",
    .qualname = "SkillsLinker.is_link_valid",
    .doc = native::docstring<"检查链接是否存在且指向预期的中央目录。\n"
           "\n"
           "        Args:\n"
           "            link_path: 工具 skills 目录下的链接路径\n"
           "            expected_target: 预期的中央存储路径\n"
           "\n"
           "        Returns:\n"
           "            True 表示链接健康，False 表示缺失或指向错误\n"
           "        ">,
    .parameters = is_link_valid_parameters,
    .return_annotation = "bool",
    .body = is_link_valid,
    .line = 86,
    .index = 2,
};
const native::FunctionDef create_link_def = {
    .name = "_create_link",
    .qualname = "SkillsLinker._create_link",
    .doc = native::docstring<"创建链接并返回实际使用的方式。">,
    .parameters = target_and_link_parameters,
    .return_annotation = "str",
    .return_check_line = 110,
    .body = create_link,
    .line = 105,
    .index = 3,
};
const native::FunctionDef create_windows_link_def = {
    .name = "_create_windows_link",
    .qualname = "SkillsLinker._create_windows_link",
    .doc = native::docstring<"Windows 下优先创建 Directory Junction，失败时降级复制。\n"
           "\n"
           "        os.symlink(target_is_directory=True) 在普通用户权限下创建的是\n"
           "        Directory Junction（等价于 mklink /J），无需管理员或开发者模式。\n"
           "        ">,
    .parameters = target_and_link_parameters,
    .return_annotation = "str",
    .return_check_line = 126,
    .body = create_windows_link,
    .line = 115,
    .index = 4,
};
const native::FunctionDef safe_remove_def = {
    .name = "_safe_remove",
    .qualname = "SkillsLinker._safe_remove",
    .doc = native::docstring<"安全删除链接或目录，避免误删 Junction 指向的中央存储内容。\n"
           "\n"
           "        策略：\n"
           "          - Unix symlink  : path.unlink()（仅删链接本身）\n"
           "          - Windows Junction / 空目录 : os.rmdir()（仅删链接本身，不递归目标）\n"
           "          - 普通目录       : shutil.rmtree()（os.rmdir 抛错时降级）\n"
           "        ">,
    .parameters = safe_remove_parameters,
    .return_annotation = "None",
    .body = safe_remove,
    .line = 128,
    .index = 5,
};

// The annotated fields of LinkResult, as parameters would carry them.
const native::Parameter link_result_fields[] = {
    {.name = "skill_name", .annotation = "str"},
    {.name = "link_path", .annotation = "Path"},
    {.name = "target_path", .annotation = "Path"},
    {.name = "method", .annotation = "str"},
    {.name = "replaced", .annotation = "bool"},
};
const native::FunctionDef link_result_class = {
    .name = "LinkResult",
    .qualname = "LinkResult",
    .doc = native::docstring<"单次链接操作的结果。">,
    .parameters = link_result_fields,
    .line = 19,
};
const native::FunctionDef skills_linker_class = {
    .name = "SkillsLinker",
    .qualname = "SkillsLinker",
    .doc = native::docstring<"Skill 链接器，在 AI 工具的 skills 目录下创建指向中央存储的链接。">,
    .line = 30,
};

bool set_item(PyObject* namespace_, const char* key, Ref value) noexcept {
    return value && PyDict_SetItemString(namespace_, key, value.get()) == 0;
}

// The annotations of a class body with annotated fields: before 3.14 a dict
// stored ahead of the docstring, from 3.14 an __annotate__ function after it.
template <const native::FunctionDef& definition>
bool set_class_annotations(PyObject* namespace_, [[maybe_unused]] const native::ModuleScope& scope,
                           bool after_docstring) noexcept {
    if (definition.parameters.empty()) return true;
#ifdef NATIVE_DEFERRED_ANNOTATIONS
    if (!after_docstring) return true;
    return set_item(namespace_, "__annotate_func__", native::define_annotate<definition>(scope));
#else
    if (after_docstring) return true;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return false;
    for (const native::Parameter& field : definition.parameters) {
        if (!set_item(annotations.get(), field.name, Ref::steal(PyUnicode_FromString(field.annotation)))) {
            return false;
        }
    }
    return set_item(namespace_, "__annotations__", std::move(annotations));
#endif
}

// A class as a `class` statement makes it: type(name, (), namespace), the
// namespace holding __module__, __qualname__, from 3.13 __firstlineno__,
// the body's entries in order (annotations, docstring, methods), and from
// 3.13 __static_attributes__ (none: no method assigns to self).
template <const native::FunctionDef& definition>
Ref make_class(const native::ModuleScope& scope, PyObject* methods) noexcept {
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_) return {};
    PyObject* body = namespace_.get();
    if (PyDict_SetItemString(body, "__module__", scope.name) < 0) return {};
    if (!set_item(body, "__qualname__", Ref::steal(PyUnicode_FromString(definition.qualname)))) return {};
#if PY_VERSION_HEX >= 0x030D0000
    if (!set_item(body, "__firstlineno__", Ref::steal(PyLong_FromLong(definition.line)))) return {};
#endif
    if (!set_class_annotations<definition>(body, scope, false)) return {};
    if (!set_item(body, "__doc__", Ref::steal(PyUnicode_FromString(definition.doc)))) return {};
    if (!set_class_annotations<definition>(body, scope, true)) return {};
    if (methods && PyDict_Update(body, methods) < 0) return {};
#if PY_VERSION_HEX >= 0x030D0000
    if (!set_item(body, "__static_attributes__", Ref::steal(PyTuple_New(0)))) return {};
#endif
    return Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", definition.name, body));
}

// `@dataclass class LinkResult: ...`, with the `dataclass` just bound.
Ref make_link_result(const native::ModuleScope& scope) noexcept {
    Ref plain = make_class<link_result_class>(scope, nullptr);
    if (!plain) return {};
    Ref dataclass = native::load_global(scope.globals, names.dataclass);
    if (!dataclass) return {};
    return native::call(dataclass.get(), plain.get());
}

bool run_module_body(const native::ModuleScope& scope) noexcept;
// The host's Python module this one is ported from, as the build found it:
// only its size and digest are kept.
constexpr unsigned char ported_source[] = {
#include "ported_source.inc"
};
constexpr native::Ported ported = native::ported_from(ported_source);
native::Module linker("linker", ported, name_table, watched, run_module_body);

bool add_method(PyObject* methods, const native::FunctionDef& definition, Ref function) noexcept {
    return function && PyDict_SetItemString(methods, definition.name, function.get()) == 0;
}

Ref make_skills_linker(const native::ModuleScope& scope) noexcept {
    Ref methods = Ref::steal(PyDict_New());
    if (!methods) return {};
    using native::define;
    if (!add_method(methods.get(), link_def, define<linker, link_def>(scope)) ||
        !add_method(methods.get(), unlink_def, define<linker, unlink_def>(scope)) ||
        !add_method(methods.get(), is_link_valid_def, define<linker, is_link_valid_def>(scope)) ||
        !add_method(methods.get(), create_link_def, define<linker, create_link_def>(scope)) ||
        !add_method(methods.get(), create_windows_link_def, define<linker, create_windows_link_def>(scope)) ||
        !add_method(methods.get(), safe_remove_def, define<linker, safe_remove_def>(scope))) {
        return {};
    }
    return make_class<skills_linker_class>(scope, methods.get());
}

bool run_module_body(const native::ModuleScope& scope) noexcept {
    if (!native::bind(scope.module, "os", native::import_module(names.os))) return false;
    if (!native::bind(scope.module, "shutil", native::import_module(names.shutil))) return false;
    if (!native::bind(scope.module, "sys", native::import_module(names.sys))) return false;
    if (!native::bind(scope.module, "dataclass", native::import_from(names.dataclasses, names.dataclass))) {
        return false;
    }
    if (!native::bind(scope.module, "Path", native::import_from(names.pathlib, names.Path))) return false;
    if (!native::bind(scope.module, "LinkResult", make_link_result(scope))) return false;
    return native::bind(scope.module, "SkillsLinker", make_skills_linker(scope));
}

PyModuleDef linker_def = native::module_def<linker>(
    "linker",
    "技能链接管理器。\n"
    "\n"
    "负责在各 AI 工具的 skills 目录下创建指向中央存储的链接，\n"
    "实现中央存储只保留一份、多个工具共享引用。\n"
    "\n"
    "链接策略：\n"
    "- macOS / Linux：os.symlink（符号链接）\n"
    "- Windows：os.symlink(target_is_directory=True)（Directory Junction，无需管理员权限）\n"
    "- 兜底：shutil.copytree（极少数无法创建 Junction 的受限环境）\n");

}  // namespace

PyMODINIT_FUNC PyInit_linker() {
    return PyModuleDef_Init(&linker_def);
}
