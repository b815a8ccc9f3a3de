// Hand-built streams for the edges of the format and of the push interface.

#include <zlib.h>

#include <gtest/gtest.h>

#include <string>

#include "decode/inflater.h"
#include "tests/decode/decode_harness.h"
#include "tests/support/counting_allocator.h"

namespace {

// Decodes the stream all at once, one byte per push and split in two at every position,
// expecting the same bytes and verdict every time.
void expect_every_split(const Bytes& stream, const Bytes& expected, int verdict, const std::string& what) {
  auto check = [&](const DecodeResult& r, const std::string& how) {
    EXPECT_EQ(r.first_failed_feed, -1) << what << " " << how;
    EXPECT_EQ(r.verdict, verdict) << what << " " << how;
    EXPECT_TRUE(r.out == expected) << what << " " << how << ": " << r.out.size() << " bytes, expected "
                                   << expected.size();
    for (const auto& v : r.violations) ADD_FAILURE() << what << " " << how << ": " << v;
  };
  check(decode_stream(stream, push_all()), "all at once");
  check(decode_stream(stream, push_fixed(1)), "one byte per push");
  if (stream.size() > 600) return;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    bool first = true;
    check(decode_stream(stream,
                        [&](std::size_t left) {
                          const std::uint32_t n = first ? static_cast<std::uint32_t>(cut) : static_cast<std::uint32_t>(left);
                          first = false;
                          return n;
                        }),
          "cut at " + std::to_string(cut));
  }
}

// A stream that must fail: the first failing push is the one holding the fault, every
// later push fails too (checked by the driver), and the verdict is 1.
void expect_failure(const Bytes& stream, const std::string& what) {
  const DecodeResult r = decode_stream(stream, push_all());
  EXPECT_EQ(r.first_failed_feed, 0) << what;
  EXPECT_EQ(r.verdict, 1) << what;
  for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
  const DecodeResult bytewise = decode_stream(stream, push_fixed(1));
  EXPECT_GE(bytewise.first_failed_feed, 0) << what << " one byte per push";
  EXPECT_EQ(bytewise.verdict, 1) << what << " one byte per push";
  for (const auto& v : bytewise.violations) ADD_FAILURE() << what << " one byte per push: " << v;
}

// A match in the fixed code, and the bytes it copies appended to `expected` one by one
// (so that a match overlapping its own output repeats as the format means).
void write_fixed_match(BitWriter& w, Bytes& expected, std::uint32_t length, std::uint32_t distance) {
  write_fixed_length(w, length);
  write_fixed_distance(w, distance);
  for (std::uint32_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
}

// A literal in the fixed code, and the byte appended to `expected`.
void write_fixed_literal_to(BitWriter& w, Bytes& expected, unsigned char literal) {
  write_fixed_literal(w, literal);
  expected.push_back(literal);
}

// The start of a final fixed block whose first `size` bytes are random literals, the
// history the matches after them read; `expected` becomes those bytes.
BitWriter fixed_block_after_history(Bytes& expected, std::size_t size, std::uint32_t seed) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  expected = make_random(size, seed);
  for (auto b : expected) write_fixed_literal(w, b);
  return w;
}

Bytes fixed_block(const Bytes& literals, bool final_block = true) {
  BitWriter w;
  w.bits(final_block ? 1 : 0, 1);
  w.bits(1, 2);
  for (auto b : literals) write_fixed_literal(w, b);
  write_fixed_literal(w, 256);
  return w.bytes;
}

Bytes text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

TEST(StoredBlocks, LengthsAndTheirComplement) {
  {
    BitWriter w;
    write_stored_block(w, true, {});
    expect_every_split(w.bytes, {}, 0, "LEN 0");
  }
  {
    const Bytes data = make_random(65535, 9);
    BitWriter w;
    write_stored_block(w, true, data);
    expect_every_split(w.bytes, data, 0, "LEN 65535");
  }
  {
    BitWriter w;
    w.bits(1, 1);
    w.bits(0, 2);
    w.align();
    w.bits(5, 16);
    w.bits(5, 16);
    w.bits(0x41, 8);
    expect_failure(w.bytes, "LEN 5 with NLEN 5");
  }
}

TEST(StoredBlocks, StartInTheMiddleOfAByteAndFollowHuffmanBlocks) {
  BitWriter w;
  w.bits(0, 1);
  w.bits(1, 2);
  for (char c : std::string("abc")) write_fixed_literal(w, static_cast<unsigned char>(c));
  write_fixed_literal(w, 256);
  // 3 + 3*8 + 7 bits so far: the stored header starts at bit 2 of a byte.
  ASSERT_NE(w.bit_pos % 8, 0u);
  write_stored_block(w, false, text("stored"));
  write_stored_block(w, true, text("!"));
  expect_every_split(w.bytes, text("abcstored!"), 0, "mixed blocks");
}

