// What a module was ported from: the host's Python module of the same name,
// as the build found it (its bytes, compiled in as ported_source.inc), kept
// as a size and a digest worked out at compile time. At import, a `.py`
// beside ours that differs means the host moved on without us: its Python
// module is imported instead (native::Module).
#pragma once

#include "ref.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace native {

struct Ported {
    std::size_t size;
    std::uint64_t digest;
};

// Eight bytes as a little-endian word: loaded whole at run time where the
// machine's byte order is that one, assembled byte by byte otherwise and at
// compile time.
constexpr std::uint64_t little_endian_word(const unsigned char* bytes) noexcept {
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        return word;
    }
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
}

// A fast 64-bit digest, eight bytes at a step: enough to tell an edited or
// replaced file, at a few instructions per word (a file is hashed at each
// first import, and the source ours was ported from at compile time).
constexpr std::uint64_t digest_of(const unsigned char* bytes, std::size_t size) noexcept {
    std::uint64_t hash = 0x9E3779B97F4A7C15u ^ size;
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        const std::uint64_t word = little_endian_word(bytes + at);
        hash = (hash ^ word) * 0x100000001B3u;
        hash ^= hash >> 29;
    }
    std::uint64_t tail = 0;
    for (std::size_t i = size; i > at; --i) tail = (tail << 8) | bytes[i - 1];
    hash = (hash ^ tail) * 0x100000001B3u;
    return hash ^ (hash >> 32);
}

template <std::size_t N>
constexpr Ported ported_from(const unsigned char (&source)[N]) noexcept {
    return {N, digest_of(source, N)};
}

enum class SourceBeside { Absent, Same, Differs };

// How the file at `path` (a str) compares with `ported`; an unreadable
// file counts as absent.
SourceBeside compare_source(PyObject* path, const Ported& ported) noexcept;

}  // namespace native
