// Fuzz target: the compiled-layout engine, which reads callers' buffers with raw pointers.
// Random layouts over random buffers, strides, bit offsets, packet offsets and lengths:
// every decoded value must equal the core's field-by-field read, every field outside its
// packet must be refused (or masked), and encoding must write what the field-by-field
// writer writes.
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/layout.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

constexpr Encoding encodings[] = {
    Encoding::unsigned_int,
    Encoding::twos_complement,
    Encoding::ones_complement,
    Encoding::sign_magnitude,
    Encoding::bcd,
    Encoding::packed_bcd_signed,
    Encoding::ieee754_f16,
    Encoding::ieee754_f32,
    Encoding::ieee754_f64,
    Encoding::ieee754_f128,
    Encoding::us_ascii,
    Encoding::binary,
};

// The value a column holds for a decoded number, as the store keeps it.
double as_double(const Number& n) {
    switch (n.kind) {
        case Number::Kind::unsigned_int: return double(n.u());
        case Number::Kind::signed_int: return double(n.i());
        case Number::Kind::real: break;
    }
    return n.d();
}

bool stored_equals(Store s, const void* column, std::uint64_t i, const Number& n) {
    const auto at = [&](auto v) {
        std::memcpy(&v, static_cast<const std::uint8_t*>(column) + i * sizeof v, sizeof v);
        return v;
    };
    const std::uint64_t word = n.kind == Number::Kind::real ? 0 : n.u();
    switch (s) {
        case Store::u8: return at(std::uint8_t{}) == std::uint8_t(word);
        case Store::u16: return at(std::uint16_t{}) == std::uint16_t(word);
        case Store::u32: return at(std::uint32_t{}) == std::uint32_t(word);
        case Store::u64: return at(std::uint64_t{}) == word;
        case Store::i8: return at(std::int8_t{}) == std::int8_t(word);
        case Store::i16: return at(std::int16_t{}) == std::int16_t(word);
        case Store::i32: return at(std::int32_t{}) == std::int32_t(word);
        case Store::i64: return at(std::int64_t{}) == std::int64_t(word);
        case Store::f32: {
            const float v = at(float{});
            return std::isnan(v) ? std::isnan(as_double(n)) : double(v) == as_double(n);
        }
        case Store::f64: {
            const double v = at(double{});
            return std::isnan(v) ? std::isnan(as_double(n)) : v == as_double(n);
        }
        case Store::object: return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    CompiledLayout layout;
    const unsigned items = 1 + in.take<std::uint8_t>() % 6;
    for (unsigned k = 0; k < items; ++k) {
        LayoutItem item;
        item.name = std::string(1, char('a' + in.take<std::uint8_t>() % 4));
        item.encoding = encodings[in.take<std::uint8_t>() % std::size(encodings)];
        item.shape.bits = in.take<std::uint8_t>() % 140;
        const std::uint8_t flags = in.take<std::uint8_t>();
        item.shape.reverse_bits = flags & 1;
        item.shape.little = flags & 2;
        item.has_offset = flags & 4;
        item.offset_bits = (flags & 8) ? in.take<std::uint64_t>() : in.take<std::uint8_t>();
        CodecError err;
        layout.add(item, err);  // refused items leave the layout as it was
    }
    const std::uint8_t mode = in.take<std::uint8_t>();
    const bool masking = mode & 1, by_offsets = mode & 2, with_lengths = mode & 4;
    PacketRun run;
    run.offset_bits = (mode & 8) ? in.take<std::uint64_t>() : in.take<std::uint8_t>() % 20;
    run.stride = in.take<std::uint8_t>() % 40;
    std::vector<std::int64_t> offsets, lengths;
    const std::size_t length = in.take<std::uint8_t>() % 200;
    if (by_offsets) {
        run.count = in.take<std::uint8_t>() % 16;
        for (std::uint64_t i = 0; i < run.count; ++i) {
            offsets.push_back(std::int64_t(in.take<std::uint8_t>()) - 8);
            lengths.push_back(std::int64_t(in.take<std::uint8_t>() % 64) - 2);
        }
        run.offsets = reinterpret_cast<const std::uint8_t*>(offsets.data());
        if (with_lengths) run.lengths = reinterpret_cast<const std::uint8_t*>(lengths.data());
    } else {
        const std::uint64_t fit = packets_that_fit(layout, length, run.offset_bits, run.stride);
        run.count = std::min<std::uint64_t>(fit, 40);
    }
    // The data on the heap at exactly its size, so that a read past it is caught.
    auto buffer = std::make_unique<std::uint8_t[]>(length + 1);
    const auto bytes = in.bytes(length);
    for (std::size_t i = 0; i < length; ++i) buffer[i] = i < bytes.size() ? bytes[i] : 0;
    run.data = {buffer.get(), length};

    const auto& columns = layout.columns();
    std::vector<std::vector<std::uint8_t>> values(columns.size()), masks(columns.size());
    std::vector<ColumnOut> outs(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        values[k].assign(std::size_t(run.count) * store_size(columns[k].store) + 1, 0xAA);
        masks[k].assign(std::size_t(run.count) + 1, 0);
        outs[k] = {values[k].data(), masks[k].data()};
    }
    RunFailure failure;
    decode_columns(layout, run, outs, masking, failure);
    FUZZ_CHECK(!(masking && failure.failed));

    // Field by field, packet by packet, as a serial walk reads them.
    bool failed = false;
    for (std::uint64_t i = 0; i < run.count && !failed; ++i) {
        for (std::size_t f = 0; f < layout.fields().size(); ++f) {
            const LayoutField& field = layout.fields()[f];
            const Store store = columns[field.column].store;
            if (store == Store::object) continue;
            std::span<const std::uint8_t> view;
            BitPos pos;
            CodecError err;
            bool ok = locate_field(layout, run, i, f, view, pos, err);
            FUZZ_CHECK(!ok || (view.data() >= run.data.data() &&
                               view.data() + view.size() <= run.data.data() + run.data.size()));
            Result<Number> n =
                ok ? decode_number(field.encoding, view, pos, field.shape, field.name)
                   : Result<Number>(std::move(err));
            ok = n.ok();
            if (masking) {
                // A later field of the same column may overwrite an earlier one's value.
                if (!ok) FUZZ_CHECK(masks[field.column][i] == 1);
                bool later = false;
                for (std::size_t g = f + 1; g < layout.fields().size(); ++g)
                    later |= layout.fields()[g].column == field.column;
                if (ok && !later && masks[field.column][i] == 0)
                    FUZZ_CHECK(stored_equals(store, values[field.column].data(), i, n.value()));
            } else if (!ok) {
                // The run stops at the first failure in walk order.
                FUZZ_CHECK(failure.failed && failure.packet == i && failure.field == f);
                failed = true;
                break;
            } else {
                bool later = false;
                for (std::size_t g = f + 1; g < layout.fields().size(); ++g)
                    later |= layout.fields()[g].column == field.column;
                if (!later && (!failure.failed || i < failure.packet))
                    FUZZ_CHECK(stored_equals(store, values[field.column].data(), i, n.value()));
            }
        }
    }
    if (!masking && !failed)
        FUZZ_CHECK(!failure.failed || layout.fields().empty() ||
                   columns[layout.fields()[failure.field].column].store == Store::object);

    // Encoding: numbers from the fuzzer, through the engine and through the field writer.
    if (by_offsets || layout.size() > 64) return 0;
    const std::uint64_t count = in.take<std::uint8_t>() % 8;
    std::vector<std::int64_t> source(std::size_t(count) * layout.fields().size() + 1);
    for (auto& v : source) v = in.take<std::int64_t>() >> (in.take<std::uint8_t>() % 64);
    std::vector<ColumnIn> ins(layout.fields().size());
    for (std::size_t f = 0; f < ins.size(); ++f)
        if (encodes_directly(layout.fields()[f].encoding, layout.fields()[f].shape.bits,
                             SourceKind::i64))
            ins[f] = {reinterpret_cast<const std::uint8_t*>(source.data() + f * count),
                      sizeof(std::int64_t), SourceKind::i64};
    const std::size_t total = std::size_t(count * layout.size());
    std::vector<std::uint8_t> packed(total + 1, 0), expect(total + 1, 0);
    RunFailure pack_failure;
    encode_columns(layout, packed.data(), count, ins, pack_failure, false);
    if (pack_failure.failed) return 0;
    for (std::uint64_t i = 0; i < count; ++i)
        for (std::size_t f = 0; f < ins.size(); ++f) {
            if (ins[f].values == nullptr) continue;
            const LayoutField& field = layout.fields()[f];
            const std::int64_t v = source[f * count + i];
            Result<std::uint64_t> p =
                field.encoding == Encoding::unsigned_int ? Result<std::uint64_t>(std::uint64_t(v))
                : ieee754_width(field.encoding) != 0
                    ? encode_float_pattern(field.encoding, double(v), field.shape.bits)
                    : encode_integer_pattern(field.encoding, v, field.shape.bits);
            FUZZ_CHECK(p.ok());
            put_number_field({expect.data(), total},
                             BitPos{i * layout.size(), 0}.plus(field.offset), p.value(),
                             field.shape);
        }
    FUZZ_CHECK(packed == expect);
    return 0;
}