TEST(BlockHeader, ReservedTypeFailsTheCallAndEveryLaterOne) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(3, 2);
  w.bits(0, 13);
  expect_failure(w.bytes, "BTYPE 3");
  // Also after good data in the same stream: nothing of the failing call is delivered.
  BitWriter after;
  after.bits(0, 1);
  after.bits(1, 2);
  for (char c : std::string("good")) write_fixed_literal(after, static_cast<unsigned char>(c));
  write_fixed_literal(after, 256);
  after.bits(1, 1);
  after.bits(3, 2);
  after.bits(0, 8);
  const DecodeResult r = decode_stream(after.bytes, push_all());
  EXPECT_EQ(r.first_failed_feed, 0);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.verdict, 1);
}

TEST(FixedBlocks, LongestLengthAndInvalidSymbols) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  write_fixed_literal(w, 'z');
  write_fixed_literal(w, 285);  // length 258, no extra bits
  write_fixed_distance(w, 1);
  write_fixed_literal(w, 256);
  expect_every_split(w.bytes, Bytes(259, 'z'), 0, "symbol 285");

  for (std::uint32_t symbol : {286u, 287u}) {
    BitWriter bad;
    bad.bits(1, 1);
    bad.bits(1, 2);
    write_fixed_literal(bad, 'a');
    write_fixed_literal(bad, symbol);
    bad.bits(0, 16);
    expect_failure(bad.bytes, "literal/length symbol " + std::to_string(symbol));
  }
  // The two spare 5-bit distance patterns (symbols 30, 31).
  for (std::uint32_t pattern : {30u, 31u}) {
    BitWriter bad;
    bad.bits(1, 1);
    bad.bits(1, 2);
    write_fixed_literal(bad, 'a');
    write_fixed_literal(bad, 257);
    bad.code(pattern, 5);
    bad.bits(0, 16);
    expect_failure(bad.bytes, "distance pattern " + std::to_string(pattern));
  }
}

TEST(FixedBlocks, EndOfBlockInTheLastByteDecodesWhole) {
  // Literal counts for which the 7-bit end-of-block code ends exactly at a byte's end.
  for (std::size_t n = 0; n < 16; ++n) {
    Bytes literals(n, 'q');
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    for (auto b : literals) write_fixed_literal(w, b);
    write_fixed_literal(w, 256);
    if (w.bit_pos % 8 != 0) continue;
    expect_every_split(w.bytes, literals, 0, "end of block ends the stream, " + std::to_string(n) + " literals");
  }
  // And one where the whole stream is 10 bits: the end-of-block code alone.
  expect_every_split(fixed_block({}), {}, 0, "empty fixed block");
}

TEST(Matches, DistanceOneRepeatsAndDistance32768ReachesAFullWindowBack) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  const Bytes head = make_random(32768, 77);
  for (auto b : head) write_fixed_literal(w, b);
  write_fixed_length(w, 258);
  write_fixed_distance(w, 32768);  // copies the window's first 258 bytes
  write_fixed_literal(w, 'x');
  write_fixed_length(w, 258);
  write_fixed_distance(w, 1);
  write_fixed_literal(w, 256);
  Bytes expected = head;
  expected.insert(expected.end(), head.begin(), head.begin() + 258);
  expected.insert(expected.end(), 259, 'x');
  expect_every_split(w.bytes, expected, 0, "distance 32768 and distance 1");
}

