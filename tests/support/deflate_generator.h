#pragma once
// Random valid raw Deflate streams with codes that compressors seldom make: literal/
// length codes whose literals are all 10 to 15 bits long, the end-of-block code at any
// depth from 1 to 15 bits, codes as flat or as deep as the format allows (several
// sub-table levels), distance codes of one symbol up to all thirty, and stored, fixed
// and dynamic blocks mixed in one stream, with matches reaching up to a whole window
// back. Every stream is one that zlib decodes too; the generator also returns the bytes
// it encodes. Deterministic for a seed on every platform (its own random numbers).
// Header-only, so that the tests and the fuzz target share it without linking the test
// support library.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace deflate_generator {

using Bytes = std::vector<unsigned char>;

// xorshift32: the same numbers everywhere.
struct Random {
  std::uint32_t state;
  explicit Random(std::uint32_t seed) : state(seed * 2654435761u + 0x9E3779B9u) {
    if (state == 0) state = 1;
  }
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : next() % n; }
  bool chance(std::uint32_t percent) { return below(100) < percent; }
};

// Bits first bit lowest; Huffman codes given MSB-first as the format defines them.
struct BitSink {
  Bytes bytes;
  std::uint32_t bit_pos = 0;
  void bits(std::uint32_t value, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (bit_pos % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1u) bytes.back() = static_cast<unsigned char>(bytes.back() | (1u << (bit_pos % 8)));
      ++bit_pos;
    }
  }
  void code(std::uint32_t code, std::uint32_t length) {
    for (std::uint32_t i = length; i > 0; --i) bits((code >> (i - 1)) & 1u, 1);
  }
  void align() { bit_pos = static_cast<std::uint32_t>(bytes.size()) * 8; }
};

// How a code tree grows when a leaf is split in two: at random, always at its shallowest
// leaf (flat codes, the shortest codes as long as possible) or at its deepest (long
// codes, many table levels).
enum class Shape { RANDOM, FLAT, DEEP };

// Code lengths of a complete prefix code with n leaves (n >= 1; one leaf alone has
// length 0, for a caller that places it under a prefix), none longer than `longest`.
// With forced_depth > 0, leaf 0 has that depth and is never split.
inline std::vector<std::uint32_t> complete_code(std::uint32_t n, std::uint32_t longest, std::uint32_t forced_depth,
                                                Shape shape, Random& rng) {
  std::vector<std::uint32_t> leaves;
  if (forced_depth > 0) {
    // A spine down to the forced leaf: one leaf at every depth above it, and its sibling.
    leaves.push_back(forced_depth);
    for (std::uint32_t d = 1; d < forced_depth; ++d) leaves.push_back(d);
    leaves.push_back(forced_depth);
  } else {
    leaves.push_back(0);
  }
  const std::size_t first_free = forced_depth > 0 ? 1 : 0;
  while (leaves.size() < n) {
    std::size_t pick = leaves.size();
    for (std::size_t tries = 0; tries < 64 && pick == leaves.size(); ++tries) {
      std::size_t i = first_free + rng.below(static_cast<std::uint32_t>(leaves.size() - first_free));
      if (shape != Shape::RANDOM) {
        for (std::size_t k = first_free; k < leaves.size(); ++k) {
          if (leaves[k] >= longest) continue;
          if (leaves[i] >= longest || (shape == Shape::FLAT ? leaves[k] < leaves[i] : leaves[k] > leaves[i])) i = k;
        }
      }
      if (leaves[i] < longest) pick = i;
    }
    if (pick == leaves.size()) break;  // every leaf is as long as allowed
    ++leaves[pick];
    leaves.push_back(leaves[pick]);
  }
  return leaves;
}

