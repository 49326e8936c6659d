// What the text encoders and decoders share: the sink that encoders write into, size
// arithmetic that cannot wrap, the Windows-1252 table, and UTF-8 scanning, validation,
// reading and writing. Nothing here includes Python.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "platform.hpp"

namespace bitweave {

// ---- Where an encoder writes ----

// An encoder first works out the exact length of its output, then asks its sink once for
// that many bytes and fills all of them. room() throws std::bad_alloc when it cannot
// provide them. A sink can thus be a bytes object under construction, with no copy.
class ByteSink {
  public:
    virtual std::uint8_t* room(std::size_t n) = 0;

  protected:
    ByteSink() = default;
    ByteSink(const ByteSink&) = default;
    ByteSink(ByteSink&&) = default;
    ByteSink& operator=(const ByteSink&) = default;
    ByteSink& operator=(ByteSink&&) = default;
    ~ByteSink() = default;
};

// A sink that keeps the bytes in a string of its own.
class StringSink final : public ByteSink {
  public:
    std::string bytes;
    std::uint8_t* room(std::size_t n) override {
        if (n > bytes.max_size()) throw std::bad_alloc();
        bytes.resize(n);
        return reinterpret_cast<std::uint8_t*>(bytes.data());
    }
};

// Output lengths: a length that does not fit size_t cannot be allocated either.
inline std::size_t add_size(std::size_t a, std::size_t b) {
    std::size_t r;
    if (!checked_add(a, b, r)) throw std::bad_alloc();
    return r;
}
inline std::size_t mul_size(std::size_t a, std::size_t b) {
    std::size_t r;
    if (!checked_mul(a, b, r)) throw std::bad_alloc();
    return r;
}

// v in upper-case hexadecimal, zero-padded to at least `digits` digits.
inline std::string hex_upper(std::uint32_t v, int digits) {
    char buf[8];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v != 0 && n < 8);
    std::string s(std::size_t(digits > n ? digits - n : 0), '0');
    while (n > 0) s += buf[--n];
    return s;
}

// ---- Windows-1252 ----

// Bytes 0x80-0x9F of the windows-1252 index of the WHATWG Encoding Standard
// (index-windows-1252.txt of the standard, pointers 0 to 31). All other
// bytes are the code point of the same number. Unlike Microsoft's own table, the index
// leaves no byte undefined: 0x81, 0x8D, 0x8F, 0x90 and 0x9D are the C1 controls of the
// same number.
inline constexpr std::array<char16_t, 32> windows_1252_high = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

constexpr char32_t windows_1252_to_unicode(std::uint8_t b) {
    return b >= 0x80 && b < 0xA0 ? char32_t(windows_1252_high[b - 0x80]) : char32_t(b);
}

// The byte that stands for code point c, or -1 when there is none.
constexpr int unicode_to_windows_1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return int(c);
    for (std::size_t i = 0; i < windows_1252_high.size(); ++i)
        if (windows_1252_high[i] == c) return int(0x80 + i);
    return -1;
}

static_assert(windows_1252_to_unicode(0x80) == 0x20AC);
static_assert(windows_1252_to_unicode(0x8D) == 0x008D);
static_assert(windows_1252_to_unicode(0x9F) == 0x0178);
static_assert(windows_1252_to_unicode(0xE9) == 0x00E9);
static_assert(unicode_to_windows_1252(0x20AC) == 0x80);
static_assert(unicode_to_windows_1252(0x0081) == 0x81);
static_assert(unicode_to_windows_1252(0x0080) == -1);
static_assert(unicode_to_windows_1252(0x0100) == -1);

// ---- UTF-8 ----

constexpr bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

constexpr std::size_t utf8_length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes scalar value c as UTF-8 and returns the position after it.
inline std::uint8_t* put_utf8(std::uint8_t* out, char32_t c) {
    if (c < 0x80) {
        *out++ = std::uint8_t(c);
    } else if (c < 0x800) {
        *out++ = std::uint8_t(0xC0 | (c >> 6));
        *out++ = std::uint8_t(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = std::uint8_t(0xE0 | (c >> 12));
        *out++ = std::uint8_t(0x80 | ((c >> 6) & 0x3F));
        *out++ = std::uint8_t(0x80 | (c & 0x3F));
    } else {
        *out++ = std::uint8_t(0xF0 | (c >> 18));
        *out++ = std::uint8_t(0x80 | ((c >> 12) & 0x3F));
        *out++ = std::uint8_t(0x80 | ((c >> 6) & 0x3F));
        *out++ = std::uint8_t(0x80 | (c & 0x3F));
    }
    return out;
}

// The first index from i on whose byte is not ASCII, or n. Eight bytes at a time.
inline std::size_t skip_ascii(const std::uint8_t* p, std::size_t i, std::size_t n) {
    while (n - i >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & 0x8080808080808080ULL) != 0) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// The scalar value of the UTF-8 sequence at p[i], moving i past it. The text must be
// valid UTF-8; anything else gives some value, but never a read past p[n - 1].
inline char32_t next_scalar(const std::uint8_t* p, std::size_t n, std::size_t& i) {
    const std::uint8_t b = p[i++];
    if (b < 0x80) return b;
    unsigned extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    char32_t c = b & (0x3Fu >> extra);
    for (; extra > 0 && i < n; --extra) c = (c << 6) | (p[i++] & 0x3Fu);
    return c;
}

// The first fault of a byte string read as strict UTF-8: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF.
struct Utf8Check {
    bool valid = true;
    std::size_t index = 0;  // first byte of the faulty sequence; all bytes before it are valid
    unsigned length = 0;    // bytes from index that could begin a valid sequence (1 to 3),
                            // or 0 when the input ends inside a sequence valid so far
};

inline Utf8Check check_utf8(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    for (;;) {
        i = skip_ascii(p, i, n);
        if (i == n) return {};
        const std::uint8_t b = p[i];
        unsigned need;                      // continuation bytes after the lead
        std::uint8_t lo = 0x80, hi = 0xBF;  // the range of the first one
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0)
                lo = 0xA0;  // overlong below U+0800
            else if (b == 0xED)
                hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0)
                lo = 0x90;  // overlong below U+10000
            else if (b == 0xF4)
                hi = 0x8F;  // above U+10FFFF
        } else {
            return {false, i, 1};
        }
        for (unsigned k = 1; k <= need; ++k) {
            if (n - i <= k) return {false, i, 0};
            const std::uint8_t c = p[i + k];
            if (c < lo || c > hi) return {false, i, k};
            lo = 0x80;
            hi = 0xBF;
        }
        i += need + 1;
    }
}

inline std::string utf8_fault_text(const Utf8Check& c) {
    if (c.length == 0)
        return "incomplete utf-8 byte sequence from index " + std::to_string(c.index);
    return "invalid utf-8 sequence of " + std::to_string(c.length) + " bytes from index " +
           std::to_string(c.index);
}

}  // namespace bitweave