TEST(Matches, CopiesAcrossTheWindowEndAreSplitThere) {
  // Two codes: the fixed one, whose 8-bit literals need a second table level, and a
  // dynamic one whose literals all sit in the first level (8 bits; 256 to 260 and 283 to
  // 285 9 bits; literals 252 to 255 without a code).
  std::vector<std::uint32_t> fixed_lit(288), dyn_lit(288, 0);
  for (std::uint32_t i = 0; i < 288; ++i) fixed_lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  for (std::uint32_t i = 0; i < 252; ++i) dyn_lit[i] = 8;
  for (std::uint32_t i : {256, 257, 258, 259, 260, 283, 284, 285}) dyn_lit[i] = 9;
  const std::vector<std::uint32_t> fixed_dist(30, 5), dyn_dist(32, 5);
  for (int dynamic = 0; dynamic <= 1; ++dynamic) {
    const auto& lit = dynamic ? dyn_lit : fixed_lit;
    const auto& dist = dynamic ? dyn_dist : fixed_dist;
    const auto lit_codes = canonical_codes(lit);
    const auto dist_codes = canonical_codes(dist);
    // A match of 258 ending at every offset around the window's end, its source before
    // and across the end, with two literals just before it. A short match at the start
    // shifts how the literals group in the fast loop.
    for (std::uint32_t before = 32768 - 280; before <= 32768 + 10; ++before) {
     for (std::uint32_t shift = 3; shift <= 5; ++shift) {
      BitWriter w;
      w.bits(1, 1);
      w.bits(dynamic ? 2 : 1, 2);
      if (dynamic) write_dynamic_header(w, lit, dist);
      w.code(lit_codes['Z'], lit['Z']);
      write_length(w, lit_codes, lit, shift);
      write_distance(w, dist_codes, dist, 1);
      Bytes expected(1 + shift, 'Z');
      const Bytes body = make_text(before - 1 - shift, before);
      expected.insert(expected.end(), body.begin(), body.end());
      expected.push_back('L');
      expected.push_back('M');
      for (std::size_t i = 1 + shift; i < expected.size(); ++i) w.code(lit_codes[expected[i]], lit[expected[i]]);
      const std::uint32_t distance = 1000 + before % 7;
      write_length(w, lit_codes, lit, 258);
      write_distance(w, dist_codes, dist, distance);
      for (int i = 0; i < 258; ++i) expected.push_back(expected[expected.size() - distance]);
      // A literal right after: when the match filled the window, it goes to its start.
      w.code(lit_codes['N'], lit['N']);
      expected.push_back('N');
      for (int i = 0; i < 40; ++i) {
        write_length(w, lit_codes, lit, 258);
        write_distance(w, dist_codes, dist, 30000);
        for (int k = 0; k < 258; ++k) expected.push_back(expected[expected.size() - 30000]);
      }
      w.code(lit_codes[256], lit[256]);
      const std::string what =
          (dynamic ? "dynamic, " : "fixed, ") + std::to_string(before) + " shift " + std::to_string(shift);
      for (const PushPattern& pattern : {push_all(), push_fixed(8192)}) {
        const DecodeResult r = decode_stream(w.bytes, pattern);
        ASSERT_EQ(r.verdict, 0) << what;
        ASSERT_TRUE(r.out == expected) << what;
        for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
      }
      // All at once: the first piece is the whole window.
      const DecodeResult r = decode_stream(w.bytes, push_all());
      ASSERT_FALSE(r.pieces.empty());
      EXPECT_EQ(r.pieces[0], 32768u) << what;
     }
    }
  }
}

TEST(Matches, RandomMatchesKeepTheHistoryAroundThem) {
  // Literals and matches of every length, with distances from 1 up to a full window:
  // short ones repeat bytes this match is writing, long ones read bytes that lie just
  // past the ends of matches copied a window earlier. The expected bytes come from a
  // byte-by-byte copy.
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    std::uint32_t state = seed * 2654435761u;
    auto next = [&state](std::uint32_t n) {
      state = state * 1103515245u + 12345u;
      return (state >> 8) % n;
    };
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    Bytes expected;
    while (expected.size() < 3 * 32768 + 5000) {
      const std::uint32_t kind = next(8);
      if (kind < 3 || expected.size() < 300) {
        const unsigned char b = static_cast<unsigned char>(next(256));
        write_fixed_literal_to(w, expected, b);
        continue;
      }
      const std::uint32_t length = kind == 7 ? 3 + next(256) : 3 + next(30);
      const std::uint32_t window = expected.size() < 32768 ? static_cast<std::uint32_t>(expected.size()) : 32768;
      const std::uint32_t pick = next(4);
      std::uint32_t distance = pick == 0   ? 1 + next(16)
                               : pick == 1 ? 1 + next(300)
                               : pick == 2 ? window - next(300)
                                           : 1 + next(window);
      if (distance > window) distance = window;
      write_fixed_match(w, expected, length, distance);
    }
    write_fixed_literal(w, 256);
    const std::string what = "seed " + std::to_string(seed);
    for (const PushPattern& pattern : {push_all(), push_fixed(8192), push_random(seed, 3000)}) {
      const DecodeResult r = decode_stream(w.bytes, pattern);
      EXPECT_EQ(r.verdict, 0) << what;
      EXPECT_TRUE(r.out == expected) << what;
      for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
    }
  }
}

// The stream decodes to exactly `expected`, with verdict 0 and by the delivery rules,
// whole, in 8192-byte pushes and in the random pushes given.
void expect_decodes_whole(const Bytes& stream, const Bytes& expected, const PushPattern& random_pushes) {
  for (const PushPattern& pattern : {push_all(), push_fixed(8192), random_pushes}) {
    const DecodeResult r = decode_stream(stream, pattern);
    EXPECT_EQ(r.verdict, 0);
    ASSERT_EQ(r.out.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(r.out[i], expected[i]) << "first difference at byte " << i;
    }
    for (const auto& v : r.violations) ADD_FAILURE() << v;
  }
}

