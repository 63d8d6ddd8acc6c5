// The page decoder's whole-round loop, written once for every vector width. The 32
// lanes' bit buffers sit in vectors of ops_t::LANES lanes each; a round looks up every
// lane's entry at once, writes the round's output (write_round) and spreads the words
// the round takes over the lanes that ran short, in lane order, which is exactly the
// order in which the lanes would fetch them one by one.
//
// Included once by each instruction set's file (gdeflate_decoder_wide.cpp,
// gdeflate_decoder_avx2.cpp), which first defines GD_ROUNDS_TARGET, the target attribute
// every function here is compiled with, and the ops_t it instantiates decode_rounds
// with. ops_t supplies the vector types and the operations that differ between
// instruction sets; the arithmetic shared by all of them is written with the compiler's
// vector operators. An ops_t holds:
//   vec_t, counts_t       lanes x u64, lanes x u32 (GCC vector types)
//   lanes                 64-bit lanes per vec_t
//   lanes_of_kind<kind>(e)        the lanes whose entry has any bit of kind, one bit each
//   add_where(m, x, y)            x + y in the lanes of m, x in the others
//   keep_where(m, x)              x in the lanes of m, 0 in the others
//   sum(x)                        the sum of all lanes
//   gather(table, index)          table[index] per lane
//   gather_where(m, e, table, index)   the same in the lanes of m, e in the others
//   pack_literals(entries, lits, out)  the literal bytes (entry bits 16-23) of the lanes
//                                 in lits, packed in lane order, over 32 bytes at out
//   refill(bits, count, in)       the lanes holding fewer than 32 bits take the next
//                                 words from in, in lane order
// No include guard: each including file compiles its own copy for its own target.
#include <cstring>

#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"

#ifndef GD_ROUNDS_TARGET
#error "define GD_ROUNDS_TARGET before including gdeflate_decoder_rounds.h"
#endif

