// Docstrings as the running CPython's compiler keeps them. From 3.13 it
// removes the margin of the lines after the first, and the first line's
// leading spaces, as inspect.cleandoc does; a text set from C is kept as
// written. `native::docstring<"...">` is the text as this version keeps it,
// worked out at compile time.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace native {

template <std::size_t N>
struct DocText {
    char text[N] = {};

    constexpr DocText() noexcept = default;
    constexpr DocText(const char (&source)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) text[i] = source[i];
    }
};

template <std::size_t N>
constexpr DocText<N> as_compiled(const DocText<N>& source) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    const std::size_t end = N - 1;  // the terminating NUL
    const char* in = source.text;
    // The margin: the fewest leading spaces of a line after the first that
    // holds more than spaces.
    std::size_t p = 0;
    while (p < end && in[p++] != '\n') {}
    std::size_t margin = end;
    while (p < end) {
        const std::size_t line = p;
        while (p < end && in[p] == ' ') ++p;
        if (p < end && in[p] != '\n' && p - line < margin) margin = p - line;
        while (p < end && in[p++] != '\n') {}
    }
    if (margin == end) margin = 0;
    DocText<N> out;
    std::size_t o = 0;
    p = 0;
    while (p < end && in[p] == ' ') ++p;
    while (p < end && (out.text[o++] = in[p++]) != '\n') {}
    while (p < end) {
        for (std::size_t i = 0; i < margin && p < end && in[p] == ' '; ++i) ++p;
        while (p < end && (out.text[o++] = in[p++]) != '\n') {}
    }
    return out;
#else
    return source;
#endif
}

template <DocText source>
inline constexpr DocText kept_docstring = as_compiled(source);

template <DocText source>
inline constexpr const char* docstring = kept_docstring<source>.text;

}  // namespace native
