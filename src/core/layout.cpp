#include "layout.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace bitweave {

// ---- Compiling ----

Store natural_store(Encoding encoding, std::uint64_t bits) {
    const auto by_width = [bits](Store s8) {
        const int step = bits <= 8 ? 0 : bits <= 16 ? 1 : bits <= 32 ? 2 : 3;
        return Store(int(s8) + step);
    };
    switch (encoding) {
        case Encoding::unsigned_int: return by_width(Store::u8);
        case Encoding::twos_complement:
        case Encoding::ones_complement:
        case Encoding::sign_magnitude: return by_width(Store::i8);
        case Encoding::bcd:
        case Encoding::bcd_signed:
        case Encoding::packed_bcd:
        case Encoding::packed_bcd_signed: return Store::i64;
        case Encoding::ieee754_f16:
        case Encoding::ieee754_f32: return Store::f32;
        case Encoding::ieee754_f64:
        case Encoding::ieee754_f128: return Store::f64;
        default: return Store::object;
    }
}

namespace {

bool is_unsigned_store(Store s) { return s <= Store::u64; }
bool is_float_store(Store s) { return s == Store::f32 || s == Store::f64; }

// The store that holds every value of two stores exactly: the wider integer of one
// signedness, a signed integer wide enough for an unsigned one, the wider float; an
// object column where no number type can (integers beside floats, 64-bit unsigned beside
// signed).
Store promote(Store a, Store b) {
    if (a == b) return a;
    if (a == Store::object || b == Store::object) return Store::object;
    if (is_float_store(a) && is_float_store(b)) return Store::f64;
    if (is_float_store(a) || is_float_store(b)) return Store::object;
    if (is_unsigned_store(a) == is_unsigned_store(b)) return std::max(a, b);
    const Store u = is_unsigned_store(a) ? a : b, s = is_unsigned_store(a) ? b : a;
    if (u == Store::u64) return Store::object;
    const Store wide = Store(int(u) - int(Store::u8) + int(Store::i16));  // u8 -> i16, ...
    return std::max(wide, s);
}
static_assert(Store(int(Store::u32) - int(Store::u8) + int(Store::i16)) == Store::i64);

CodecError refusal(const LayoutItem& item) {
    if (const char* message = reserved_format_message(item.encoding))
        return not_implemented(message);
    if (const unsigned width = ieee754_width(item.encoding); item.shape.bits < width)
        return ieee754_too_narrow(width);
    if (item.shape.bits > 64) {
        if (item.encoding == Encoding::bcd || item.encoding == Encoding::bcd_signed)
            return value_error("bits must be <= 64 for unpacked BCD");
        if (item.encoding == Encoding::packed_bcd || item.encoding == Encoding::packed_bcd_signed)
            return value_error("bits must be <= 64 for packed BCD");
    }
    if (item.encoding == Encoding::binary && item.shape.bits % 8 != 0)
        return value_error("bits must be a multiple of 8 for binary fields, not " +
                           std::to_string(item.shape.bits));
    return {};
}

}  // namespace

bool CompiledLayout::add(const LayoutItem& item, CodecError& err) {
    if ((err = refusal(item))) return false;
    const std::uint64_t start = item.has_offset ? item.offset_bits : cursor_;
    const std::uint64_t sizing_start = item.has_offset ? item.offset_bits : sizing_end_;
    std::uint64_t end, sizing_end;
    if (!field_end(start, item.shape.bits, end, err) ||
        !field_end(sizing_start, item.shape.bits, sizing_end, err))
        return false;
    const Store store = natural_store(item.encoding, item.shape.bits);
    const auto [found, added] = column_of_.try_emplace(item.name, columns_.size());
    const std::size_t column = found->second;
    if (added)
        columns_.push_back({item.name, store});
    else
        columns_[column].store = promote(columns_[column].store, store);
    fields_.push_back({item.name, item.encoding, item.shape, start, column});
    cursor_ = end;
    sizing_end_ = std::max(sizing_end_, sizing_end);
    bits_ = std::max(bits_, end);
    return true;
}