TEST(Matches, DistancesAndLengthsAtTheEdgesOfEachWayOfCopying) {
  // After a whole window of history, matches whose distance lies at the edges where the
  // copy changes its way (periods shorter than a chunk, sources just ahead near a whole
  // window back, 16-byte chunks that pass over the bytes after a match and put them
  // back), with lengths around the chunk sizes. Each follows a short match at a middle
  // distance and a literal, so that it reads the bytes just after that match, the oldest
  // history, when its distance is within 16 of a whole window.
  std::vector<std::uint32_t> distances;
  for (std::uint32_t d = 1; d <= 18; ++d) distances.push_back(d);
  for (std::uint32_t d = 32748; d <= 32768; ++d) distances.push_back(d);
  const std::uint32_t lengths[] = {3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 257, 258};
  Bytes expected;
  BitWriter w = fixed_block_after_history(expected, 33000, 91);
  std::uint32_t turn = 0;
  for (std::uint32_t d : distances) {
    for (std::uint32_t length : lengths) {
      write_fixed_match(w, expected, 3 + turn % 14, 1000 + turn);
      const auto literal = static_cast<unsigned char>(turn++ * 37);
      write_fixed_literal_to(w, expected, literal);
      write_fixed_match(w, expected, length, d);
    }
  }
  write_fixed_literal(w, 256);
  expect_decodes_whole(w.bytes, expected, push_random(5, 5000));
}

TEST(Matches, SourcesEndingNearTheWindowsEnd) {
  // Once the window has been filled and restarted, matches whose distance reaches past
  // the window's start, so that their source lies at the window's far end, ending 0 to 20
  // bytes before it: where chunks may or may not run past the source (16-byte chunks on
  // x86-64, 8-byte ones on i686), with lengths around the chunk sizes.
  Bytes expected;
  BitWriter w = fixed_block_after_history(expected, 32768 + 232, 77);
  for (std::uint32_t length : {3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 31u, 32u, 33u}) {
    for (std::uint32_t before_end = 0; before_end <= 20; ++before_end) {
      const std::uint32_t wp = static_cast<std::uint32_t>(expected.size() % 32768);
      write_fixed_match(w, expected, length, wp + before_end + length);
      const auto literal = static_cast<unsigned char>(length * 7 + before_end);
      write_fixed_literal_to(w, expected, literal);
    }
  }
  write_fixed_literal(w, 256);
  expect_decodes_whole(w.bytes, expected, push_random(9, 3000));
}

TEST(Matches, MatchesEndingInTheWindowsLastBytes) {
  // Matches of several lengths ending at every place from 40 bytes before the window's end
  // to the end itself: the fast loop copies those that leave a chunk's room after them in
  // chunks that pass over the bytes there and puts those back, and hands the others to
  // the careful copy. After each, a literal and a match just short of a whole window
  // back, which reads those bytes: history a window old, which must be intact.
  Bytes expected;
  BitWriter w = fixed_block_after_history(expected, 33000, 5);
  // Long matches up to a given window position, then what is left.
  auto advance_to = [&](std::uint32_t target) {
    for (;;) {
      const std::uint32_t left = (target - static_cast<std::uint32_t>(expected.size())) % 32768;
      if (left == 0) return;
      if (left < 3) {
        write_fixed_literal_to(w, expected, 'p');
      } else {
        write_fixed_match(w, expected, left >= 261 ? 258 : left, 20000 + left % 97);
      }
    }
  };
  std::uint32_t turn = 0;
  for (std::uint32_t length : {3u, 8u, 9u, 16u, 17u, 100u}) {
    for (std::uint32_t end = 32768 - 40; end <= 32768; ++end, ++turn) {
      advance_to(end - length);
      write_fixed_match(w, expected, length, 1000 + turn % 300);
      const auto literal = static_cast<unsigned char>(turn * 13);
      write_fixed_literal_to(w, expected, literal);
      write_fixed_match(w, expected, 5, 32768 - turn % 16);
    }
  }
  write_fixed_literal(w, 256);
  expect_decodes_whole(w.bytes, expected, push_random(13, 4000));
}

TEST(Matches, DistanceBeforeTheFirstByteFails) {
  BitWriter ok;
  ok.bits(1, 1);
  ok.bits(1, 2);
  for (char c : std::string("abcd")) write_fixed_literal(ok, static_cast<unsigned char>(c));
  write_fixed_length(ok, 3);
  write_fixed_distance(ok, 4);  // exactly back to the first byte
  write_fixed_literal(ok, 256);
  expect_every_split(ok.bytes, text("abcdabc"), 0, "distance equal to the output so far");

  BitWriter bad;
  bad.bits(1, 1);
  bad.bits(1, 2);
  for (char c : std::string("abcd")) write_fixed_literal(bad, static_cast<unsigned char>(c));
  write_fixed_length(bad, 3);
  write_fixed_distance(bad, 5);
  write_fixed_literal(bad, 256);
  expect_failure(bad.bytes, "distance one past the first byte");

  // The same reach is fine once a whole window has been decoded, across block ends too.
  BitWriter later;
  later.bits(0, 1);
  later.bits(1, 2);
  const Bytes head = make_text(40000, 3);
  for (auto b : head) write_fixed_literal(later, b);
  write_fixed_literal(later, 256);
  later.bits(1, 1);
  later.bits(1, 2);
  write_fixed_length(later, 10);
  write_fixed_distance(later, 32768);
  write_fixed_literal(later, 256);
  Bytes expected = head;
  for (int i = 0; i < 10; ++i) expected.push_back(expected[expected.size() - 32768]);
  const DecodeResult r = decode_stream(later.bytes, push_fixed(8192));
  EXPECT_EQ(r.verdict, 0);
  EXPECT_TRUE(r.out == expected);
}

