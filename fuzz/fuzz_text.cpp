// Fuzz target: the text codecs on any bytes. Every decoder either refuses the bytes or
// returns valid UTF-8 that the matching encoder turns back into the same bytes; every
// encoder asks its sink once for exactly the bytes it writes (the sink hands out a heap
// block of exactly that size, so a write past it is caught) and, for valid UTF-8 text,
// produces bytes that decode back to the text. Encoders are also run on bytes that are
// not UTF-8, which must not make them read or write out of bounds.
#include <memory>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

class ExactSink final : public ByteSink {
  public:
    std::uint8_t* room(std::size_t n) override {
        FUZZ_CHECK(calls_++ == 0);
        size_ = n;
        block_ = std::make_unique<std::uint8_t[]>(n);
        return block_.get();
    }
    std::span<const std::uint8_t> bytes() const { return {block_.get(), size_}; }
    int calls() const { return calls_; }

  private:
    std::unique_ptr<std::uint8_t[]> block_;
    std::size_t size_ = 0;
    int calls_ = 0;
};

using Encoder = Result<std::size_t> (*)(std::string_view, ByteSink&);

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

std::span<const std::uint8_t> span_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string_view view_of(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

bool valid_utf8(std::span<const std::uint8_t> b) { return check_utf8(b.data(), b.size()).valid; }

// Runs an encoder; returns whether it succeeded, with its output in `out`.
bool encode(Encoder e, std::string_view text, std::vector<std::uint8_t>& out) {
    ExactSink sink;
    const Result<std::size_t> n = e(text, sink);
    if (!n.ok()) {
        FUZZ_CHECK(sink.calls() == 0);  // a refusal asks for no room
        return false;
    }
    FUZZ_CHECK(sink.calls() == 1 && n.value() == sink.bytes().size());
    out.assign(sink.bytes().begin(), sink.bytes().end());
    return true;
}

bool starts_with_mark(std::span<const std::uint8_t> b) {
    return (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ||
           (b.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)));
}

// A decoder's result must be valid UTF-8; when `back` is given, encoding it again must
// give the input.
void decoded(const Result<std::string>& r, std::span<const std::uint8_t> input, Encoder back) {
    if (!r.ok()) {
        FUZZ_CHECK(!r.error().message().empty());
        return;
    }
    FUZZ_CHECK(valid_utf8(span_of(r.value())));
    if (back != nullptr) {
        std::vector<std::uint8_t> again;
        FUZZ_CHECK(encode(back, r.value(), again));
        FUZZ_CHECK(same(again, input));
    }
}

void decoders(std::span<const std::uint8_t> b) {
    const Utf8Check check = check_utf8(b.data(), b.size());
    const Result<std::string> u8 = decode_utf8(b);
    FUZZ_CHECK(u8.ok() == check.valid);
    if (u8.ok()) FUZZ_CHECK(same(span_of(u8.value()), b));
    if (!check.valid) {
        FUZZ_CHECK(check.index < b.size() && check.length <= 3);
        FUZZ_CHECK(valid_utf8(b.first(check.index)));
        (void)utf8_fault_text(check);
    }

    const Result<std::string> ascii = decode_us_ascii(b);
    FUZZ_CHECK(ascii.ok() == (skip_ascii(b.data(), 0, b.size()) == b.size()));
    if (ascii.ok()) FUZZ_CHECK(same(span_of(ascii.value()), b));

    decoded(decode_iso_8859_1(b), b, encode_iso_8859_1);
    decoded(decode_windows_1252(b), b, starts_with_mark(b) ? nullptr : encode_windows_1252);
    decoded(decode_utf16(b), b, nullptr);
    decoded(decode_utf16_with_endianness(b, true), b, encode_utf16le);
    decoded(decode_utf16_with_endianness(b, false), b, encode_utf16be);
    decoded(decode_utf32(b), b, nullptr);
    decoded(decode_utf32_with_endianness(b, true), b, encode_utf32le);
    decoded(decode_utf32_with_endianness(b, false), b, encode_utf32be);
}

void encoders(std::span<const std::uint8_t> b) {
    const std::string_view text = view_of(b);
    const bool valid = valid_utf8(b);
    std::vector<std::uint8_t> out;

    struct Pair {
        Encoder encode;
        Result<std::string> (*decode)(std::span<const std::uint8_t>);
    };
    const Pair pairs[] = {
        {encode_us_ascii, decode_us_ascii},
        {encode_iso_8859_1,
         [](std::span<const std::uint8_t> x) { return Result<std::string>(decode_iso_8859_1(x)); }},
        {encode_windows_1252, decode_windows_1252},
        {encode_utf8, decode_utf8},
        {encode_utf16, decode_utf16},
        {encode_utf16le,
         [](std::span<const std::uint8_t> x) { return decode_utf16_with_endianness(x, true); }},
        {encode_utf16be,
         [](std::span<const std::uint8_t> x) { return decode_utf16_with_endianness(x, false); }},
        {encode_utf32, decode_utf32},
        {encode_utf32le,
         [](std::span<const std::uint8_t> x) { return decode_utf32_with_endianness(x, true); }},
        {encode_utf32be,
         [](std::span<const std::uint8_t> x) { return decode_utf32_with_endianness(x, false); }},
    };
    for (const Pair& p : pairs) {
        const bool ok = encode(p.encode, text, out);
        if (!valid) continue;  // only memory safety is promised for such input
        // Only the single-byte character sets may refuse a character.
        if (p.encode != encode_us_ascii && p.encode != encode_iso_8859_1 &&
            p.encode != encode_windows_1252)
            FUZZ_CHECK(ok);
        if (p.encode == encode_us_ascii)
            FUZZ_CHECK(ok == (skip_ascii(b.data(), 0, b.size()) == b.size()));
        if (!ok) continue;
        // Windows-1252 output that starts like a byte-order mark is read as that form.
        if (p.encode == encode_windows_1252 && starts_with_mark(out)) continue;
        const Result<std::string> back = p.decode(out);
        FUZZ_CHECK(back.ok() && back.value() == text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy, so that a read one byte past the input is caught even when the
    // fuzzer's own buffer is longer.
    std::unique_ptr<std::uint8_t[]> copy = std::make_unique<std::uint8_t[]>(size);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const std::span<const std::uint8_t> b(copy.get(), size);
    decoders(b);
    encoders(b);
    return 0;
}