std::uint64_t CompiledLayout::bytes_needed(unsigned shift) const {
    std::uint64_t need = 0;
    const BitPos first{0, shift};
    for (const LayoutField& f : fields_)
        need = std::max(need, first.plus(f.offset).end_byte(f.shape.bits));
    return need;
}

// ---- Where the packets lie ----

bool packet_bytes_of(const PacketRun& run, std::uint64_t i, std::span<const std::uint8_t>& bytes,
                     BitPos& start, CodecError& err) {
    std::uint64_t s;
    if (run.offsets != nullptr) {
        const std::int64_t o = index_at(run.offsets, i);
        if (o < 0) return err = value_error("offset " + std::to_string(o) + " is negative"), false;
        s = std::uint64_t(o);
    } else if (!checked_mul(i, run.stride, s)) {
        s = std::numeric_limits<std::uint64_t>::max();
    }
    bytes = s < run.data.size() ? run.data.subspan(std::size_t(s)) : run.data.last(0);
    if (run.lengths != nullptr) {
        const std::int64_t len = index_at(run.lengths, i);
        if (len < 0)
            return err = value_error("length " + std::to_string(len) + " is negative"), false;
        if (std::uint64_t(len) < bytes.size()) bytes = bytes.first(std::size_t(len));
    }
    start = BitPos::of(run.offset_bits);
    return true;
}

std::uint64_t packets_that_fit(const CompiledLayout& layout, std::uint64_t size,
                               std::uint64_t offset_bits, std::uint64_t stride) {
    std::uint64_t need;
    if (!checked_add(layout.bytes_needed(unsigned(offset_bits % 8)), offset_bits / 8, need) ||
        need > size)
        return 0;
    if (stride == 0) return std::numeric_limits<std::uint64_t>::max();
    return (size - need) / stride + 1;
}

bool locate_field(const CompiledLayout& layout, const PacketRun& run, std::uint64_t i,
                  std::size_t f, std::span<const std::uint8_t>& bytes, BitPos& pos,
                  CodecError& err) {
    BitPos start;
    if (!packet_bytes_of(run, i, bytes, start, err)) return false;
    const LayoutField& field = layout.fields()[f];
    pos = start.plus(field.offset);
    return check_in_packet(pos, field.shape.bits, bytes.size(), err);
}

// ---- Decoding ----

Fast fast_kind(const LayoutField& f) {
    if (f.shape.bits == 0 || f.shape.bits > 64) return Fast::none;
    switch (f.encoding) {
        case Encoding::unsigned_int: return Fast::unsigned_int;
        case Encoding::twos_complement: return Fast::twos_complement;
        case Encoding::ieee754_f16: return f.shape.bits == 16 ? Fast::f16 : Fast::none;
        case Encoding::ieee754_f32: return f.shape.bits == 32 ? Fast::f32 : Fast::none;
        case Encoding::ieee754_f64: return Fast::f64;  // exactly 64 bits here
        default: return Fast::none;
    }
}

