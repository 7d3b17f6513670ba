#include "ported.hpp"

#ifdef _WIN32
#include <cstdio>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace native {

namespace {

SourceBeside compare_bytes(const unsigned char* bytes, std::size_t size, const Ported& ported) noexcept {
    return size == ported.size && digest_of(bytes, size) == ported.digest ? SourceBeside::Same
                                                                                 : SourceBeside::Differs;
}

}  // namespace

#ifdef _WIN32
SourceBeside compare_source(PyObject* path, const Ported& ported) noexcept {
    wchar_t* wide = PyUnicode_AsWideCharString(path, nullptr);
    if (!wide) {
        PyErr_Clear();
        return SourceBeside::Absent;
    }
    std::FILE* file = _wfopen(wide, L"rb");
    PyMem_Free(wide);
    if (!file) return SourceBeside::Absent;
    SourceBeside verdict = SourceBeside::Absent;
    if (auto* bytes = static_cast<unsigned char*>(PyMem_RawMalloc(ported.size + 1))) {
        const std::size_t size = std::fread(bytes, 1, ported.size + 1, file);
        if (!std::ferror(file)) verdict = compare_bytes(bytes, size, ported);
        PyMem_RawFree(bytes);
    }
    std::fclose(file);
    return verdict;
}
#else
SourceBeside compare_source(PyObject* path, const Ported& ported) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return SourceBeside::Absent;
    }
    const int file = open(PyBytes_AS_STRING(encoded.get()), O_RDONLY | O_CLOEXEC);
    if (file < 0) return SourceBeside::Absent;
    // Read, not measured: fstat would tie the wheels to glibc 2.33 or later.
    // A directory fails the read (EISDIR), as it is no source. One byte more
    // than expected tells a longer file.
    SourceBeside verdict = SourceBeside::Absent;
    const std::size_t size = ported.size;
    if (auto* bytes = static_cast<unsigned char*>(PyMem_RawMalloc(size + 1))) {
        std::size_t got = 0;
        ssize_t step = 1;
        while (got < size + 1 && step > 0) {
            step = read(file, bytes + got, size + 1 - got);
            if (step > 0) got += static_cast<std::size_t>(step);
            if (step < 0 && errno == EINTR) step = 1;
        }
        if (step >= 0) verdict = compare_bytes(bytes, got, ported);
        PyMem_RawFree(bytes);
    }
    close(file);
    return verdict;
}
#endif

}  // namespace native
