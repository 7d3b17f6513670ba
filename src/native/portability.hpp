// Compiler-specific spellings, kept here alone: MSVC warns about an unknown
// `gnu::` attribute (C5030), which /WX makes an error.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define NATIVE_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define NATIVE_NOINLINE __declspec(noinline)
#else
#define NATIVE_NOINLINE
#endif