// Canonical codes (MSB-first) for lengths of 0 (no code) to 16.
inline std::vector<std::uint32_t> canonical(const std::vector<std::uint32_t>& lengths) {
  std::uint32_t count[17] = {};
  for (auto l : lengths) ++count[l];
  count[0] = 0;
  std::uint32_t next[17] = {};
  std::uint32_t code = 0;
  for (std::uint32_t k = 1; k < 17; ++k) {
    code = (code + count[k - 1]) << 1;
    next[k] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
  }
  return codes;
}

// The code lengths of the fixed literal/length code.
inline std::vector<std::uint32_t> fixed_literal_lengths() {
  std::vector<std::uint32_t> l(288);
  for (std::uint32_t i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  return l;
}

constexpr std::uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What a stream holds, for tests that check that the generator covers what it promises.
struct Summary {
  std::uint32_t dynamic_blocks = 0;
  std::uint32_t fixed_blocks = 0;
  std::uint32_t stored_blocks = 0;
  std::vector<std::uint32_t> end_of_block_depths;  // of the dynamic blocks
  std::vector<std::uint32_t> shortest_literals;    // of the dynamic blocks with literals
  std::uint32_t longest_code = 0;
  std::uint32_t farthest_distance = 0;
};

struct Generated {
  Bytes stream;
  Bytes data;  // what the stream decodes to
  Summary summary;
};

namespace detail {

// A block's literal/length and distance code lengths.
struct BlockCode {
  std::vector<std::uint32_t> literal;   // 257 + HLIT entries
  std::vector<std::uint32_t> distance;  // 1 + HDIST entries
};

inline void shuffle(std::vector<std::uint32_t>& v, Random& rng) {
  for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[rng.below(static_cast<std::uint32_t>(i))]);
}

inline BlockCode make_block_code(Random& rng, Summary& summary) {
  BlockCode c;
  // The symbols with codes: the end of block, some length symbols, some literals.
  std::vector<std::uint32_t> lengths_used;
  for (std::uint32_t s = 257; s <= 285; ++s) {
    if (rng.chance(40)) lengths_used.push_back(s);
  }
  std::vector<std::uint32_t> literals;
  const std::uint32_t literal_count = rng.chance(10) ? 0 : 1 + rng.below(rng.chance(50) ? 256 : 40);
  for (std::uint32_t s = 0; s < 256; ++s) literals.push_back(s);
  shuffle(literals, rng);
  literals.resize(literal_count);
  shuffle(lengths_used, rng);

  std::vector<std::uint32_t> lit(286, 0);
  const Shape shapes[3] = {Shape::RANDOM, Shape::FLAT, Shape::DEEP};
  const Shape shape = shapes[rng.below(3)];
  const std::uint32_t others = 1 + static_cast<std::uint32_t>(lengths_used.size());
  // The end of block's depth; its spine takes one leaf per depth above it, and more
  // leaves than there are symbols cannot be.
  const std::uint32_t symbols = others + literal_count;
  const std::uint32_t eob_depth = symbols < 2 ? 0 : 1 + rng.below(std::min<std::uint32_t>(15, symbols - 1));
  if (literal_count >= 2 && rng.chance(35)) {
    // Long literals: the end of block and the lengths share a code tree with one
    // placeholder leaf, under which the literals form a flat code whose shortest length
    // lands at `shortest` (10 to 15) overall.
    std::uint32_t log2 = 0;
    while ((2u << log2) <= literal_count) ++log2;
    std::uint32_t shortest = 10 + rng.below(6);
    if (shortest < log2 + 1) shortest = log2 + 1;
    const std::uint32_t depth = shortest - log2;  // of the placeholder
    std::vector<std::uint32_t> top;
    for (int tries = 0; tries < 200 && eob_depth <= others; ++tries) {
      top = complete_code(others + 1, 15, eob_depth, shape, rng);
      // The placeholder is the leaf that comes last; it must sit at `depth`.
      auto at = std::find(top.begin() + 1, top.end(), depth);
      if (at != top.end()) {
        std::iter_swap(at, top.end() - 1);
        break;
      }
      top.clear();
    }
    const std::vector<std::uint32_t> below =
        top.empty() ? std::vector<std::uint32_t>() : complete_code(literal_count, 15 - depth, 0, Shape::FLAT, rng);
    if (below.size() == literal_count) {
      lit[256] = top[0];
      for (std::size_t i = 0; i + 1 < others; ++i) lit[lengths_used[i]] = top[i + 1];
      for (std::uint32_t i = 0; i < literal_count; ++i) lit[literals[i]] = depth + below[i];
    }
  }
  if (lit[256] == 0) {
    const std::vector<std::uint32_t> all = complete_code(symbols, 15, eob_depth, shape, rng);
    if (symbols >= 2 && all.size() == symbols) {
      lit[256] = all[0];
      for (std::size_t i = 0; i + 1 < others; ++i) lit[lengths_used[i]] = all[i + 1];
      for (std::uint32_t i = 0; i < literal_count; ++i) lit[literals[i]] = all[others + i];
    } else {
      // The end of block alone: a single one-bit code.
      lit[256] = 1;
      for (auto s : lengths_used) lit[s] = 0;
      for (auto s : literals) lit[s] = 0;
    }
  }
  std::uint32_t last = 256;
  for (std::uint32_t s = 257; s < 286; ++s) {
    if (lit[s] != 0) last = s;
  }
  const std::uint32_t nl = std::max<std::uint32_t>(last + 1, 257 + rng.below(30));
  c.literal.assign(lit.begin(), lit.begin() + std::min<std::uint32_t>(nl, 286));

  // Distance code: one symbol (a single one-bit code) up to all thirty.
  std::vector<std::uint32_t> dist_symbols;
  for (std::uint32_t s = 0; s < 30; ++s) dist_symbols.push_back(s);
  shuffle(dist_symbols, rng);
  const std::uint32_t nd_used = 1 + rng.below(30);
  dist_symbols.resize(nd_used);
  std::vector<std::uint32_t> dist(30, 0);
  if (nd_used == 1) {
    dist[dist_symbols[0]] = 1;
  } else {
    const std::vector<std::uint32_t> d = complete_code(nd_used, 15, 0, shapes[rng.below(3)], rng);
    for (std::uint32_t i = 0; i < nd_used && i < d.size(); ++i) dist[dist_symbols[i]] = d[i];
  }
  std::uint32_t dlast = 0;
  for (std::uint32_t s = 0; s < 30; ++s) {
    if (dist[s] != 0) dlast = s;
  }
  c.distance.assign(dist.begin(), dist.begin() + std::max<std::uint32_t>(dlast + 1, 1 + rng.below(30)));

  summary.end_of_block_depths.push_back(c.literal[256]);
  std::uint32_t shortest_literal = 0;
  for (std::uint32_t s = 0; s < 256; ++s) {
    if (c.literal[s] != 0 && (shortest_literal == 0 || c.literal[s] < shortest_literal)) shortest_literal = c.literal[s];
  }
  if (shortest_literal != 0) summary.shortest_literals.push_back(shortest_literal);
  for (auto l : c.literal) summary.longest_code = std::max(summary.longest_code, l);
  for (auto l : c.distance) summary.longest_code = std::max(summary.longest_code, l);
  return c;
}

// The header from HLIT on: the code lengths sent with repeats where they fit, through a
// random complete code-length code.
inline void write_dynamic_header(BitSink& w, const BlockCode& c, Random& rng) {
  std::vector<std::uint32_t> all = c.literal;
  all.insert(all.end(), c.distance.begin(), c.distance.end());
  struct Item {
    std::uint32_t symbol, extra, extra_bits;
  };
  std::vector<Item> items;
  for (std::size_t i = 0; i < all.size();) {
    std::size_t run = 1;
    while (i + run < all.size() && all[i + run] == all[i]) ++run;
    if (all[i] == 0 && run >= 3 && rng.chance(80)) {
      const std::size_t n = std::min<std::size_t>(run, run >= 11 ? 138 : 10);
      const std::size_t take = run >= 11 && rng.chance(70) ? n : std::min<std::size_t>(run, 10);
      if (take >= 11) {
        items.push_back({18, static_cast<std::uint32_t>(take - 11), 7});
      } else {
        items.push_back({17, static_cast<std::uint32_t>(take - 3), 3});
      }
      i += take;
      continue;
    }
    // A length, then perhaps repeats of it (16 needs a length sent before it).
    items.push_back({all[i], 0, 0});
    ++i;
    --run;
    while (run >= 3 && rng.chance(70)) {
      const std::size_t take = std::min<std::size_t>(run, 3 + rng.below(4));
      if (take < 3) break;
      items.push_back({16, static_cast<std::uint32_t>(take - 3), 2});
      i += take;
      run -= take;
    }
  }
  std::vector<std::uint32_t> used;
  for (const auto& it : items) {
    if (std::find(used.begin(), used.end(), it.symbol) == used.end()) used.push_back(it.symbol);
  }
  // A code-length code needs two codes at least to be complete.
  while (used.size() < 2) {
    const std::uint32_t extra = rng.below(19);
    if (std::find(used.begin(), used.end(), extra) == used.end()) used.push_back(extra);
  }
  std::vector<std::uint32_t> cl(19, 0);
  const std::vector<std::uint32_t> cl_lengths =
      complete_code(static_cast<std::uint32_t>(used.size()), 7, 0, rng.chance(50) ? Shape::RANDOM : Shape::DEEP, rng);
  for (std::size_t i = 0; i < used.size(); ++i) cl[used[i]] = cl_lengths[i];
  std::uint32_t hclen = 19;
  while (hclen > 4 && cl[CODE_LENGTH_ORDER[hclen - 1]] == 0) --hclen;
  const auto cl_codes = canonical(cl);
  w.bits(static_cast<std::uint32_t>(c.literal.size() - 257), 5);
  w.bits(static_cast<std::uint32_t>(c.distance.size() - 1), 5);
  w.bits(hclen - 4, 4);
  for (std::uint32_t i = 0; i < hclen; ++i) w.bits(cl[CODE_LENGTH_ORDER[i]], 3);
  for (const auto& it : items) {
    w.code(cl_codes[it.symbol], cl[it.symbol]);
    w.bits(it.extra, it.extra_bits);
  }
}

// The symbols of one Huffman block, ending with its end of block.
inline void write_symbols(BitSink& w, const std::vector<std::uint32_t>& lit, const std::vector<std::uint32_t>& dist,
                          std::size_t target, Bytes& data, Random& rng, Summary& summary) {
  const auto lit_codes = canonical(lit);
  const auto dist_codes = canonical(dist);
  std::vector<std::uint32_t> literals, lengths, distances;
  for (std::uint32_t s = 0; s < 256 && s < lit.size(); ++s) {
    if (lit[s] != 0) literals.push_back(s);
  }
  for (std::uint32_t s = 257; s < 286 && s < lit.size(); ++s) {
    if (lit[s] != 0) lengths.push_back(s);
  }
  for (std::uint32_t s = 0; s < 30 && s < dist.size(); ++s) {
    if (dist[s] != 0) distances.push_back(s);
  }
  // A few favourite literals, so that matches find repeats.
  const std::uint32_t match_percent = literals.empty() ? 100 : rng.below(90);
  std::size_t written = 0;
  while (written < target) {
    const bool want_match = !lengths.empty() && !distances.empty() && !data.empty() && rng.chance(match_percent);
    if (want_match) {
      const std::uint32_t history = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), 32768));
      std::vector<std::uint32_t> fit;
      for (auto s : distances) {
        if (DISTANCE_BASE[s] <= history) fit.push_back(s);
      }
      if (!fit.empty()) {
        // The farthest symbol that fits now and then, so that whole windows are reached.
        std::uint32_t ds = fit[rng.below(static_cast<std::uint32_t>(fit.size()))];
        if (rng.chance(10)) ds = *std::max_element(fit.begin(), fit.end());
        const std::uint32_t span = std::min<std::uint32_t>(1u << DISTANCE_EXTRA[ds], history - DISTANCE_BASE[ds] + 1);
        const std::uint32_t dextra = rng.chance(20) ? span - 1 : rng.below(span);
        const std::uint32_t distance = DISTANCE_BASE[ds] + dextra;
        const std::uint32_t ls = lengths[rng.below(static_cast<std::uint32_t>(lengths.size()))];
        const std::uint32_t lrow = ls - 257;
        // Symbol 284 stops at length 257 (258 is symbol 285).
        const std::uint32_t lextra = rng.below((1u << LENGTH_EXTRA[lrow]) - (ls == 284 ? 1 : 0));
        const std::uint32_t length = LENGTH_BASE[lrow] + lextra;
        w.code(lit_codes[ls], lit[ls]);
        w.bits(lextra, LENGTH_EXTRA[lrow]);
        w.code(dist_codes[ds], dist[ds]);
        w.bits(dextra, DISTANCE_EXTRA[ds]);
        for (std::uint32_t i = 0; i < length; ++i) data.push_back(data[data.size() - distance]);
        written += length;
        summary.farthest_distance = std::max(summary.farthest_distance, distance);
        continue;
      }
    }
    if (literals.empty()) break;
    const std::uint32_t s = rng.chance(60) ? literals[rng.below(std::min<std::uint32_t>(4, static_cast<std::uint32_t>(literals.size())))]
                                           : literals[rng.below(static_cast<std::uint32_t>(literals.size()))];
    w.code(lit_codes[s], lit[s]);
    data.push_back(static_cast<unsigned char>(s));
    ++written;
  }
  w.code(lit_codes[256], lit[256]);
}

}  // namespace detail

