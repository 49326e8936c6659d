#include "tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "field.hpp"

namespace bitweave {

namespace {

// Sizes and places beyond any packet are clamped here, far from the int64 limit, so that a
// position plus a size never overflows.
constexpr std::uint64_t far_bits = std::uint64_t{1} << 62;

bool is_integer_store(Store s) { return s <= Store::i64; }
bool is_signed_store(Store s) { return s >= Store::i8 && s <= Store::i64; }

// Reads a program's words in order; every read checks that a word is there and in range.
class Words {
  public:
    Words(std::span<const std::int64_t> w, CodecError& err) : w_(w), err_(err) {}

    bool next(std::int64_t low, std::int64_t high, std::int64_t& out, const char* what) {
        if (at_ >= w_.size()) return fail(std::string("the program ends before ") + what);
        out = w_[at_++];
        if (out < low || out > high)
            return fail(std::string(what) + " " + std::to_string(out) + " is out of range");
        return true;
    }
    bool index(std::size_t size, std::size_t& out, const char* what) {
        std::int64_t v;
        if (size == 0) return fail(std::string("there is nothing for ") + what + " to name");
        if (!next(0, std::int64_t(size - 1), v, what)) return false;
        out = std::size_t(v);
        return true;
    }
    bool count(std::size_t& out, const char* what) {
        std::int64_t v;
        // No count can exceed the words left: every counted item takes at least one.
        if (!next(0, std::int64_t(w_.size() - at_), v, what)) return false;
        out = std::size_t(v);
        return true;
    }
    bool word(std::uint64_t& out, const char* what) {
        std::int64_t v;
        if (!next(INT64_MIN, INT64_MAX, v, what)) return false;
        out = std::uint64_t(v);
        return true;
    }
    bool done() const { return at_ == w_.size(); }
    bool fail(std::string message) {
        err_ = value_error("not a container tree: " + message);
        return false;
    }

