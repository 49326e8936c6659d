// Fuzz target: container trees, whose programs come from the Python layer (or from anyone
// who builds one) and whose packets come from the ground. A program is either the input's
// own words or a valid tree with some of its words replaced; it must be refused or read,
// never crash, and a read tree must walk any packets, at any offsets and lengths, with
// every table's rows whole and every packet accounted for once.
#include <cstring>
#include <vector>

#include "core/tree.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

LayoutItem item(const char* name, Encoding e, std::uint64_t bits) {
    LayoutItem it;
    it.name = name;
    it.encoding = e;
    it.shape.bits = bits;
    return it;
}

struct Layouts {
    CompiledLayout header, body;
    Layouts() {
        CodecError err;
        for (const auto& [name, bits] : {std::pair{"v", 3},
                                         {"t", 1},
                                         {"s", 1},
                                         {"apid", 11},
                                         {"f", 2},
                                         {"c", 14},
                                         {"len", 16}})
            header.add(item(name, Encoding::unsigned_int, std::uint64_t(bits)), err);
        body.add(item("a", Encoding::unsigned_int, 8), err);
        body.add(item("b", Encoding::twos_complement, 5), err);
        body.add(item("c", Encoding::ieee754_f32, 32), err);
        body.add(item("d", Encoding::binary, 16), err);
        body.add(item("e", Encoding::packed_bcd, 4), err);
    }
};

// A tree over the two layouts: a header run, a dispatch on the APID, a body with a field
// sized by another, a child chosen by two comparisons, a refused node and a seek.
const std::int64_t base_program[] = {
    1,  13, 2,  4,  2,                                    // version, slots, runs, nodes, tables
    0,  0,  0,  0,  0,  0,   0,  0,  0, 0,   1, 0,   2,   // slot kinds
    48, 7,  0,  1,  2,  3,   4,  5,  6,                   // run 0: the header
    72, 5,  7,  8,  9,  10,  11,                          // run 1: the body
    1,  0,  0,  1,  0,  0,   3,  2,  1, 100, 2, 200, -1,  // node 0: abstract, dispatch on slot 3
    0,  0,  1,  2,  0,  1,   2,  12, 0, 7,   0, 0,        // node 1: run 1, a sized field
    -1, 1,  3,  3,  0,  11,  4,  3,  1, 9,   2, 2,   2,
    2,  0,                               //   child 3 if e > 3 and c < 0.5; table 0
    0,  1,  2,  0,  -1, 0,   -1,         // node 2: refused on entry
    0,  0,  3,  1,  1,  100, -1, 0,  1,  // node 3: a seek; table 1
    3,  3,  10, 12,                      // table 0
    2,  7,  9,                           // table 1
};
const double base_reals[] = {8.0, -8.0, 0.5, 0.0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Layouts layouts;
    fuzz::Input in(data, size);
    std::vector<std::int64_t> words(std::begin(base_program), std::end(base_program));
    std::vector<double> reals(std::begin(base_reals), std::end(base_reals));
    const std::uint8_t mode = in.take<std::uint8_t>();
    if (mode & 1) {  // the input's own words, mostly small
        words.assign(in.take<std::uint8_t>(), 0);
        for (auto& w : words) w = (mode & 2) ? in.take<std::int64_t>() : in.take<std::int8_t>();
    } else {  // the valid tree with words replaced
        for (unsigned k = in.take<std::uint8_t>() % 8; k > 0; --k) {
            const std::size_t at = in.take<std::uint8_t>() % words.size();
            words[at] = (mode & 2) ? in.take<std::int64_t>() : in.take<std::int8_t>();
        }
    }
    if (mode & 4) reals.resize(in.take<std::uint8_t>() % 5);
    for (auto& r : reals)
        if (mode & 8) r = in.take<double>();
    const CompiledLayout* ls[] = {&layouts.header, &layouts.body};
    Tree tree;
    CodecError err;
    if (!tree.read(words, reals, ls, err)) {
        FUZZ_CHECK(err.kind == ErrorKind::value_error);
        return 0;
    }
    // Packets: offsets and lengths from the input, some outside the data on purpose.
    std::vector<std::int64_t> offsets, lengths;
    for (unsigned n = in.take<std::uint8_t>() % 12; n > 0; --n) {
        offsets.push_back(std::int64_t(in.take<std::uint8_t>()) - 4);
        lengths.push_back(std::int64_t(in.take<std::uint8_t>() % 80) - 2);
    }
    const auto packets = in.rest();
    TreeResult out;
    tree.decode(packets, reinterpret_cast<const std::uint8_t*>(offsets.data()),
                reinterpret_cast<const std::uint8_t*>(lengths.data()), offsets.size(), 7, out);
    if (!out.complete) return 0;
    std::size_t rows =
        out.unmatched.node.size() + out.truncated.node.size() + out.unsupported.node.size();
    for (std::size_t t = 0; t < out.tables.size(); ++t) {
        const TreeTable& table = out.tables[t];
        FUZZ_CHECK(table.packet_offset.size() == table.packet_index.size());
        FUZZ_CHECK(table.rows.size() == table.packet_index.size() * tree.row_bytes(t));
        rows += table.packet_index.size();
    }
    FUZZ_CHECK(rows == offsets.size());  // every packet once: in a table or left out
    for (const auto* s : {&out.unmatched, &out.truncated, &out.unsupported})
        for (const std::uint32_t node : s->node) FUZZ_CHECK(node < tree.node_count());
    // Decoding again into the same result (its scratch kept) gives the same result.
    const TreeResult first = out;
    tree.decode(packets, reinterpret_cast<const std::uint8_t*>(offsets.data()),
                reinterpret_cast<const std::uint8_t*>(lengths.data()), offsets.size(), 7, out);
    FUZZ_CHECK(out.complete && out.tables.size() == first.tables.size());
    for (std::size_t t = 0; t < out.tables.size(); ++t) {
        FUZZ_CHECK(out.tables[t].rows == first.tables[t].rows);
        FUZZ_CHECK(out.tables[t].packet_index == first.tables[t].packet_index);
    }
    FUZZ_CHECK(out.unmatched.node == first.unmatched.node);
    FUZZ_CHECK(out.truncated.node == first.truncated.node);
    FUZZ_CHECK(out.unsupported.node == first.unsupported.node);
    return 0;
}
