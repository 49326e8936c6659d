// The few things that differ between compilers, behind one small portable face: checked
// arithmetic, a byte swap, a hint to fetch memory early, and the attribute that keeps
// error-text building off hot paths.
// GCC and Clang get their builtins; any other C++20 compiler gets plain code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

// Marks a function that runs only on a failure path: kept out of line and laid out away
// from the code that calls it.
#if defined(__GNUC__) || defined(__clang__)
#define BITWEAVE_COLD [[gnu::cold, gnu::noinline]]
#elif defined(_MSC_VER)
#define BITWEAVE_COLD __declspec(noinline)
#else
#define BITWEAVE_COLD
#endif

namespace bitweave {

// a + b into out; false (out unspecified) when the exact sum does not fit T.
template <class T>
constexpr bool checked_add(T a, T b, T& out) {
    static_assert(std::is_unsigned_v<T>);
#if defined(__GNUC__) || defined(__clang__)
    return !__builtin_add_overflow(a, b, &out);
#else
    out = T(a + b);
    return out >= a;
#endif
}

// a * b into out; false (out unspecified) when the exact product does not fit T.
template <class T>
constexpr bool checked_mul(T a, T b, T& out) {
    static_assert(std::is_unsigned_v<T>);
#if defined(__GNUC__) || defined(__clang__)
    return !__builtin_mul_overflow(a, b, &out);
#else
    out = T(a * b);
    return a == 0 || out / a == b;
#endif
}

static_assert([] {
    std::uint64_t r = 0;
    return !checked_add(~std::uint64_t{0}, std::uint64_t{1}, r) &&
           checked_add(std::uint64_t{2}, std::uint64_t{3}, r) && r == 5;
}());
static_assert([] {
    std::uint64_t r = 0;
    return !checked_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32, r) &&
           checked_mul(std::uint64_t{6}, std::uint64_t{7}, r) && r == 42;
}());

// The bytes of v in the opposite order (std::byteswap arrives only with C++23).
constexpr std::uint64_t byteswap64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
    v = ((v & 0x00FF00FF00FF00FFULL) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFULL);
    v = ((v & 0x0000FFFF0000FFFFULL) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFULL);
    return (v << 32) | (v >> 32);
#endif
}
static_assert(byteswap64(0x0102030405060708ULL) == 0x0807060504030201ULL);

// Asks for the cache line at p to be read in ahead of use; a hint only, never a fault.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

}  // namespace bitweave