  private:
    std::span<const std::int64_t> w_;
    std::size_t at_ = 0;
    CodecError& err_;
};

// A slot's value as one word: unsigned and signed integers as themselves (two's complement),
// floats as the bits of the double they are.
std::uint64_t canonical(Store s, const Number& n) {
    const auto real = [&] {
        switch (n.kind) {
            case Number::Kind::unsigned_int: return double(n.u());
            case Number::Kind::signed_int: return double(n.i());
            case Number::Kind::real: break;
        }
        return n.d();
    };
    const auto integer = [&](auto v) {
        using T = decltype(v);
        T out;
        switch (n.kind) {
            case Number::Kind::unsigned_int: out = T(n.u()); break;
            case Number::Kind::signed_int: out = T(n.i()); break;
            default: out = T(n.d()); break;
        }
        return std::is_signed_v<T> ? std::uint64_t(std::int64_t(out)) : std::uint64_t(out);
    };
    switch (s) {
        case Store::u8: return integer(std::uint8_t{});
        case Store::u16: return integer(std::uint16_t{});
        case Store::u32: return integer(std::uint32_t{});
        case Store::u64: return integer(std::uint64_t{});
        case Store::i8: return integer(std::int8_t{});
        case Store::i16: return integer(std::int16_t{});
        case Store::i32: return integer(std::int32_t{});
        case Store::i64: return integer(std::int64_t{});
        case Store::f32: {
            const auto f = [&] {
                switch (n.kind) {
                    case Number::Kind::unsigned_int: return float(n.u());
                    case Number::Kind::signed_int: return float(n.i());
                    case Number::Kind::real: break;
                }
                return float(n.d());
            }();
            std::uint32_t bits;
            std::memcpy(&bits, &f, 4);
            return bits;
        }
        default: return encode_ieee754_f64(real());
    }
}

double real_of(Store s, std::uint64_t word) {
    if (is_signed_store(s)) return double(std::int64_t(word));
    if (is_integer_store(s)) return double(word);
    if (s == Store::f32) {
        float f;
        const auto bits = std::uint32_t(word);
        std::memcpy(&f, &bits, 4);
        return double(f);
    }
    return detail::double_of(word);
}

// A slot's value in its column's store: the word cut to the store's width (signed values
// are held sign-extended, f32 as their own 32 bits).
void put_value(std::uint8_t* out, Store s, std::uint64_t w) {
    const auto as = [&](auto v) { std::memcpy(out, &v, sizeof v); };
    switch (s) {
        case Store::u8:
        case Store::i8: return as(std::uint8_t(w));
        case Store::u16:
        case Store::i16: return as(std::uint16_t(w));
        case Store::u32:
        case Store::i32:
        case Store::f32: return as(std::uint32_t(w));
        default: return as(w);
    }
}

// How a run's field is read, fixed when the program is read.
FieldRead read_of(const LayoutField& f, Store store) {
    if (store == Store::object) return FieldRead::position;
    if (f.shape.reverse_bits || f.shape.little || f.shape.bits == 0 || f.shape.bits > 57)
        return FieldRead::general;  // 57 bits at any shift still lie in one word
    if (f.encoding == Encoding::unsigned_int && is_integer_store(store) && !is_signed_store(store))
        return FieldRead::unsigned_word;
    if (f.encoding == Encoding::twos_complement && is_signed_store(store))
        return FieldRead::signed_word;
    if (f.encoding == Encoding::ieee754_f32 && f.shape.bits == 32 && store == Store::f32)
        return FieldRead::f32_word;
    return FieldRead::general;
}

// The n bits (1 to 57) at bit `at` of a packet that holds them.
inline std::uint64_t word_bits(std::span<const std::uint8_t> packet, std::uint64_t at, unsigned n) {
    const std::uint64_t byte = at >> 3;
    std::uint64_t w;
    if (byte + 8 <= packet.size()) {
        w = load_be64(packet.data() + byte);
    } else {
        std::uint8_t tmp[8] = {};
        std::memcpy(tmp, packet.data() + byte, std::size_t(packet.size() - byte));
        w = load_be64(tmp);
    }
    return (w << (at & 7)) >> (64 - n);
}

template <class T>
bool compare(CompareOp op, T a, T b) {
    switch (op) {
        case CompareOp::eq: return a == b;
        case CompareOp::ne: return a != b;
        case CompareOp::lt: return a < b;
        case CompareOp::le: return a <= b;
        case CompareOp::gt: return a > b;
        case CompareOp::ge: return a >= b;
    }
    return false;
}

}  // namespace

bool Tree::read(std::span<const std::int64_t> program, std::span<const double> reals,
                std::span<const CompiledLayout* const> layouts, CodecError& err) {
    Words w(program, err);
    std::int64_t v;
    std::size_t n_slots, n_runs, n_nodes, n_tables;
    if (!w.next(1, 1, v, "the version") || !w.count(n_slots, "the slot count") ||
        !w.count(n_runs, "the run count") || !w.count(n_nodes, "the node count") ||
        !w.count(n_tables, "the table count"))
        return false;
    if (n_runs != layouts.size()) return w.fail("the runs are not one a layout");
    if (n_nodes == 0) return w.fail("it has no root node");
    shallow_ = true;
    slots_.assign(n_slots, {});
    std::vector<bool> assigned(n_slots, false);
    for (TreeSlot& s : slots_) {
        if (!w.next(0, 2, v, "a slot kind")) return false;
        s.kind = SlotKind(v);
    }
    runs_.assign(n_runs, {});
    for (std::size_t r = 0; r < n_runs; ++r) {
        TreeRun& run = runs_[r];
        run.layout = layouts[r];
        if (run.layout == nullptr) return w.fail("a run has no layout");
        std::size_t n_columns;
        if (!w.next(0, std::int64_t(far_bits), v, "a run's size")) return false;
        run.bits = std::uint64_t(v);
        if (run.layout->bits() > run.bits) return w.fail("a run is smaller than its fields");
        if (!w.count(n_columns, "a run's column count")) return false;
        if (n_columns != run.layout->columns().size())
            return w.fail("a run's columns are not its layout's");
        for (std::size_t c = 0; c < n_columns; ++c) {
            std::size_t slot;
            if (!w.index(n_slots, slot, "a column's slot")) return false;
            const Store store = run.layout->columns()[c].store;
            const SlotKind want = store == Store::object ? SlotKind::position : SlotKind::numeric;
            if (slots_[slot].kind != want || assigned[slot])
                return w.fail("a column's slot is of another kind or taken");
            assigned[slot] = true;
            slots_[slot].store = store;
            run.column_slots.push_back(std::uint32_t(slot));
        }
        const auto& fields = run.layout->fields();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::uint32_t slot = run.column_slots[fields[f].column];
            run.fields.push_back({fields[f].offset, slot, f, read_of(fields[f], slots_[slot].store),
                                  unsigned(std::min<std::uint64_t>(fields[f].shape.bits, 64))});
        }
    }
    const auto numeric = [&](std::size_t slot, bool integer) {
        return slots_[slot].kind == SlotKind::numeric && assigned[slot] &&
               (!integer || is_integer_store(slots_[slot].store));
    };
    nodes_.assign(n_nodes, {});
    for (std::size_t k = 0; k < n_nodes; ++k) {
        TreeNode& node = nodes_[k];
        std::size_t n_ops, n_kids, as;
        if (!w.next(0, 1, v, "a node's abstract flag")) return false;
        node.abstract = v != 0;
        if (!w.next(0, 2, v, "a node's refusal")) return false;
        node.refuse = TreeNode::Refuse(v);
        if (!w.index(n_nodes, as, "the node a refusal names")) return false;
        node.unsupported_as = std::uint32_t(as);
        if (!w.count(n_ops, "a node's step count")) return false;
        for (std::size_t i = 0; i < n_ops; ++i) {
            TreeOp op;
            std::size_t index;
            if (!w.next(0, 2, v, "a step kind")) return false;
            op.kind = TreeOpKind(v);
            if (op.kind == TreeOpKind::run) {
                if (!w.index(n_runs, index, "a step's run")) return false;
                op.index = std::uint32_t(index);
                op.bits = runs_[index].bits;
            } else if (op.kind == TreeOpKind::seek) {
                if (!w.next(0, std::int64_t(far_bits), v, "a step's place")) return false;
                op.bits = std::uint64_t(v);
            } else {
                std::size_t real;
                if (!w.index(n_slots, index, "a field's slot")) return false;
                if (slots_[index].kind != SlotKind::variable || assigned[index])
                    return w.fail("a variable field's slot is of another kind or taken");
                assigned[index] = true;
                op.index = std::uint32_t(index);
                if (!w.next(0, std::int64_t(far_bits), v, "a field's gap")) return false;
                op.bits = std::uint64_t(v);
                if (!w.next(-1, std::int64_t(n_slots) - 1, op.size_slot, "a size slot"))
                    return false;
                if (op.size_slot >= 0 && !numeric(std::size_t(op.size_slot), false))
                    return w.fail("a size comes from a slot that holds no number yet");
                if (!w.next(0, std::int64_t(far_bits), v, "a field's size")) return false;
                op.fixed_bits = std::uint64_t(v);
                if (reals.size() < 2) return w.fail("a size's scale has no numbers");
                if (!w.index(reals.size() - 1, real, "a size's scale")) return false;
                op.slope = reals[real];
                op.intercept = reals[real + 1];
            }
            node.ops.push_back(op);
        }
        if (!w.next(-1, std::int64_t(n_slots) - 1, node.dispatch_slot, "a dispatch slot"))
            return false;
        if (node.dispatch_slot >= 0 && !numeric(std::size_t(node.dispatch_slot), true))
            return w.fail("a dispatch slot holds no integer");
        if (!w.count(n_kids, "a node's child count")) return false;
        for (std::size_t i = 0; i < n_kids; ++i) {
            std::size_t kid;
            // A child comes after its parent: every walk goes down and ends.
            if (!w.index(n_nodes, kid, "a child")) return false;
            if (kid <= k) return w.fail("a child comes before its parent");
            node.kids.push_back(std::uint32_t(kid));
            if (node.dispatch_slot >= 0) {
                std::uint64_t value;
                if (!w.word(value, "a child's value")) return false;
                if (!node.dispatch.emplace(value, std::uint32_t(i)).second)
                    return w.fail("two children have one value");
                node.kid_terms.emplace_back(0, 0);
                continue;
            }
            std::size_t n_terms, depth = 0;
            if (!w.count(n_terms, "a restriction's term count")) return false;
            node.kid_terms.emplace_back(terms_.size(), n_terms);
            for (std::size_t t = 0; t < n_terms; ++t) {
                TreeTerm term;
                std::size_t slot, real;
                if (!w.next(0, 4, v, "a term kind")) return false;
                term.kind = TermKind(v);
                if (term.kind == TermKind::compare_int || term.kind == TermKind::compare_real) {
                    const bool integer = term.kind == TermKind::compare_int;
                    if (!w.index(n_slots, slot, "a term's slot")) return false;
                    if (!numeric(slot, integer))
                        return w.fail("a term compares a slot that holds no such number");
                    term.slot = std::uint32_t(slot);
                    if (!w.next(0, 5, v, "a comparison")) return false;
                    term.op = CompareOp(v);
                    if (integer) {
                        if (!w.word(term.word, "a term's value")) return false;
                    } else {
                        if (!w.index(reals.size(), real, "a term's value")) return false;
                        term.real = reals[real];
                    }
                    ++depth;
                } else if (term.kind == TermKind::constant) {
                    if (!w.next(0, 1, v, "a constant")) return false;
                    term.count = std::uint64_t(v);
                    ++depth;
                } else {
                    if (!w.count(term.count, "a term's operand count")) return false;
                    if (term.count == 0 || term.count > depth)
                        return w.fail("a term combines answers that are not there");
                    depth -= term.count - 1;
                }
                terms_.push_back(term);
                shallow_ &= depth <= 64;
            }
            if (n_terms != 0 && depth != 1) return w.fail("a restriction does not give one answer");
        }
        if (!w.next(-1, std::int64_t(n_tables) - 1, node.table, "a node's table")) return false;
        // The slots a node reads must be filled on the way to it: checked as the walk
        // meets them, since a slot filled on one path may be read on another.
    }
    tables_.assign(n_tables, {});
    row_bytes_.assign(n_tables, 0);
    for (std::size_t t = 0; t < n_tables; ++t) {
        std::size_t n_columns;
        if (!w.count(n_columns, "a table's column count")) return false;
        for (std::size_t c = 0; c < n_columns; ++c) {
            std::size_t slot;
            if (!w.index(n_slots, slot, "a table column's slot")) return false;
            if (!assigned[slot]) return w.fail("a table column's slot is never filled");
            const TreeSlot& s = slots_[slot];
            const std::size_t size = s.kind == SlotKind::numeric    ? store_size(s.store)
                                     : s.kind == SlotKind::position ? 8
                                                                    : 16;
            tables_[t].push_back({std::uint32_t(slot), row_bytes_[t], size});
            row_bytes_[t] += size;
        }
    }
    if (!w.done()) return w.fail("words are left after its tables");
    settle();
    return true;
}