// ---- dynamic headers -------------------------------------------------------------------

// A header written from explicit parts: the code-length code's lengths (by symbol) and the
// sequence of code-length symbols with their extra bits.
struct ClSymbol {
  std::uint32_t symbol;
  std::uint32_t extra;
};

void write_raw_header(BitWriter& w, std::uint32_t hlit, std::uint32_t hdist, const std::vector<std::uint32_t>& cl,
                      const std::vector<ClSymbol>& sequence) {
  static const std::uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.bits(1, 1);
  w.bits(2, 2);
  w.bits(hlit, 5);
  w.bits(hdist, 5);
  w.bits(15, 4);
  for (int i = 0; i < 19; ++i) w.bits(cl[order[i]], 3);
  const auto codes = canonical_codes(cl);
  for (const auto& s : sequence) {
    w.code(codes[s.symbol], cl[s.symbol]);
    if (s.symbol == 16) w.bits(s.extra, 2);
    if (s.symbol == 17) w.bits(s.extra, 3);
    if (s.symbol == 18) w.bits(s.extra, 7);
  }
}

// A complete code-length code in which every symbol 0..18 has a code: 0..12 of 4 bits
// (13/16 of the code space) and 13..18 of 5 bits (6/32).
std::vector<std::uint32_t> all_cl_lengths() {
  std::vector<std::uint32_t> cl(19, 0);
  for (int i = 0; i <= 12; ++i) cl[i] = 4;
  for (int i = 13; i <= 18; ++i) cl[i] = 5;
  return cl;
}

TEST(DynamicHeaders, MostLengthsAndTheirUse) {
  // HLIT 31 and HDIST 31: 288 literal/length lengths and 32 distance lengths. Symbols
  // 286/287 and distances 30/31 have codes but are never used.
  // A complete code over all 288: 224 codes of 8 bits and 64 of 9 (448 + 64 = 512 units).
  std::vector<std::uint32_t> lit(288, 9);
  for (int i = 0; i < 224; ++i) lit[i] = 8;
  std::vector<std::uint32_t> dist(32, 5);
  BitWriter w;
  const auto cl = all_cl_lengths();
  std::vector<ClSymbol> seq;
  for (auto l : lit) seq.push_back({l, 0});
  for (auto l : dist) seq.push_back({l, 0});
  write_raw_header(w, 31, 31, cl, seq);
  const auto lit_codes = canonical_codes(lit);
  const auto dist_codes = canonical_codes(dist);
  const Bytes abc = text("abcabcabc");
  for (int i = 0; i < 3; ++i) w.code(lit_codes[abc[i]], lit[abc[i]]);
  write_length(w, lit_codes, lit, 6);
  write_distance(w, dist_codes, dist, 3);
  w.code(lit_codes[256], lit[256]);
  expect_every_split(w.bytes, abc, 0, "HLIT 31, HDIST 31");

  // The same header, then distance symbol 30: an error.
  BitWriter bad;
  write_raw_header(bad, 31, 31, cl, seq);
  bad.code(lit_codes['a'], lit['a']);
  write_length(bad, lit_codes, lit, 3);
  bad.code(dist_codes[30], 5);
  bad.bits(0, 16);
  expect_failure(bad.bytes, "distance symbol 30");
  // Or literal/length symbol 287.
  BitWriter bad2;
  write_raw_header(bad2, 31, 31, cl, seq);
  bad2.code(lit_codes[287], lit[287]);
  bad2.bits(0, 16);
  expect_failure(bad2.bytes, "literal/length symbol 287");
}

// The 257 literal/length lengths of a small code: 'a' 1 bit, 'b' and 256 2 bits (codes
// a = 0, b = 10, end = 11), written with 18s for the runs of zeros.
std::vector<ClSymbol> small_literal_lengths() {
  return {{18, 86}, {1, 0}, {2, 0}, {18, 127}, {18, 8}, {2, 0}};
}