namespace {

template <class Out>
Out from_number(const Number& n) {
    switch (n.kind) {
        case Number::Kind::unsigned_int: return Out(n.u());
        case Number::Kind::signed_int: return Out(n.i());
        case Number::Kind::real: break;
    }
    return Out(n.d());
}

// The value of a field's bits, as read most significant first, for a fast kind.
template <class Out, Fast K, bool Plain>
Out fast_value(std::uint64_t raw, FieldShape s) {
    // The shape comes by value: stores through a column of bytes may alias anything, and a
    // copy keeps the loop from reading it again after each one.
    const std::size_t n = std::size_t(s.bits);
    const std::uint64_t v = Plain ? raw : field_value(raw, n, s.reverse_bits, s.little);
    if constexpr (K == Fast::unsigned_int) {
        return Out(v);
    } else if constexpr (K == Fast::twos_complement) {
        return Out(std::int64_t(v << (64 - n)) >> (64 - n));  // n in 1..64
    } else if constexpr (K == Fast::f16) {
        return Out(decode_ieee754_f16(v));
    } else if constexpr (K == Fast::f32) {
        return Out(detail::float_of(std::uint32_t(v)));
    } else {
        return Out(detail::double_of(v));
    }
}

// By offsets: where the packets of one block lie, copied once out of the run's arrays.
// The caller's arrays may change under us at any moment; the field loops read only these
// copies, which offsets_block has checked, so every read stays inside the data.
struct OffsetsBlock {
    static constexpr std::uint64_t most = 4096;  // packets per block
    // Sized for the run's packets, at most `most`: a short run zeroes no more than it uses.
    explicit OffsetsBlock(std::uint64_t count)
        : offset(std::size_t(std::min(count, most))), length(offset.size()), whole(offset.size()) {}
    std::vector<std::int64_t> offset;
    std::vector<std::int64_t> length;  // 0 without lengths
    std::vector<std::uint8_t> whole;   // holds every field
    bool clean = false;  // every packet holds every field, and every field's 8-byte word
                         // lies inside the data
};

// One field over packets [b0, b1).
struct FieldJob {
    const CompiledLayout& layout;
    const PacketRun& run;
    std::size_t index;
    const LayoutField& field;
    std::uint8_t* mask;
    RunFailure& failure;
    const OffsetsBlock* block = nullptr;  // by offsets: the block from b0

    void fail(std::uint64_t i, CodecError e) {
        if (mask != nullptr)
            mask[i] = 1;
        else
            failure.offer(i, index, std::move(e));
    }

    // locate_field for packet i of the block from b0; by offsets, from the block's copies.
    bool locate(std::uint64_t i, std::uint64_t b0, std::span<const std::uint8_t>& bytes,
                BitPos& pos, CodecError& err) const {
        if (block == nullptr) return locate_field(layout, run, i, index, bytes, pos, err);
        PacketRun one = run;
        one.count = 1;
        one.offsets = reinterpret_cast<const std::uint8_t*>(&block->offset[i - b0]);
        if (run.lengths != nullptr)
            one.lengths = reinterpret_cast<const std::uint8_t*>(&block->length[i - b0]);
        return locate_field(layout, one, 0, index, bytes, pos, err);
    }

    // Any field, a packet at a time, through the core's full decode.
    template <class Out>
    void general(Out* out, std::uint64_t b0, std::uint64_t b1) {
        for (std::uint64_t i = b0; i < b1; ++i) {
            if (mask == nullptr && !failure.before(i, index)) return;
            std::span<const std::uint8_t> bytes;
            BitPos pos;
            CodecError err;
            if (!locate(i, b0, bytes, pos, err)) {
                out[i] = Out();
                fail(i, std::move(err));
                if (mask == nullptr) return;
                continue;
            }
            Result<Number> n = decode_number(field.encoding, bytes, pos, field.shape, field.name);
            if (n.ok()) {
                out[i] = from_number<Out>(n.value());
            } else {
                out[i] = Out();
                fail(i, n.take_error());
                if (mask == nullptr) return;
            }
        }
    }