void Tree::settle() {
    // The slots filled on entry to each node, over every way down to it: a node's steps
    // all run (a walk that stops early ends there), and children come after their parents,
    // so one pass in order meets every parent before its children.
    const std::size_t words = (slots_.size() + 63) / 64;
    marks_ = true;  // and nothing sure: where the sets would take too much memory, checks stay
    if (words != 0 && nodes_.size() > (std::size_t{1} << 22) / words) return;
    std::vector<std::vector<std::uint64_t>> entry(nodes_.size());
    std::vector<bool> reached(nodes_.size(), false);
    entry[0].assign(words, 0);
    reached[0] = true;
    const auto has = [](const std::vector<std::uint64_t>& set, std::uint64_t slot) {
        return (set[std::size_t(slot >> 6)] >> (slot & 63) & 1) != 0;
    };
    const auto put = [](std::vector<std::uint64_t>& set, std::uint64_t slot) {
        set[std::size_t(slot >> 6)] |= std::uint64_t{1} << (slot & 63);
    };
    marks_ = false;
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        TreeNode& node = nodes_[k];
        if (!reached[k]) continue;  // no walk reaches it
        std::vector<std::uint64_t> filled = std::move(entry[k]);
        for (TreeOp& op : node.ops) {
            if (op.kind == TreeOpKind::run) {
                for (const TreeField& f : runs_[op.index].fields) put(filled, f.slot);
            } else if (op.kind == TreeOpKind::variable) {
                op.sure_size = op.size_slot < 0 || has(filled, std::uint64_t(op.size_slot));
                marks_ |= !op.sure_size;
                put(filled, op.index);
            }
        }
        node.sure_kids = node.dispatch_slot < 0 || has(filled, std::uint64_t(node.dispatch_slot));
        for (const auto& [first, n] : node.kid_terms)
            for (std::size_t t = first; t < first + n; ++t)
                if (terms_[t].kind <= TermKind::compare_real)
                    node.sure_kids &= has(filled, terms_[t].slot);
        node.sure_table = true;
        if (node.table >= 0)
            for (const TreeColumn& c : tables_[std::size_t(node.table)])
                node.sure_table &= has(filled, c.slot);
        marks_ |= !node.sure_kids || !node.sure_table;
        for (std::uint32_t kid : node.kids) {
            if (!reached[kid]) {
                entry[kid] = filled;
                reached[kid] = true;
            } else {
                for (std::size_t i = 0; i < words; ++i) entry[kid][i] &= filled[i];
            }
        }
    }
}