TEST(DynamicHeaders, RepeatsRunAcrossTheTwoListsAndNotPastTheEnd) {
  const auto cl = all_cl_lengths();
  // Literal/length lengths end with zeros that a 17 carries on into the distance lengths:
  // 260 literal/length lengths (257..259 zero) and 2 distance lengths, 1 and 1.
  {
    std::vector<ClSymbol> seq = small_literal_lengths();
    seq.push_back({17, 0});  // 3 zeros: symbols 257, 258, 259
    seq.push_back({1, 0});
    seq.push_back({1, 0});
    BitWriter w;
    write_raw_header(w, 3, 1, cl, seq);
    w.code(0, 1);    // 'a'
    w.code(2, 2);    // 'b' (codes: a=0, b=10, 256=11)
    w.code(3, 2);    // end of block
    expect_every_split(w.bytes, text("ab"), 0, "17 ending exactly at the end of the lengths");
  }
  {
    // A 16 that copies the last literal/length length (2, of symbol 256) into the first
    // three distance lengths: distance codes 0,1,2 of 2 bits, plus symbol 3 of 2 bits.
    std::vector<ClSymbol> seq = small_literal_lengths();
    seq.push_back({16, 0});  // 3 x length 2: distance symbols 0, 1, 2
    seq.push_back({2, 0});   // distance symbol 3
    BitWriter w;
    write_raw_header(w, 0, 3, cl, seq);
    // This code has no length symbols: literals only.
    w.code(0, 1);
    w.code(3, 2);
    expect_every_split(w.bytes, text("a"), 0, "16 running into the distance lengths");
  }
  {
    // A repeat that passes the last length.
    std::vector<ClSymbol> seq = small_literal_lengths();
    seq.push_back({17, 1});  // 4 zeros where only 2 distance lengths remain
    BitWriter w;
    write_raw_header(w, 0, 1, cl, seq);
    w.bits(0, 16);
    expect_failure(w.bytes, "repeat past the end");
  }
  {
    // 16 first repeats length 0; 16 after 18 repeats 0 as well. 'a' stays the only
    // literal with a code next to 'b' and 256.
    std::vector<ClSymbol> seq;
    seq.push_back({16, 0});   // symbols 0..2: 0
    seq.push_back({18, 83});  // 3..96: 94 zeros
    seq.push_back({1, 0});    // 'a'
    seq.push_back({2, 0});    // 'b'
    seq.push_back({18, 127});
    seq.push_back({16, 3});   // 6 more zeros after an 18: 99 + 138 + 6 = 243
    seq.push_back({18, 2});   // 13 zeros: up to 255
    seq.push_back({2, 0});    // 256
    seq.push_back({0, 0});    // one distance length 0
    BitWriter w;
    write_raw_header(w, 0, 0, cl, seq);
    w.code(0, 1);
    w.code(2, 2);
    w.code(0, 1);
    w.code(3, 2);
    expect_every_split(w.bytes, text("aba"), 0, "16 after nothing and after 18");
  }
}

TEST(DynamicHeaders, BadCodesFail) {
  const auto cl = all_cl_lengths();
  {
    // Over-subscribed literal/length code: 'a', 'b', 'c' all of length 1.
    std::vector<ClSymbol> seq = {{18, 86}, {1, 0}, {1, 0}, {1, 0}, {18, 127}, {18, 7}, {2, 0}, {0, 0}};
    BitWriter w;
    write_raw_header(w, 0, 0, cl, seq);
    w.bits(0, 16);
    expect_failure(w.bytes, "over-subscribed literal/length code");
  }
  {
    // Incomplete literal/length code: 'a' 2 bits, 256 2 bits.
    std::vector<ClSymbol> seq = {{18, 86}, {2, 0}, {18, 127}, {18, 9}, {2, 0}, {0, 0}};
    BitWriter w;
    write_raw_header(w, 0, 0, cl, seq);
    w.bits(0, 16);
    expect_failure(w.bytes, "incomplete literal/length code");
  }
  {
    // No literal/length code at all.
    std::vector<ClSymbol> seq = {{18, 127}, {18, 127}, {18, 0}, {0, 0}};
    BitWriter w;
    write_raw_header(w, 0, 0, cl, seq);
    w.bits(0, 16);
    expect_failure(w.bytes, "empty literal/length code");
  }
  {
    // No code-length code at all.
    BitWriter w;
    write_raw_header(w, 0, 0, std::vector<std::uint32_t>(19, 0), {});
    w.bits(0, 32);
    expect_failure(w.bytes, "empty code-length code");
  }
  {
    // Incomplete code-length code: two symbols of length 2.
    std::vector<std::uint32_t> two(19, 0);
    two[0] = 2;
    two[8] = 2;
    BitWriter w;
    write_raw_header(w, 0, 0, two, {});
    w.bits(0, 32);
    expect_failure(w.bytes, "incomplete code-length code");
  }
}

