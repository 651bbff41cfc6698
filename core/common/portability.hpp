// The few compiler- and architecture-specific spellings the core needs, in one place, so that
// the rest of the code is plain C++17.
#ifndef QUORVALENT_PORTABILITY_HPP
#define QUORVALENT_PORTABILITY_HPP

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// x86-64 as GCC, Clang and MSVC each announce it. Kernels for it are compiled only there.
#if defined(__x86_64__) || defined(_M_X64)
#define QV_X86_64 1
#else
#define QV_X86_64 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define QV_AARCH64 1
#else
#define QV_AARCH64 0
#endif

// For the helpers of the vector kernels: a short string's whole call is a handful of
// instructions, and a helper left out of line would pass its vectors through the stack.
#if defined(_MSC_VER) && !defined(__clang__)
#define QV_ALWAYS_INLINE __forceinline
#else
#define QV_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

#define QV_PRAGMA(text) _Pragma(#text)

// Hides where a vector value came from, so the compiler keeps it in its register instead of
// loading it again from memory (see the block loads of the AVX-512 kernels). MSVC has no such
// barrier and needs none: it does not rematerialise loads this way.
#if defined(__GNUC__) || defined(__clang__)
#define QV_KEEP_IN_REGISTER(v) __asm__("" : "+v"(v))
#else
#define QV_KEEP_IN_REGISTER(v) ((void)0)
#endif

// Compiles the functions between the two marks for a wider instruction set than the file's.
// `targets` is a string literal; isa_levels.hpp names each set's. MSVC needs no switch: its
// intrinsics are available in any function.
#if defined(__clang__)
#define QV_TARGET_BEGIN(targets) \
    QV_PRAGMA(clang attribute push(__attribute__((target(targets))), apply_to = function))
#define QV_TARGET_END QV_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#define QV_TARGET_BEGIN(targets) QV_PRAGMA(GCC push_options) QV_PRAGMA(GCC target(targets))
#define QV_TARGET_END QV_PRAGMA(GCC pop_options)
#else
#define QV_TARGET_BEGIN(targets)
#define QV_TARGET_END
#endif

namespace quorvalent {

// Set bits of a 64-bit word. Inside a function built with POPCNT this is one instruction.
QV_ALWAYS_INLINE unsigned popcount64(std::uint64_t x) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
#if QV_X86_64
    return static_cast<unsigned>(__popcnt64(x));
#else
    return static_cast<unsigned>(_CountOneBits64(x));
#endif
#else
    return static_cast<unsigned>(__builtin_popcountll(x));
#endif
}

}  // namespace quorvalent

#endif