// A stream of one to six blocks of mixed types, about `target_size` decoded bytes in
// all (more when a match runs over).
inline Generated generate(std::uint32_t seed, std::size_t target_size) {
  Random rng(seed);
  Generated g;
  BitSink w;
  const std::uint32_t blocks = 1 + rng.below(6);
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const bool final_block = b + 1 == blocks;
    const std::size_t target = target_size / blocks + rng.below(static_cast<std::uint32_t>(target_size / blocks + 1));
    const std::uint32_t kind = rng.below(10);
    w.bits(final_block ? 1 : 0, 1);
    if (kind == 0) {
      // Stored: LEN 0 now and then.
      w.bits(0, 2);
      w.align();
      const std::uint32_t len = rng.chance(15) ? 0 : rng.below(static_cast<std::uint32_t>(std::min<std::size_t>(target, 65535)) + 1);
      w.bits(len, 16);
      w.bits(~len & 0xFFFFu, 16);
      for (std::uint32_t i = 0; i < len; ++i) {
        const auto byte = static_cast<unsigned char>(rng.next() >> 24);
        w.bits(byte, 8);
        g.data.push_back(byte);
      }
      ++g.summary.stored_blocks;
    } else if (kind <= 2) {
      w.bits(1, 2);
      const auto lit = fixed_literal_lengths();
      const std::vector<std::uint32_t> dist(30, 5);
      detail::write_symbols(w, lit, dist, target, g.data, rng, g.summary);
      ++g.summary.fixed_blocks;
    } else {
      w.bits(2, 2);
      const detail::BlockCode c = detail::make_block_code(rng, g.summary);
      detail::write_dynamic_header(w, c, rng);
      detail::write_symbols(w, c.literal, c.distance, target, g.data, rng, g.summary);
      ++g.summary.dynamic_blocks;
    }
  }
  g.stream = std::move(w.bytes);
  return g;
}

}  // namespace deflate_generator