bool Tree::evaluate(std::size_t first, std::size_t count, const std::vector<std::uint64_t>& values,
                    std::vector<std::uint8_t>& stack) const {
    if (count == 0) return true;
    // Checked when read: the terms leave exactly one answer, never reaching below empty.
    // Answers up to 64 deep are bits of one word, the latest lowest; deeper ones a vector.
    std::uint64_t bits = 0;
    const auto push = [&](bool r) {
        if (shallow_)
            bits = bits << 1 | std::uint64_t(r);
        else
            stack.push_back(r);
    };
    if (!shallow_) stack.clear();
    for (std::size_t t = first; t < first + count; ++t) {
        const TreeTerm& term = terms_[t];
        switch (term.kind) {
            case TermKind::compare_int: {
                const std::uint64_t x = values[term.slot];
                push(is_signed_store(slots_[term.slot].store)
                         ? compare(term.op, std::int64_t(x), std::int64_t(term.word))
                         : compare(term.op, x, term.word));
                break;
            }
            case TermKind::compare_real:
                push(compare(term.op, real_of(slots_[term.slot].store, values[term.slot]),
                             term.real));
                break;
            case TermKind::constant: push(term.count != 0); break;
            case TermKind::all:
            case TermKind::any: {
                const bool all = term.kind == TermKind::all;
                bool r = all;
                if (shallow_) {
                    // 1 to 64 answers, all on the word.
                    const std::uint64_t mask = ~std::uint64_t{0} >> (64 - term.count);
                    const std::uint64_t low = bits & mask;
                    r = all ? low == mask : low != 0;
                    bits = term.count == 64 ? 0 : bits >> term.count;
                } else {
                    for (std::uint64_t i = 0; i < term.count; ++i) {
                        r = all ? (r && stack.back()) : (r || stack.back());
                        stack.pop_back();
                    }
                }
                push(r);
                break;
            }
        }
    }
    return shallow_ ? (bits & 1) != 0 : stack.back() != 0;
}

