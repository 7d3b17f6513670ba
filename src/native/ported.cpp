#include "ported.hpp"

#include <cstdio>

namespace native {

namespace {

std::FILE* open_for_reading(PyObject* path) noexcept {
#ifdef _WIN32
    wchar_t* wide = PyUnicode_AsWideCharString(path, nullptr);
    if (!wide) return nullptr;
    std::FILE* file = _wfopen(wide, L"rb");
    PyMem_Free(wide);
    return file;
#else
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return nullptr;
    return std::fopen(PyBytes_AS_STRING(encoded.get()), "rb");
#endif
}

}  // namespace

SourceBeside compare_source(PyObject* path, const Ported& ported) noexcept {
    std::FILE* file = open_for_reading(path);
    if (!file) {
        PyErr_Clear();
        return SourceBeside::Absent;
    }
    SourceBeside verdict = SourceBeside::Absent;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size >= 0 && static_cast<std::size_t>(size) != ported.size) {
        verdict = SourceBeside::Differs;
    } else if (size >= 0 && std::fseek(file, 0, SEEK_SET) == 0) {
        auto* bytes = static_cast<unsigned char*>(PyMem_RawMalloc(ported.size + 1));
        if (bytes && std::fread(bytes, 1, ported.size + 1, file) == ported.size) {
            verdict = digest_of(bytes, ported.size) == ported.digest ? SourceBeside::Same : SourceBeside::Differs;
        }
        PyMem_RawFree(bytes);
    }
    std::fclose(file);
    return verdict;
}

}  // namespace native