    // A field of at most 64 bits that lies in one 8-byte word from its first byte:
    // one load, a shift, a mask, and the kind's own step, per packet.
    template <class Out, Fast K, bool Plain>
    void words(Out* out, std::uint64_t b0, std::uint64_t b1) {
        // Everything the loops read, in locals: a column of bytes may alias any memory.
        const std::uint8_t* const data = run.data.data();
        const std::uint64_t size = run.data.size();
        const std::uint64_t stride = run.stride;
        const FieldShape shape = field.shape;
        const BitPos at = BitPos::of(run.offset_bits).plus(field.offset);  // from packet start
        const unsigned shift = at.bit;
        const std::size_t n = std::size_t(shape.bits);
        if (block == nullptr) {
            // Every packet of the run holds every field (the caller counted them), so only
            // the word load near the data's end needs care.
            std::uint64_t fast_end = b0;
            if (size >= 8 && at.byte <= size - 8)
                fast_end = stride == 0 ? b1 : std::min(b1, (size - 8 - at.byte) / stride + 1);
            for (std::uint64_t i = b0; i < fast_end; ++i) {
                const std::uint8_t* p = data + at.byte + i * stride;
                out[i] = fast_value<Out, K, Plain>((load_be64(p) << shift) >> (64 - n), shape);
            }
            for (std::uint64_t i = fast_end; i < b1; ++i)
                out[i] = fast_value<Out, K, Plain>(
                    read_bits(data, {at.byte + i * stride, shift}, n), shape);
            return;
        }
        // By offsets: only the block's checked copies, indexed from b0.
        const std::int64_t* const offsets = block->offset.data();
        const std::int64_t* const lengths = block->length.data();
        const std::uint8_t* const whole = block->whole.data();
        if (block->clean) {
            for (std::uint64_t i = b0; i < b1; ++i) {
                const std::uint8_t* p = data + std::uint64_t(offsets[i - b0]) + at.byte;
                out[i] = fast_value<Out, K, Plain>((load_be64(p) << shift) >> (64 - n), shape);
            }
            return;
        }
        for (std::uint64_t i = b0; i < b1; ++i) {
            const std::int64_t o = offsets[i - b0];
            if (whole[i - b0] != 0) {  // the packet holds every field: no check of its own
                const std::uint64_t byte = std::uint64_t(o) + at.byte;
                const std::uint64_t raw = size >= 8 && byte <= size - 8
                                              ? (load_be64(data + byte) << shift) >> (64 - n)
                                              : read_bits(data, {byte, shift}, n);
                out[i] = fast_value<Out, K, Plain>(raw, shape);
                continue;
            }
            // A packet too short for some field, or one that lies outside the data.
            const std::int64_t len = lengths[i - b0];  // 0 without lengths
            std::uint64_t room = o < 0 ? 0 : size - std::min(size, std::uint64_t(o));
            if (run.lengths != nullptr && len >= 0) room = std::min(room, std::uint64_t(len));
            if (o < 0 || len < 0 || at.end_byte(n) > room) {
                if (mask == nullptr && !failure.before(i, index)) return;
                out[i] = Out();
                std::span<const std::uint8_t> bytes;
                BitPos pos;
                CodecError err;
                locate(i, b0, bytes, pos, err);
                fail(i, std::move(err));
                if (mask == nullptr) return;
                continue;
            }
            const std::uint64_t byte = std::uint64_t(o) + at.byte;
            const std::uint64_t raw = size >= 8 && byte <= size - 8
                                          ? (load_be64(data + byte) << shift) >> (64 - n)
                                          : read_bits(data, {byte, shift}, n);
            out[i] = fast_value<Out, K, Plain>(raw, shape);
        }
    }

    template <class Out, Fast K>
    void words_of(Out* out, std::uint64_t b0, std::uint64_t b1) {
        if (!field.shape.reverse_bits && !field.shape.little)
            words<Out, K, true>(out, b0, b1);
        else
            words<Out, K, false>(out, b0, b1);
    }

    template <class Out>
    void run_range(void* column, std::uint64_t b0, std::uint64_t b1) {
        Out* out = static_cast<Out*>(column);
        const BitPos at = BitPos::of(run.offset_bits).plus(field.offset);
        const Fast kind = at.bit + field.shape.bits <= 64 ? fast_kind(field) : Fast::none;
        if constexpr (std::is_floating_point_v<Out>) {
            switch (kind) {
                case Fast::f16: return words_of<Out, Fast::f16>(out, b0, b1);
                case Fast::f32: return words_of<Out, Fast::f32>(out, b0, b1);
                case Fast::f64: return words_of<Out, Fast::f64>(out, b0, b1);
                default: return general(out, b0, b1);
            }
        } else {
            switch (kind) {
                case Fast::unsigned_int: return words_of<Out, Fast::unsigned_int>(out, b0, b1);
                case Fast::twos_complement:
                    return words_of<Out, Fast::twos_complement>(out, b0, b1);
                default: return general(out, b0, b1);
            }
        }
    }

