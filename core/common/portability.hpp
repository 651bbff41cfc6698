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

// Set bits of a 64-bit word in a dozen plain instructions, for code built without POPCNT:
// the compiler's fallback is a library call.
QV_ALWAYS_INLINE constexpr unsigned popcount64_swar(std::uint64_t x) noexcept {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

// The popcount of code built for the baseline: the instruction where the baseline has it.
QV_ALWAYS_INLINE unsigned popcount64_baseline(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || QV_AARCH64 || (defined(_MSC_VER) && !defined(__clang__))
    return popcount64(x);
#else
    return popcount64_swar(x);
#endif
}

// Asks for the cache line holding p ahead of its use, so that misses overlap.
QV_ALWAYS_INLINE void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Index of the lowest set bit; x must not be zero.
QV_ALWAYS_INLINE unsigned lowest_set_bit(std::uint64_t x) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanForward64(&index, x);
    return static_cast<unsigned>(index);
#else
    return static_cast<unsigned>(__builtin_ctzll(x));
#endif
}

// Index of the highest set bit; x must not be zero.
QV_ALWAYS_INLINE unsigned highest_set_bit(std::uint64_t x) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanReverse64(&index, x);
    return static_cast<unsigned>(index);
#else
    return 63u - static_cast<unsigned>(__builtin_clzll(x));
#endif
}

}  // namespace quorvalent

#endif
