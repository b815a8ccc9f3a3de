#pragma once
// Constant tables of the Deflate format (RFC 1951 sections 3.2.5 to 3.2.7).

#include <cstdint>

// Marks a symbol that has a code position in the alphabet but no meaning: its entries
// become invalid codes.
constexpr std::uint8_t EXTRA_NO_SYMBOL = 99;

// Literal/length symbols 257..287. 286 and 287 may receive codes but are no lengths.
constexpr std::uint32_t LENGTH_SYMBOL_FIRST = 257;
constexpr std::uint32_t LENGTH_ROWS = 31;
constexpr std::uint16_t LENGTH_BASE[LENGTH_ROWS] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,  27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,   0};
constexpr std::uint8_t LENGTH_EXTRA[LENGTH_ROWS] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
    3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, EXTRA_NO_SYMBOL, EXTRA_NO_SYMBOL};

// Distance symbols 0..29, plus rows for 30 and 31: a dynamic header may give those two
// codes (it declares up to 32 distance lengths), but they stand for no distance.
constexpr std::uint32_t DISTANCE_ROWS = 32;
constexpr std::uint16_t DISTANCE_BASE[DISTANCE_ROWS] = {
    1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0,     0};
constexpr std::uint8_t DISTANCE_EXTRA[DISTANCE_ROWS] = {
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, EXTRA_NO_SYMBOL, EXTRA_NO_SYMBOL};

constexpr std::uint32_t CODE_LENGTH_SYMBOLS = 19;
constexpr std::uint8_t CODE_LENGTH_ORDER[CODE_LENGTH_SYMBOLS] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// Code-length code lengths are sent in 3 bits each.
constexpr std::uint32_t CODE_LENGTH_LENGTH_BITS = 3;
constexpr std::uint32_t MAX_CODE_LENGTH_CODE = (1u << CODE_LENGTH_LENGTH_BITS) - 1;
// Code-length symbols 16, 17 and 18: repeats of the previous length or of zero, their
// count the shortest run plus that many extra bits.
constexpr std::uint32_t CODE_LENGTH_REPEAT_FIRST = 16;
constexpr std::uint32_t CODE_LENGTH_REPEATS = 3;
constexpr std::uint32_t CODE_LENGTH_REPEAT_EXTRA[CODE_LENGTH_REPEATS] = {2, 3, 7};
constexpr std::uint32_t CODE_LENGTH_REPEAT_SHORTEST[CODE_LENGTH_REPEATS] = {3, 3, 11};
// HLIT, HDIST and HCLEN.
constexpr std::uint32_t DYNAMIC_COUNT_BITS = 5 + 5 + 4;

constexpr std::uint32_t BIT_MASK[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                        0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                        0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

// Requested first-level widths of the five code sets.
constexpr std::uint32_t FIXED_LITERAL_BITS = 7;
constexpr std::uint32_t FIXED_DISTANCE_BITS = 5;
constexpr std::uint32_t CODE_LENGTH_BITS = 7;
constexpr std::uint32_t DYNAMIC_LITERAL_BITS = 9;
constexpr std::uint32_t DYNAMIC_DISTANCE_BITS = 6;

constexpr std::uint32_t FIXED_LITERAL_SYMBOLS = 288;
constexpr std::uint32_t FIXED_DISTANCE_SYMBOLS = 30;
constexpr std::uint32_t MAX_LITERAL_SYMBOLS = 288;
constexpr std::uint32_t MAX_DISTANCE_SYMBOLS = 32;
constexpr std::uint32_t MAX_CODE_LENGTH = 16;

constexpr std::uint32_t MIN_MATCH = 3;
constexpr std::uint32_t MAX_MATCH = 258;
constexpr std::uint32_t MAX_DISTANCE = 32768;

// The most bits a dynamic header can take from HLIT on, the longest element that a
// handler reads whole: the counts, 19 code-length code lengths, and every one of the up
// to 288 + 32 code lengths sent at the greatest cost per length, a single length with
// the longest code-length code or a repeat's code and extra bits over its shortest run.
constexpr std::uint32_t most_bits_per_code_length() {
  std::uint32_t most = MAX_CODE_LENGTH_CODE;
  for (std::uint32_t r = 0; r < CODE_LENGTH_REPEATS; ++r) {
    const std::uint32_t per_length =
        (MAX_CODE_LENGTH_CODE + CODE_LENGTH_REPEAT_EXTRA[r] + CODE_LENGTH_REPEAT_SHORTEST[r] - 1) /
        CODE_LENGTH_REPEAT_SHORTEST[r];
    if (per_length > most) most = per_length;
  }
  return most;
}
constexpr std::uint32_t LONGEST_DYNAMIC_HEADER_BITS =
    DYNAMIC_COUNT_BITS + CODE_LENGTH_SYMBOLS * CODE_LENGTH_LENGTH_BITS +
    (MAX_LITERAL_SYMBOLS + MAX_DISTANCE_SYMBOLS) * most_bits_per_code_length();

static_assert(LENGTH_BASE[285 - LENGTH_SYMBOL_FIRST] == MAX_MATCH && LENGTH_EXTRA[285 - LENGTH_SYMBOL_FIRST] == 0,
              "symbol 285 is length 258 without extra bits");
static_assert(DISTANCE_BASE[29] + (1u << DISTANCE_EXTRA[29]) - 1 == MAX_DISTANCE,
              "the last distance code reaches exactly the window size");
static_assert(LENGTH_BASE[284 - LENGTH_SYMBOL_FIRST] + (1u << LENGTH_EXTRA[284 - LENGTH_SYMBOL_FIRST]) - 2 == 257,
              "symbol 284 ends at length 257");
