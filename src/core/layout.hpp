// Compiled layouts: a recipe read once, then whole runs of packets decoded into typed
// columns and encoded back, one tight loop per field.
//
// A CompiledLayout places each item where the packet walks place it and decides once,
// per field, how its values are stored (the smallest type that holds every value
// exactly). decode_columns and encode_columns then work over blocks of packets, field by
// field; they touch no interpreter object, so callers may run them without the
// interpreter's lock. Fields whose values are objects (text, bytes, and columns that mix
// kinds of number) are left to the caller, which reads them one at a time with
// locate_field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "encoding.hpp"
#include "errors.hpp"
#include "field.hpp"

namespace bitweave {

// How a column stores its values.
enum class Store : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, object };

constexpr std::size_t store_size(Store s) {
    switch (s) {
        case Store::u8:
        case Store::i8: return 1;
        case Store::u16:
        case Store::i16: return 2;
        case Store::u32:
        case Store::i32:
        case Store::f32: return 4;
        default: return 8;
    }
}

// The numpy type code of a store ("u1", "i8", "f4", "O").
constexpr const char* store_code(Store s) {
    constexpr const char* codes[] = {"u1", "u2", "u4", "u8", "i1", "i2",
                                     "i4", "i8", "f4", "f8", "O"};
    return codes[std::size_t(s)];
}

// One recipe item as a layout takes it: its field's encoding and shape, and where it
// starts (the end of the item before it when it gives no offset).
struct LayoutItem {
    std::string name;
    Encoding encoding = Encoding::unsigned_int;
    FieldShape shape;
    bool has_offset = false;
    std::uint64_t offset_bits = 0;
};

struct LayoutField {
    std::string name;
    Encoding encoding = Encoding::unsigned_int;
    FieldShape shape;
    std::uint64_t offset = 0;  // first bit, counted from the packet's first bit
    std::size_t column = 0;
};

struct LayoutColumn {
    std::string name;
    Store store = Store::u8;
};

class CompiledLayout {
  public:
    // Adds the next item. Refused, with the error a packet walk gives when it reaches the
    // field, when no packet can ever decode it: a reserved float format, a float field
    // narrower than its format, BCD wider than 64 bits, a binary field of a width that is
    // not whole bytes, or a field that ends beyond 2^64 bits.
    bool add(const LayoutItem& item, CodecError& err);

    const std::vector<LayoutField>& fields() const { return fields_; }
    const std::vector<LayoutColumn>& columns() const { return columns_; }
    // The furthest field end, in bits from the packet's first bit.
    std::uint64_t bits() const { return bits_; }
    // The packet length that packing the recipe gives, in bytes.
    std::uint64_t size() const { return sizing_end_ / 8 + (sizing_end_ % 8 != 0); }
    // The bytes a packet needs from its first byte when it starts `shift` (0..7) bits into
    // that byte: every field must end within them.
    std::uint64_t bytes_needed(unsigned shift) const;

  private:
    std::vector<LayoutField> fields_;
    std::vector<LayoutColumn> columns_;
    std::unordered_map<std::string, std::size_t> column_of_;  // a column's index by its name
    std::uint64_t cursor_ = 0;      // where an item without an offset starts
    std::uint64_t sizing_end_ = 0;  // the furthest end as packing's sizing pass counts it
    std::uint64_t bits_ = 0;
};

// The store a field's values need on their own.
Store natural_store(Encoding encoding, std::uint64_t bits);

// The numeric fields that word-wise loops read and write, by what they do with the bits:
// binary integers of 1 to 64 bits, and floats that fill their field exactly.
enum class Fast : std::uint8_t { none, unsigned_int, twos_complement, f16, f32, f64 };
Fast fast_kind(const LayoutField& f);

// ---- Where the packets lie ----

