// Container trees: a mission database's packets decoded one at a time, from the root
// container down to the one each packet is, in one pass over a stream.
//
// A tree is a program of 64-bit words (written by the Python layer from the compiled
// containers) over compiled layouts: each container node reads its runs of fixed fields,
// moves to places given from the packet's start, and notes where its variable-size fields
// lie; then the packet goes to the one child whose restriction criteria it meets. Values
// land in slots, one per layout column or variable field, and a concrete container copies
// the slots of its table's columns. Trees cover what these steps express; anything else
// (conditional entries, arrays sized in each packet, strings with terminators) stays with
// the Python layer, and so does every packet that cannot be read: decode reports it and
// the caller decodes the whole stream the general way.
//
// Every word of a program is checked when it is read: a program that does not describe
// a tree (an id out of range, a child before its parent, a condition that does not
// evaluate to one answer) is refused, never run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "errors.hpp"
#include "layout.hpp"

namespace bitweave {

// What a slot holds: a layout column's number (numeric), the bit where a text or binary
// field of a layout starts (position: the caller reads it), or a variable-size field's
// first bit and its size in bytes (variable).
enum class SlotKind : std::uint8_t { numeric, position, variable };

struct TreeSlot {
    SlotKind kind = SlotKind::numeric;
    Store store = Store::i64;  // numeric slots: the column's store
};

enum class TreeOpKind : std::uint8_t { run, seek, variable };

struct TreeOp {
    TreeOpKind kind = TreeOpKind::run;
    std::uint32_t index = 0;  // run: the run; variable: the slot it fills
    std::uint64_t bits =
        0;  // run: bits it spans; seek: the bit to move to; variable: bits skipped first
    std::int64_t size_slot = -1;      // variable: the numeric slot its size comes from, or -1
    std::uint64_t fixed_bits = 0;     // variable without a size slot: its size
    double slope = 1, intercept = 0;  // variable: size = slope * value + intercept bits
    bool sure_size = false;           // every walk here has filled the size slot
};

// A restriction, in postfix: comparisons push an answer, all/any combine the last n.
enum class TermKind : std::uint8_t { compare_int, compare_real, all, any, constant };
enum class CompareOp : std::uint8_t { eq, ne, lt, le, gt, ge };

struct TreeTerm {
    TermKind kind = TermKind::constant;
    CompareOp op = CompareOp::eq;
    std::uint32_t slot = 0;
    std::uint64_t count = 0;  // all/any: how many answers; constant: the answer
    std::uint64_t word = 0;   // compare_int: the value in the slot's own signedness
    double real = 0;          // compare_real
};

struct TreeNode {
    bool abstract = false;
    // Packets that reach the node are counted unsupported, as the node itself (on entry)
    // or, after its own steps, as `unsupported_as` (a child that cannot be told apart).
    enum class Refuse : std::uint8_t { none, on_entry, after_steps } refuse = Refuse::none;
    std::uint32_t unsupported_as = 0;
    std::vector<TreeOp> ops;
    std::vector<std::uint32_t> kids;
    // Each kid's restriction: terms[first, first + count); none means every packet.
    std::vector<std::pair<std::size_t, std::size_t>> kid_terms;
    std::int64_t dispatch_slot = -1;  // kids told apart by one integer slot's value
    std::unordered_map<std::uint64_t, std::uint32_t> dispatch;  // value -> kid number
    std::int64_t table = -1;  // the table a packet that stops here goes to
    // Every walk that leaves this node's steps has filled the slots its children's
    // restrictions read (sure_kids) and its table's columns (sure_table): not checked then.
    bool sure_kids = false, sure_table = false;
};

// How a run's field is read: word-wise where its bits lie in one 8-byte word read most
// significant first, else through the core's full decode.
enum class FieldRead : std::uint8_t { general, unsigned_word, signed_word, f32_word, position };

struct TreeField {
    std::uint64_t offset = 0;  // from the run's first bit
    std::uint32_t slot = 0;
    std::size_t field = 0;  // the layout's field
    FieldRead read = FieldRead::general;
    unsigned bits = 0;
};

struct TreeRun {
    const CompiledLayout* layout = nullptr;
    std::uint64_t bits = 0;
    std::vector<std::uint32_t> column_slots;  // the slot of each layout column
    std::vector<TreeField> fields;
};

// A table's columns in one row a packet: each column's bytes at its place in the row
// (store_size bytes for numeric slots; for position slots one int64; for variable slots two
// int64, the first bit and the size in bytes).
struct TreeTable {
    std::vector<std::int64_t> packet_index;
    std::vector<std::int64_t> packet_offset;
    std::vector<std::uint8_t> rows;
};

// Where a table column lies in its rows.
struct TreeColumn {
    std::uint32_t slot = 0;
    std::size_t at = 0;    // its first byte in a row
    std::size_t size = 0;  // its bytes in a row
};

// Packets left out: the node where each stopped, and its stream number and byte offset.
struct TreeSkips {
    std::vector<std::uint32_t> node;
    std::vector<std::int64_t> packet_index;
    std::vector<std::int64_t> packet_offset;
};

// A walk's working values, one a slot, and which packet filled each (its mark).
struct TreeScratch {
    std::vector<std::uint64_t> values, sizes, filled;
    std::vector<std::uint8_t> stack;
};

struct TreeResult {
    // False when some packet needs the general path (a field that does not decode, a size
    // that is not finite or not whole bytes, a packet that lies outside the data).
    bool complete = false;
    std::vector<TreeTable> tables;
    TreeSkips unmatched, truncated, unsupported;
    // Kept with the tables, so that a result decoded into again reuses them too: each
    // decode takes the next `count` marks.
    TreeScratch scratch;
    std::uint64_t marks = 0;
};

class Tree {
  public:
    // Reads a program; false with err set when it does not describe a tree over `layouts`.
    bool read(std::span<const std::int64_t> words, std::span<const double> reals,
              std::span<const CompiledLayout* const> layouts, CodecError& err);