TEST(DynamicHeaders, DistanceCodesMayBeIncompleteOrAbsent) {
  const auto cl = all_cl_lengths();
  // Literal/length: 'a' 1 bit, 256 2 bits, length symbol 257 2 bits.
  // Distance: only symbol 0, length 1 (complete by the rule for one-bit codes), or
  // symbols 0 and 1 of length 2 (incomplete: patterns 10 and 11 are spare).
  auto lit_part = [] {
    return std::vector<ClSymbol>{{18, 86}, {1, 0}, {18, 127}, {18, 9}, {2, 0}, {2, 0}};
  };
  {
    std::vector<ClSymbol> seq = lit_part();
    seq.push_back({1, 0});
    BitWriter w;
    write_raw_header(w, 1, 0, cl, seq);
    w.code(0, 1);    // 'a'
    w.code(3, 2);    // length 3 (257; codes: a=0, 256=10, 257=11)
    w.code(0, 1);    // distance 1
    w.code(2, 2);    // end
    expect_every_split(w.bytes, text("aaaa"), 0, "single one-bit distance code");
    BitWriter spare;
    write_raw_header(spare, 1, 0, cl, seq);
    spare.code(0, 1);
    spare.code(3, 2);
    spare.code(1, 1);  // the spare pattern
    spare.bits(0, 16);
    expect_failure(spare.bytes, "spare pattern of a one-bit distance code");
  }
  {
    std::vector<ClSymbol> seq = lit_part();
    seq.push_back({2, 0});
    seq.push_back({2, 0});
    BitWriter w;
    write_raw_header(w, 1, 1, cl, seq);
    w.code(0, 1);
    w.code(3, 2);
    w.code(1, 2);  // distance symbol 1 is distance 2, one more than the output so far
    w.bits(0, 16);
    expect_failure(w.bytes, "distance 2 after one byte");
    BitWriter good;
    write_raw_header(good, 1, 1, cl, seq);
    good.code(0, 1);
    good.code(3, 2);
    good.code(0, 2);  // distance 1
    good.code(2, 2);
    expect_every_split(good.bytes, text("aaaa"), 0, "incomplete distance code");
    BitWriter spare;
    write_raw_header(spare, 1, 1, cl, seq);
    spare.code(0, 1);
    spare.code(3, 2);
    spare.code(3, 2);  // spare pattern
    spare.bits(0, 16);
    expect_failure(spare.bytes, "spare pattern of an incomplete distance code");
  }
  {
    // No distance codes: literals are fine, a length symbol is an error.
    std::vector<ClSymbol> seq = lit_part();
    seq.push_back({0, 0});
    BitWriter w;
    write_raw_header(w, 1, 0, cl, seq);
    w.code(0, 1);
    w.code(0, 1);
    w.code(2, 2);
    expect_every_split(w.bytes, text("aa"), 0, "literals without distance codes");
    BitWriter bad;
    write_raw_header(bad, 1, 0, cl, seq);
    bad.code(0, 1);
    bad.code(3, 2);
    bad.bits(0, 16);
    expect_failure(bad.bytes, "length without distance codes");
  }
}

TEST(DynamicHeaders, SingleOneBitCodeLengthCode) {
  // A code-length code of one 1-bit code is accepted; its other pattern has no symbol
  // and fails when met.
  std::vector<std::uint32_t> one(19, 0);
  one[0] = 1;
  BitWriter spare;
  write_raw_header(spare, 0, 0, one, {});
  spare.code(1, 1);  // the spare pattern
  spare.bits(0, 32);
  expect_failure(spare.bytes, "spare pattern of a single code-length code");
}

TEST(DynamicHeaders, ShortEndOfBlockAfterADeepCode) {
  // The end-of-block code is 2 bits long, and the literal just before it sits in a
  // sub-table far wider than its own code. The stream ends right after the end of block;
  // decoding must not wait for table bits that never come.
  // Lengths: 'a' 2, 'b' 2, 256 2, 'c' 3, 'd' 4, 'e' 5, 'f' 6, 'g' 7, 'h' 8, 'i' 8.
  std::vector<std::uint32_t> lit(257, 0);
  lit['a'] = 2;
  lit['b'] = 2;
  lit[256] = 2;
  lit['c'] = 3;
  lit['d'] = 4;
  lit['e'] = 5;
  lit['f'] = 6;
  lit['g'] = 7;
  lit['h'] = 8;
  lit['i'] = 8;
  const std::vector<std::uint32_t> dist = {0};
  const auto codes = canonical_codes(lit);
  // Leading 3-bit literals move the end of the stream through every bit position.
  for (std::size_t lead = 0; lead < 8; ++lead) {
    for (char last : std::string("abcdefghi")) {
      BitWriter w;
      w.bits(1, 1);
      w.bits(2, 2);
      write_dynamic_header(w, lit, dist);
      Bytes expected(lead, 'c');
      for (std::size_t i = 0; i < lead; ++i) w.code(codes['c'], lit['c']);
      const auto l = static_cast<unsigned char>(last);
      w.code(codes['c'], lit['c']);
      w.code(codes[l], lit[l]);
      w.code(codes[256], lit[256]);
      expected.push_back('c');
      expected.push_back(l);
      Bytes check;
      ASSERT_TRUE(zlib_inflate(w.bytes, &check));
      ASSERT_EQ(check, expected);
      expect_every_split(w.bytes, expected, 0,
                         "deep code then short end of block, " + std::to_string(lead) + " lead, last " + last);
    }
  }
}