// Packet i starts at byte offsets[i] when offsets are given, else at byte i * stride; its
// fields are then placed offset_bits further on. A packet's bytes run to the end of the
// data, or, with lengths, for lengths[i] bytes (never past the data's end).
//
// offsets and lengths are count 8-byte signed integers in the machine's byte order, at any
// alignment. They may be a caller's memory that another thread rewrites while a decode
// runs: each value is read once (index_at), checked, and only that checked copy is used.
struct PacketRun {
    std::span<const std::uint8_t> data;
    std::uint64_t offset_bits = 0;
    std::uint64_t count = 0;
    std::uint64_t stride = 0;
    const std::uint8_t* offsets = nullptr;
    const std::uint8_t* lengths = nullptr;
};

// Entry i of an offsets or lengths array, read once.
inline std::int64_t index_at(const std::uint8_t* values, std::uint64_t i) {
    std::int64_t v;
    std::memcpy(&v, values + i * sizeof v, sizeof v);
    return v;
}

// The bytes of packet i, and the position of its first field bit within them; false with
// err set for an offset or a length that is negative.
bool packet_bytes_of(const PacketRun& run, std::uint64_t i, std::span<const std::uint8_t>& bytes,
                     BitPos& start, CodecError& err);

// How many packets of `stride` bytes, from bit offset_bits, fit in `size` bytes of data
// with all of a layout's fields.
std::uint64_t packets_that_fit(const CompiledLayout& layout, std::uint64_t size,
                               std::uint64_t offset_bits, std::uint64_t stride);

// The first failure of a run: the lowest packet, and in it the first field in recipe
// order, as a serial walk would meet it.
struct RunFailure {
    bool failed = false;
    std::uint64_t packet = 0;
    std::size_t field = 0;
    CodecError error;

    bool before(std::uint64_t p, std::size_t f) const {
        return !failed || p < packet || (p == packet && f < field);
    }
    void offer(std::uint64_t p, std::size_t f, CodecError e) {
        if (!before(p, f)) return;
        failed = true;
        packet = p;
        field = f;
        error = std::move(e);
    }
};

// Locates field f of packet i: the packet's bytes and the field's position in them; false
// with err set (the walk's own past-the-end text) when the field does not lie inside.
bool locate_field(const CompiledLayout& layout, const PacketRun& run, std::uint64_t i,
                  std::size_t f, std::span<const std::uint8_t>& bytes, BitPos& pos,
                  CodecError& err);

// ---- Decoding ----

// A column's storage: count values of its store, and in masking mode a byte per packet
// set to 1 where a field of the column did not decode (its value is then 0).
struct ColumnOut {
    void* values = nullptr;
    std::uint8_t* mask = nullptr;
};

// Decodes every field whose column is not an object column, for packets [0, run.count).
// Without masks, a field stops at its first failure, and `failure` keeps the first in
// walk order; with masks, failures are masked and `failure` stays empty.
void decode_columns(const CompiledLayout& layout, const PacketRun& run,
                    std::span<const ColumnOut> columns, bool masking, RunFailure& failure);

// ---- Encoding ----

// How the values of a numeric source column are laid out: the element type and the
// distance between elements (0 repeats one value).
enum class SourceKind : std::uint8_t { i8, i16, i32, i64, u8, u16, u32, u64, f16, f32, f64 };

struct ColumnIn {
    const std::uint8_t* values = nullptr;
    std::ptrdiff_t stride = 0;
    SourceKind kind = SourceKind::i64;
};

// Whether encode_columns can take values of `kind` for a field of `encoding`: integers for
// the integer encodings, any number for the float formats. Other pairings, and fields
// that packing refuses, are left to the caller's value-by-value path.
bool encodes_directly(Encoding encoding, std::uint64_t bits, SourceKind kind);

// Writes every field that has a source (sources[f].values != nullptr) into `count` packets
// of layout.size() bytes at `out`, in recipe order; `zero` first zeroes each block of
// packets (otherwise `out` must be zeroed already, and other fields may have been written).
// Stops at the first value that does not encode; `failure` names it (its error text is the
// caller's to make, with the value in hand).
void encode_columns(const CompiledLayout& layout, std::uint8_t* out, std::uint64_t count,
                    std::span<const ColumnIn> sources, RunFailure& failure, bool zero);

}  // namespace bitweave