    const std::vector<TreeSlot>& slots() const { return slots_; }
    // Each table's columns, and the bytes of one of its rows.
    const std::vector<std::vector<TreeColumn>>& tables() const { return tables_; }
    std::size_t row_bytes(std::size_t table) const { return row_bytes_[table]; }

    // Decodes packets [0, count) into `out` (emptied first, its memory kept): packet i starts at
    // byte offsets[i] of data and spans lengths[i] bytes (int64 values at any alignment, each read
    // once); its stream number is first_index + i.
    void decode(std::span<const std::uint8_t> data, const std::uint8_t* offsets,
                const std::uint8_t* lengths, std::uint64_t count, std::int64_t first_index,
                TreeResult& out) const;

    // One packet's walk: where it ended (a table's node, or the node where it was left out,
    // or `general` when it needs the general path), with its slots in `scratch`.
    struct Outcome {
        enum Kind : std::uint8_t { table, unmatched, truncated, unsupported, general } kind;
        std::uint32_t node;
    };
    using Scratch = TreeScratch;
    // Makes scratch ready for walks (once; walks reuse it, each with its own mark).
    void start(Scratch& scratch) const;
    // Walks one packet; `mark` tells this packet's slots from an earlier one's and must
    // differ from every mark used since start.
    Outcome walk(std::span<const std::uint8_t> packet, std::uint64_t mark, Scratch& scratch) const;
    // The row of table t from a walk that ended there.
    void write_row(std::size_t t, const Scratch& scratch, std::uint8_t* row) const;
    // The table a node's packets go to, or -1.
    std::int64_t table_of(std::uint32_t node) const { return nodes_[node].table; }
    std::size_t node_count() const { return nodes_.size(); }

  private:
    bool evaluate(std::size_t first, std::size_t count, const std::vector<std::uint64_t>& values,
                  std::vector<std::uint8_t>& stack) const;
    // Marks which reads of slots every walk has filled first; marks_ when any read is not.
    void settle();

    std::vector<TreeSlot> slots_;
    std::vector<TreeRun> runs_;
    std::vector<TreeNode> nodes_;
    std::vector<TreeTerm> terms_;
    std::vector<std::vector<TreeColumn>> tables_;
    std::vector<std::size_t> row_bytes_;
    bool marks_ = true;    // some slot read needs the walk's marks to tell it was filled
    bool shallow_ = true;  // no restriction holds more than 64 answers at once
};

}  // namespace bitweave