    void decode(Store store, void* column, std::uint64_t b0, std::uint64_t b1) {
        switch (store) {
            case Store::u8: return run_range<std::uint8_t>(column, b0, b1);
            case Store::u16: return run_range<std::uint16_t>(column, b0, b1);
            case Store::u32: return run_range<std::uint32_t>(column, b0, b1);
            case Store::u64: return run_range<std::uint64_t>(column, b0, b1);
            case Store::i8: return run_range<std::int8_t>(column, b0, b1);
            case Store::i16: return run_range<std::int16_t>(column, b0, b1);
            case Store::i32: return run_range<std::int32_t>(column, b0, b1);
            case Store::i64: return run_range<std::int64_t>(column, b0, b1);
            case Store::f32: return run_range<float>(column, b0, b1);
            case Store::f64: return run_range<double>(column, b0, b1);
            case Store::object: return;
        }
    }
};

// Packets per block: about 64 KiB of packets, so that a block's bytes stay in the
// processor's cache while each of its fields is read in turn.
constexpr std::uint64_t block_bytes = std::uint64_t{1} << 16;

std::uint64_t block_packets(const PacketRun& run) {
    const std::uint64_t stride = run.stride == 0 ? 16 : run.stride;
    return std::max<std::uint64_t>(64, block_bytes / stride);
}

// By offsets: the end of a block from b0 whose packets span about 64 KiB of the data (at
// most OffsetsBlock::most packets), with each packet's offset and length copied into the
// block, and for each whether it holds every field of the layout. `clean` tells whether
// every packet holds every field and lies `reach` bytes or more before the data's end, so
// that each field's 8-byte word can be loaded unchecked.
std::uint64_t offsets_block(const PacketRun& run, std::uint64_t need, std::uint64_t reach,
                            std::uint64_t b0, OffsetsBlock& block) {
    const std::uint64_t size = run.data.size();
    const std::uint64_t end = std::min(run.count, b0 + OffsetsBlock::most);
    std::int64_t* const offsets = block.offset.data();
    std::int64_t* const lengths = block.length.data();
    std::uint8_t* const ok_of = block.whole.data();
    std::uint64_t low = ~std::uint64_t{0}, high = 0, b1 = b0;
    bool all = true;
    for (; b1 < end; ++b1) {
        const std::int64_t o = index_at(run.offsets, b1);
        const std::int64_t len = run.lengths != nullptr ? index_at(run.lengths, b1) : 0;
        bool ok = o >= 0 && len >= 0 && std::uint64_t(o) <= size;
        if (ok) {
            const std::uint64_t at = std::uint64_t(o);
            low = at < low ? at : low;
            high = at > high ? at : high;
            if (b1 > b0 && high - low > block_bytes) break;
            const std::uint64_t room =
                run.lengths != nullptr ? std::min(size - at, std::uint64_t(len)) : size - at;
            ok = need <= room;
            all &= reach <= size - at;
        }
        all &= ok;
        offsets[b1 - b0] = o;
        lengths[b1 - b0] = len;
        ok_of[b1 - b0] = ok;
    }
    block.clean = all;
    return b1;
}

}  // namespace