Tree::Outcome Tree::walk(std::span<const std::uint8_t> packet, std::uint64_t mark,
                         Scratch& scratch) const {
    auto& values = scratch.values;
    auto& sizes = scratch.sizes;
    auto& filled = scratch.filled;
    const std::uint64_t end = std::uint64_t(packet.size()) * 8;
    const auto have = [&](std::int64_t slot) { return filled[std::size_t(slot)] == mark; };
    std::uint32_t k = 0;
    std::uint64_t pos = 0;
    for (;;) {
        const TreeNode& node = nodes_[k];
        if (node.refuse == TreeNode::Refuse::on_entry) return {Outcome::unsupported, k};
        for (const TreeOp& op : node.ops) {
            if (op.kind == TreeOpKind::seek) {
                pos = op.bits;
                continue;
            }
            if (op.kind == TreeOpKind::run) {
                if (end < pos + op.bits) return {Outcome::truncated, k};
                const TreeRun& run = runs_[op.index];
                for (const TreeField& f : run.fields) {
                    const std::uint64_t at = pos + f.offset;
                    if (marks_) filled[f.slot] = mark;
                    switch (f.read) {
                        case FieldRead::unsigned_word:
                        case FieldRead::f32_word:
                            values[f.slot] = word_bits(packet, at, f.bits);
                            continue;
                        case FieldRead::signed_word: {
                            const std::uint64_t raw = word_bits(packet, at, f.bits);
                            const std::uint64_t sign = std::uint64_t{1} << (f.bits - 1);
                            values[f.slot] = (raw ^ sign) - sign;
                            continue;
                        }
                        case FieldRead::position: values[f.slot] = at; continue;
                        case FieldRead::general: break;
                    }
                    const LayoutField& lf = run.layout->fields()[f.field];
                    Result<Number> n =
                        decode_number(lf.encoding, packet, BitPos::of(at), lf.shape, lf.name);
                    if (!n.ok())
                        return {Outcome::general, k};  // the general path reports the field
                    values[f.slot] = canonical(slots_[f.slot].store, n.value());
                }
                pos += op.bits;
                continue;
            }
            // A field whose size varies: where it starts, and its whole bytes.
            const std::uint64_t start = pos + op.bits;
            bool bad = start > end;
            std::uint64_t size = op.fixed_bits;
            if (op.size_slot >= 0) {
                if (!op.sure_size && !have(op.size_slot)) return {Outcome::general, k};
                const std::size_t s = std::size_t(op.size_slot);
                const double scaled = real_of(slots_[s].store, values[s]) * op.slope;
                const double bits = scaled + op.intercept;
                if (!std::isfinite(bits)) {
                    if (!bad)
                        return {Outcome::general, k};  // not finite: the general path reports it
                } else if (bits <= -1) {
                    bad = true;  // a size below zero once its fraction is dropped
                } else {
                    size = bits >= double(far_bits) ? far_bits : std::uint64_t(std::max(bits, 0.0));
                }
            }
            if (bad || start + size > end) return {Outcome::truncated, k};
            if (size % 8 != 0) return {Outcome::general, k};  // not whole bytes: reported there
            if (marks_) filled[op.index] = mark;
            values[op.index] = start;
            sizes[op.index] = size / 8;
            pos = start + size;
        }
        if (node.refuse == TreeNode::Refuse::after_steps)
            return {Outcome::unsupported, node.unsupported_as};
        std::size_t matches = 0, chosen = 0;
        if (node.dispatch_slot >= 0 && !node.kids.empty()) {
            if (!node.sure_kids && !have(node.dispatch_slot)) return {Outcome::general, k};
            const auto found = node.dispatch.find(values[std::size_t(node.dispatch_slot)]);
            if (found != node.dispatch.end()) matches = 1, chosen = found->second;
        } else {
            for (std::size_t c = 0; c < node.kids.size(); ++c) {
                const auto [first, n] = node.kid_terms[c];
                for (std::size_t t = first; t < first + n && !node.sure_kids; ++t)
                    if (terms_[t].kind <= TermKind::compare_real && !have(terms_[t].slot))
                        return {Outcome::general, k};
                if (evaluate(first, n, values, scratch.stack)) ++matches, chosen = c;
            }
        }
        if (matches == 1) {
            k = node.kids[chosen];
            continue;
        }
        if (matches != 0 || node.abstract || node.table < 0) return {Outcome::unmatched, k};
        if (!node.sure_table)
            for (const TreeColumn& c : tables_[std::size_t(node.table)])
                if (filled[c.slot] != mark) return {Outcome::general, k};  // a column never reached
        return {Outcome::table, k};
    }
}