namespace umbra {
namespace gd_decoder {
namespace {

// Table entries of all lanes: literal/length entries, or distance entries for the lanes
// that owe one (the distance table is addressed from the literal/length table's start).
// Subtable links are followed; end-of-block and invalid entries are left for the caller.
template <class ops_t, class vec_t = typename ops_t::vec_t>
GD_ROUNDS_TARGET inline void lookup_all(const ops_t& ops, const entry_t* table, const vec_t* bits, u32 owed,
                                        u64 dist_offset, vec_t* entries) {
  constexpr u32 lanes = ops_t::LANES;
  constexpr u32 lane_bits = (1u << lanes) - 1;
  const vec_t offset = vec_t{} + dist_offset;
  u32 links = 0;
#pragma GCC unroll 8
  for (u32 v = 0; v < GD_NUM_LANES / lanes; ++v) {
    const vec_t index = ops.add_where((owed >> lanes * v) & lane_bits, bits[v] & MAIN_MASK, offset);
    entries[v] = ops.gather(table, index);
    links |= ops.template lanes_of_kind<KIND_SUBTABLE>(entries[v]) << lanes * v;
  }
  if (links == 0) return;
  for (u32 v = 0; v < GD_NUM_LANES / lanes; ++v) {
    const u32 link = (links >> lanes * v) & lane_bits;
    if (!link) continue;
    const vec_t e = entries[v];
    const vec_t sub_mask = ((vec_t{} + 1) << ((e >> 8) & 0xFF)) - 1;
    const vec_t index = ((bits[v] >> MAIN_BITS) & sub_mask) + ((e >> 32) & 0xFFFF);
    entries[v] = ops.gather_where(link, e, table, ops.add_where((owed >> lanes * v) & lane_bits, index, offset));
  }
}

// Each lane's value (entry_value) for the given entries.
template <class vec_t>
GD_ROUNDS_TARGET inline vec_t entry_values(vec_t e, vec_t bits) {
  return ((e >> 32) & 0xFFFF) + ((bits >> ((e >> 8) & 0xFF)) & (e >> 48));
}

// Decodes whole rounds, from lane 0 of a round, while the page has a word left for every
// lane and the output slot has room for the round plus one 32-byte store. Returns false
// only for data that the lane-by-lane path would reject as well; any round it does not
// take (end of block, an invalid codeword, a buffer end near) is left untouched for that
// path. The loops over the vectors are unrolled where that measured faster on every
// path; the subtable pass, which most rounds skip, is not. ops comes by value, so that
// what it holds stays in registers.
template <class ops_t>
GD_ROUNDS_TARGET bool decode_rounds(const ops_t ops, page_decoder_t& d, const entry_t* litlen_table,
                                    const entry_t* dist_table, u8*& op_ref) {
  typedef typename ops_t::vec_t vec_t;
  typedef typename ops_t::counts_t counts_t;
  constexpr u32 lanes = ops_t::LANES;
  constexpr u32 vectors = GD_NUM_LANES / lanes;
  constexpr u32 lane_bits = (1u << lanes) - 1;
  static_assert(sizeof(vec_t) == 8 * lanes && sizeof(counts_t) == 4 * lanes, "lanes of 64 and 32 bits");

  vec_t bits[vectors], count[vectors];
  for (u32 v = 0; v < vectors; ++v) {
    counts_t c;
    std::memcpy(&bits[v], d.bits + lanes * v, sizeof(vec_t));
    std::memcpy(&c, d.count + lanes * v, sizeof(counts_t));
    count[v] = __builtin_convertvector(c, vec_t);
  }
  u32 owed = d.owing_lanes();
  const u64 dist_offset = (u64)(dist_table - litlen_table);
  u8* op = op_ref;
  u8* const out_end = d.out + d.out_size;
  const u8* in = d.next;
  alignas(64) u64 value[GD_NUM_LANES];
  // Literal bytes in lane order; the upper half only pads the 32-byte stores.
  alignas(32) u8 literals[2 * GD_NUM_LANES] = {};

  while (d.end - in >= 4 * (s64)GD_NUM_LANES) {
    vec_t entries[vectors];
    lookup_all(ops, litlen_table, bits, owed, dist_offset, entries);
    u32 special = 0, lengths = 0;
    vec_t advance = {};
#pragma GCC unroll 8
    for (u32 v = 0; v < vectors; ++v) {
      special |= ops.template lanes_of_kind<KIND_SPECIAL>(entries[v]) << lanes * v;
      // Distance entries never carry the length kind.
      lengths |= ops.template lanes_of_kind<KIND_LENGTH>(entries[v]) << lanes * v;
      const vec_t val = entry_values(entries[v], bits[v]);
      std::memcpy(value + lanes * v, &val, sizeof(vec_t));
      advance += ops.keep_where(~(owed >> lanes * v) & lane_bits, val);
    }
    if (special != 0 || ops.sum(advance) + 32 > (u64)(out_end - op)) break;

    // From here on the round is taken.
    ops.pack_literals(entries, ~owed & ~lengths, literals);
    if (!d.write_round(owed, lengths, value, literals, op)) return false;

#pragma GCC unroll 8
    for (u32 v = 0; v < vectors; ++v) {
      // check() of every lane in lane order, in locals: the words are read through a byte
      // pointer, which could alias the arrays.
      const vec_t consumed = entries[v] & 0xFF;
      vec_t b = bits[v] >> consumed;
      vec_t c = count[v] - consumed;
      ops.refill(b, c, in);
      bits[v] = b;
      count[v] = c;
    }
    owed = lengths;
  }

  for (u32 v = 0; v < vectors; ++v) {
    const counts_t c = __builtin_convertvector(count[v], counts_t);
    std::memcpy(d.bits + lanes * v, &bits[v], sizeof(vec_t));
    std::memcpy(d.count + lanes * v, &c, sizeof(counts_t));
  }
  d.next = in;
  op_ref = op;
  return true;
}

}  // namespace
}  // namespace gd_decoder
}  // namespace umbra