void decode_columns(const CompiledLayout& layout, const PacketRun& run,
                    std::span<const ColumnOut> columns, bool masking, RunFailure& failure) {
    const auto& fields = layout.fields();
    const std::uint64_t block = block_packets(run);
    // By offsets, the bytes every packet needs for all fields (none fit if it overflows).
    std::uint64_t need = ~std::uint64_t{0};
    if (!checked_add(layout.bytes_needed(unsigned(run.offset_bits % 8)), run.offset_bits / 8, need))
        need = ~std::uint64_t{0};
    // By offsets, the bytes from a packet's start that every field's 8-byte word needs.
    std::uint64_t reach = 0;
    for (const LayoutField& f : fields)
        reach = std::max(reach, BitPos::of(run.offset_bits).plus(f.offset).byte + 8);
    std::unique_ptr<OffsetsBlock> by_offsets;
    if (run.offsets != nullptr) by_offsets = std::make_unique<OffsetsBlock>(run.count);
    for (std::uint64_t b0 = 0, b1; b0 < run.count; b0 = b1) {
        b1 = by_offsets               ? offsets_block(run, need, reach, b0, *by_offsets)
             : run.count - b0 < block ? run.count
                                      : b0 + block;
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const LayoutColumn& column = layout.columns()[fields[f].column];
            const ColumnOut& out = columns[fields[f].column];
            FieldJob job{layout,          run, f, fields[f], masking ? out.mask : nullptr, failure,
                         by_offsets.get()};
            job.decode(column.store, out.values, b0, b1);
        }
        if (failure.failed) return;  // the first failure lies in this block
    }
}

// ---- Encoding ----