TEST(DynamicHeaders, HeadersAcrossTheRingsEndAndAfterStoredBytes) {
  // A stored block first, so that the dynamic header of zlib's stream behind it starts a
  // few bytes before the input ring's end (the stored block ends on a byte boundary, and
  // zlib's raw stream starts on one): its code lengths are read partly from the ring's end
  // and partly from its start, a word at a time where eight bytes are there unbroken and
  // byte by byte across the wrap.
  const Bytes body = make_text(20000, 31);
  const Bytes deflated = zlib_deflate(body, 6, Z_DEFAULT_STRATEGY);
  ASSERT_EQ((deflated[0] >> 1) & 3, 2) << "zlib's stream starts with a dynamic block";
  for (std::uint32_t before_end = 1; before_end <= 40; before_end += 3) {
    const Bytes stored = make_random(16384 - 5 - before_end, before_end);
    BitWriter w;
    write_stored_block(w, false, stored);
    Bytes stream = w.bytes;
    ASSERT_EQ(stream.size(), 16384u - before_end);
    stream.insert(stream.end(), deflated.begin(), deflated.end());
    Bytes expected = stored;
    expected.insert(expected.end(), body.begin(), body.end());
    const std::string what = "header " + std::to_string(before_end) + " bytes before the ring's end";
    for (const PushPattern& pattern : {push_all(), push_fixed(1), push_fixed(8192), push_random(before_end, 700)}) {
      const DecodeResult r = decode_stream(stream, pattern);
      EXPECT_EQ(r.verdict, 0) << what;
      EXPECT_TRUE(r.out == expected) << what;
      for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
    }
  }
}

TEST(Verdict, TrailingBytesCountOnlyWhenTakenWithTheEnd) {
  const Bytes block = fixed_block(text("end"));
  Bytes same_push = block;
  same_push.push_back(0x55);
  // In the push that ends the stream: taken into the ring, never used.
  DecodeResult r = decode_stream(same_push, push_all());
  EXPECT_EQ(r.first_failed_feed, -1);
  EXPECT_EQ(r.out, text("end"));
  EXPECT_EQ(r.verdict, 1);
  // In a later push: not taken.
  bool first = true;
  r = decode_stream(same_push, [&](std::size_t left) {
    const std::uint32_t n = first ? static_cast<std::uint32_t>(block.size()) : static_cast<std::uint32_t>(left);
    first = false;
    return n;
  });
  EXPECT_EQ(r.first_failed_feed, -1);
  EXPECT_EQ(r.out, text("end"));
  EXPECT_EQ(r.verdict, 0);
}

TEST(Verdict, IncompleteStreamsFailOnlyAtTheEnd) {
  // A non-final block alone: every push is fine, the verdict is not.
  DecodeResult r = decode_stream(fixed_block(text("abc"), false), push_fixed(1));
  EXPECT_EQ(r.first_failed_feed, -1);
  EXPECT_EQ(r.out, text("abc"));
  EXPECT_EQ(r.verdict, 1);
  // Cut inside a block at every byte.
  const Bytes full = fixed_block(make_text(300, 8));
  for (std::size_t cut = 0; cut + 1 < full.size(); cut += 7) {
    const Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    r = decode_stream(part, push_fixed(5));
    EXPECT_EQ(r.first_failed_feed, -1) << cut;
    EXPECT_EQ(r.verdict, 1) << cut;
  }
}

TEST(Verdict, FinishRightAfterCreate) {
  counting_reset();
  Sink sink;
  Inflater* f = inflater_create(&sink, sink_output, counting_allocate, counting_release);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(inflater_finish(f), 1);
  EXPECT_EQ(counting_live_blocks(), 0u);
}

TEST(Feed, NullDataWithALengthFailsAndLatches) {
  counting_reset();
  Sink sink;
  Inflater* f = inflater_create(&sink, sink_output, counting_allocate, counting_release);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(inflater_feed(f, nullptr, 0), 0);
  EXPECT_EQ(inflater_feed(f, nullptr, 4), 1);
  const Bytes good = fixed_block(text("x"));
  EXPECT_EQ(inflater_feed(f, good.data(), static_cast<std::uint32_t>(good.size())), 1);
  EXPECT_EQ(inflater_finish(f), 1);
  EXPECT_EQ(counting_live_blocks(), 0u);
}

}  // namespace