void Tree::start(Scratch& scratch) const {
    scratch.values.assign(slots_.size(), 0);
    scratch.sizes.assign(slots_.size(), 0);
    // Which slots the current packet has filled: a slot read before it is filled (a
    // restriction on another branch's field) sends the packet down the general path.
    scratch.filled.assign(slots_.size(), ~std::uint64_t{0});
}

void Tree::decode(std::span<const std::uint8_t> data, const std::uint8_t* offsets,
                  const std::uint8_t* lengths, std::uint64_t count, std::int64_t first_index,
                  TreeResult& out) const {
    // Emptied, not freed: a caller that decodes again into the same result reuses the
    // memory it already touched.
    out.complete = false;
    out.tables.resize(tables_.size());
    for (TreeTable& table : out.tables) {
        table.packet_index.clear();
        table.packet_offset.clear();
        table.rows.clear();
    }
    for (TreeSkips* skips : {&out.unmatched, &out.truncated, &out.unsupported}) {
        skips->node.clear();
        skips->packet_index.clear();
        skips->packet_offset.clear();
    }
    // Marks [base, base + count) are this call's: none was used since the scratch started.
    Scratch& scratch = out.scratch;
    if (scratch.values.size() != slots_.size() || count >= ~std::uint64_t{0} - out.marks) {
        start(scratch);
        out.marks = 0;
    }
    const std::uint64_t base = out.marks;
    out.marks += count;
    const auto skip = [](TreeSkips& s, std::uint32_t node, std::int64_t index, std::int64_t off) {
        s.node.push_back(node);
        s.packet_index.push_back(index);
        s.packet_offset.push_back(off);
    };
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::int64_t off = index_at(offsets, i), len = index_at(lengths, i);
        if (off < 0 || len < 0 || std::uint64_t(off) > data.size() ||
            std::uint64_t(len) > data.size() - std::uint64_t(off) ||
            std::uint64_t(len) > (far_bits >> 3))
            return;  // a packet outside the data: the general path says how
        const std::int64_t index = first_index + std::int64_t(i);
        const Outcome o = walk(data.subspan(std::size_t(off), std::size_t(len)), base + i, scratch);
        switch (o.kind) {
            case Outcome::general: return;
            case Outcome::unmatched: skip(out.unmatched, o.node, index, off); continue;
            case Outcome::truncated: skip(out.truncated, o.node, index, off); continue;
            case Outcome::unsupported: skip(out.unsupported, o.node, index, off); continue;
            case Outcome::table: break;
        }
        const std::size_t t = std::size_t(nodes_[o.node].table);
        TreeTable& table = out.tables[t];
        if (table.packet_index.empty()) {
            // Room for every packet left, reserved, not touched: pages the table never
            // fills are never faulted in, and rows are never moved.
            table.packet_index.reserve(std::size_t(count - i));
            table.packet_offset.reserve(std::size_t(count - i));
            table.rows.reserve(std::size_t(count - i) * row_bytes_[t]);
        }
        table.packet_index.push_back(index);
        table.packet_offset.push_back(off);
        const std::size_t at = table.rows.size();
        table.rows.resize(at + row_bytes_[t]);
        write_row(t, scratch, table.rows.data() + at);
    }
    out.complete = true;
}

void Tree::write_row(std::size_t t, const Scratch& scratch, std::uint8_t* row) const {
    for (const TreeColumn& c : tables_[t]) {
        const TreeSlot& slot = slots_[c.slot];
        if (slot.kind == SlotKind::numeric) {
            put_value(row + c.at, slot.store, scratch.values[c.slot]);
        } else {
            std::memcpy(row + c.at, &scratch.values[c.slot], 8);
            if (slot.kind == SlotKind::variable)
                std::memcpy(row + c.at + 8, &scratch.sizes[c.slot], 8);
        }
    }
}

}  // namespace bitweave