namespace {

bool is_integer_source(SourceKind k) { return k <= SourceKind::u64; }
bool is_signed_source(SourceKind k) { return k <= SourceKind::i64; }

struct SourceValue {
    std::uint64_t word;  // an integer's bits (two's complement for signed kinds)
    double real;
};

SourceValue read_source(const ColumnIn& in, std::uint64_t i) {
    const std::uint8_t* p = in.values + std::ptrdiff_t(i) * in.stride;
    const auto get = [p](auto v) {
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    switch (in.kind) {
        case SourceKind::i8: return {std::uint64_t(std::int64_t(get(std::int8_t{}))), 0};
        case SourceKind::i16: return {std::uint64_t(std::int64_t(get(std::int16_t{}))), 0};
        case SourceKind::i32: return {std::uint64_t(std::int64_t(get(std::int32_t{}))), 0};
        case SourceKind::i64: return {std::uint64_t(get(std::int64_t{})), 0};
        case SourceKind::u8: return {get(std::uint8_t{}), 0};
        case SourceKind::u16: return {get(std::uint16_t{}), 0};
        case SourceKind::u32: return {get(std::uint32_t{}), 0};
        case SourceKind::u64: return {get(std::uint64_t{}), 0};
        case SourceKind::f16: return {0, decode_ieee754_f16(get(std::uint16_t{}))};
        case SourceKind::f32: return {0, double(get(float{}))};
        case SourceKind::f64: return {0, get(double{})};
    }
    return {0, 0};
}

// The pattern of one value, or false when packing refuses it.
bool pattern_of(const LayoutField& f, const ColumnIn& in, std::uint64_t i, std::uint64_t& out) {
    const SourceValue v = read_source(in, i);
    if (f.encoding == Encoding::unsigned_int) {
        if (is_signed_source(in.kind) && std::int64_t(v.word) < 0) return false;
        if (f.shape.bits < 64 && (v.word >> f.shape.bits) != 0) return false;
        out = v.word;
        return true;
    }
    if (ieee754_width(f.encoding) != 0) {
        const double d = !is_integer_source(in.kind) ? v.real
                         : is_signed_source(in.kind) ? double(std::int64_t(v.word))
                                                     : double(v.word);
        Result<std::uint64_t> p = encode_float_pattern(f.encoding, d, f.shape.bits);
        if (!p.ok()) return false;
        out = p.value();
        return true;
    }
    if (!is_signed_source(in.kind) && v.word > std::uint64_t(INT64_MAX)) return false;
    if (f.encoding == Encoding::twos_complement && f.shape.bits >= 1 && f.shape.bits <= 64) {
        const std::int64_t x = std::int64_t(v.word);
        const std::uint64_t n = f.shape.bits;
        if (n < 64 && (x < -(std::int64_t{1} << (n - 1)) || x >= (std::int64_t{1} << (n - 1))))
            return false;
        out = v.word & low_mask(std::size_t(n));
        return true;
    }
    Result<std::uint64_t> p =
        encode_integer_pattern(f.encoding, std::int64_t(v.word), f.shape.bits);
    if (!p.ok()) return false;
    out = p.value();
    return true;
}

}  // namespace

bool encodes_directly(Encoding encoding, std::uint64_t bits, SourceKind kind) {
    switch (encoding) {
        case Encoding::ieee754_f16:
        case Encoding::ieee754_f32:
        case Encoding::ieee754_f64: return true;
        case Encoding::unsigned_int:
        case Encoding::twos_complement:
        case Encoding::ones_complement:
        case Encoding::sign_magnitude:
        case Encoding::bcd:
        case Encoding::bcd_signed:
        case Encoding::packed_bcd:
        case Encoding::packed_bcd_signed: return bits <= 64 && is_integer_source(kind);
        default: return false;
    }
}

namespace {

// Writes one field of at most 64 bits, laid out plainly, for packets [b0, b1): a value
// read, checked and shifted into place with one load and store where the output holds
// the whole 8-byte word. False at the first value packing refuses (`bad` names it).
template <class Src, Fast K>
bool encode_words(const LayoutField& f, const ColumnIn& in, std::span<std::uint8_t> out,
                  std::uint64_t size, std::uint64_t b0, std::uint64_t b1, std::uint64_t& bad) {
    const BitPos at = BitPos::of(f.offset);
    const std::size_t n = std::size_t(f.shape.bits);  // 1..64, and at.bit + n <= 64
    const unsigned shift = unsigned(64 - at.bit - n);
    const std::uint64_t mask = low_mask(n) << shift;
    const std::uint64_t total = out.size();
    std::uint64_t fast_end = b0;
    if (total >= 8 && at.byte <= total - 8)
        fast_end = size == 0 ? b1 : std::min(b1, (total - 8 - at.byte) / size + 1);
    for (std::uint64_t i = b0; i < b1; ++i) {
        Src s;
        std::memcpy(&s, in.values + std::ptrdiff_t(i) * in.stride, sizeof s);
        std::uint64_t v;
        if constexpr (K == Fast::unsigned_int) {
            if constexpr (std::is_signed_v<Src>)
                if (s < 0) return bad = i, false;
            v = std::uint64_t(s);
            if (n < 64 && (v >> n) != 0) return bad = i, false;
        } else if constexpr (K == Fast::twos_complement) {
            if constexpr (std::is_same_v<Src, std::uint64_t>)
                if (s > std::uint64_t(INT64_MAX)) return bad = i, false;
            const std::int64_t x = std::int64_t(s);
            if (n < 64 && (x < -(std::int64_t{1} << (n - 1)) || x >= (std::int64_t{1} << (n - 1))))
                return bad = i, false;
            v = std::uint64_t(x) & low_mask(n);
        } else if constexpr (K == Fast::f16) {
            v = encode_ieee754_f16(static_cast<float>(static_cast<double>(s)));
        } else if constexpr (K == Fast::f32) {
            v = encode_ieee754_f32(static_cast<float>(static_cast<double>(s)));
        } else {
            v = encode_ieee754_f64(static_cast<double>(s));
        }
        if (i < fast_end) {
            std::uint8_t* p = out.data() + at.byte + i * size;
            store_be64(p, (load_be64(p) & ~mask) | (v << shift));
        } else {
            write_bits(out.data(), {at.byte + i * size, at.bit}, v, n);
        }
    }
    return true;
}

// The word-wise writer for a field's kind and its source's type, or nullptr.
using Writer = bool (*)(const LayoutField&, const ColumnIn&, std::span<std::uint8_t>, std::uint64_t,
                        std::uint64_t, std::uint64_t, std::uint64_t&);

template <class Src>
Writer writer_for(Fast k) {
    switch (k) {
        case Fast::unsigned_int:
            if constexpr (std::is_integral_v<Src>) return encode_words<Src, Fast::unsigned_int>;
            return nullptr;
        case Fast::twos_complement:
            if constexpr (std::is_integral_v<Src>) return encode_words<Src, Fast::twos_complement>;
            return nullptr;
        case Fast::f16: return encode_words<Src, Fast::f16>;
        case Fast::f32: return encode_words<Src, Fast::f32>;
        case Fast::f64: return encode_words<Src, Fast::f64>;
        default: return nullptr;
    }
}

Writer word_writer(const LayoutField& f, SourceKind kind) {
    if (f.shape.reverse_bits || f.shape.little || f.shape.bits == 0 || f.shape.bits > 64 ||
        BitPos::of(f.offset).bit + f.shape.bits > 64)
        return nullptr;
    Fast k = fast_kind(f);
    // A float format's pattern in a wider field: the same write, zero-extended.
    if (f.encoding == Encoding::ieee754_f16 && f.shape.bits >= 16) k = Fast::f16;
    if (f.encoding == Encoding::ieee754_f32 && f.shape.bits >= 32) k = Fast::f32;
    switch (kind) {
        case SourceKind::i8: return writer_for<std::int8_t>(k);
        case SourceKind::i16: return writer_for<std::int16_t>(k);
        case SourceKind::i32: return writer_for<std::int32_t>(k);
        case SourceKind::i64: return writer_for<std::int64_t>(k);
        case SourceKind::u8: return writer_for<std::uint8_t>(k);
        case SourceKind::u16: return writer_for<std::uint16_t>(k);
        case SourceKind::u32: return writer_for<std::uint32_t>(k);
        case SourceKind::u64: return writer_for<std::uint64_t>(k);
        case SourceKind::f32: return writer_for<float>(k);
        case SourceKind::f64: return writer_for<double>(k);
        case SourceKind::f16: return nullptr;
    }
    return nullptr;
}

}  // namespace

void encode_columns(const CompiledLayout& layout, std::uint8_t* out, std::uint64_t count,
                    std::span<const ColumnIn> sources, RunFailure& failure, bool zero) {
    const auto& fields = layout.fields();
    const std::uint64_t size = layout.size();
    const std::span<std::uint8_t> all(out, std::size_t(count * size));
    std::vector<Writer> writers(fields.size());
    for (std::size_t f = 0; f < fields.size(); ++f)
        if (sources[f].values != nullptr) writers[f] = word_writer(fields[f], sources[f].kind);
    const std::uint64_t block = std::max<std::uint64_t>(64, (std::uint64_t{1} << 16) / (size + 1));
    for (std::uint64_t b0 = 0; b0 < count; b0 += block) {
        const std::uint64_t b1 = count - b0 < block ? count : b0 + block;
        // Zeroed a block at a time, while it is about to be written anyway.
        if (zero) std::memset(out + b0 * size, 0, std::size_t((b1 - b0) * size));
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const ColumnIn& in = sources[f];
            if (in.values == nullptr) continue;
            const LayoutField& field = fields[f];
            if (writers[f] != nullptr) {
                std::uint64_t bad = 0;
                if (!writers[f](field, in, all, size, b0, b1, bad)) failure.offer(bad, f, {});
                continue;
            }
            for (std::uint64_t i = b0; i < b1; ++i) {
                std::uint64_t pattern;
                if (!pattern_of(field, in, i, pattern)) {
                    failure.offer(i, f, {});
                    break;
                }
                put_number_field(all, BitPos{i * size, 0}.plus(field.offset), pattern, field.shape);
            }
        }
        if (failure.failed) return;
    }
}

}  // namespace bitweave
