// The bounded strings: every operation stays inside the buffer, keeps it terminated and
// reports a text that did not fit.

#include "common/bounded_string.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(BoundedString, CopyAndAppendFitExactlyToCapacityMinusOne) {
  PathU8<8> s;
  EXPECT_STREQ(s.text, "");  // empty from its construction
  EXPECT_EQ(s.length, 0u);
  EXPECT_TRUE(bs_copy(s, "abc"));
  EXPECT_TRUE(bs_append(s, "defg"));
  EXPECT_STREQ(s.text, "abcdefg");
  EXPECT_EQ(s.length, 7u);
  EXPECT_FALSE(bs_append(s, "h"));
  EXPECT_STREQ(s.text, "abcdefg");
  // Shortening and replacing keep text and length in step.
  bs_truncate(s, 9);
  EXPECT_EQ(s.length, 7u);
  bs_truncate(s, 4);
  EXPECT_STREQ(s.text, "abcd");
  EXPECT_EQ(s.length, 4u);
  bs_replace(s, 'b', '/');
  EXPECT_STREQ(s.text, "a/cd");
}

TEST(BoundedString, OverflowCutsAndReportsWithoutWritingPastTheBuffer) {
  struct {
    PathU8<6> s;
    char guard[4];
  } probe;
  std::memset(probe.guard, 0x5A, sizeof probe.guard);
  EXPECT_FALSE(bs_copy(probe.s, "0123456789"));
  EXPECT_STREQ(probe.s.text, "01234");
  for (char c : probe.guard) EXPECT_EQ(c, 0x5A);

  // Filled by a call: a text without a terminator inside the buffer, or a failed call,
  // leaves the string empty and zeroed; a text that fits is taken up to its terminator.
  const auto fill_all = [](char* text, std::size_t capacity) {
    std::memset(text, 'x', capacity);
    return true;
  };
  EXPECT_FALSE(bs_fill(probe.s, fill_all));
  for (char c : probe.s.text) EXPECT_EQ(c, 0);
  EXPECT_EQ(probe.s.length, 0u);
  EXPECT_FALSE(bs_fill(probe.s, [](char* text, std::size_t) {
    std::memcpy(text, "ab", 3);
    return false;
  }));
  EXPECT_STREQ(probe.s.text, "");
  EXPECT_TRUE(bs_fill(probe.s, [](char* text, std::size_t capacity) {
    EXPECT_EQ(capacity, 6u);
    std::memcpy(text, "ab", 3);
    return true;
  }));
  EXPECT_STREQ(probe.s.text, "ab");
  EXPECT_EQ(probe.s.length, 2u);
  EXPECT_EQ(probe.s.text[5], 0);
  for (char c : probe.guard) EXPECT_EQ(c, 0x5A);
}

TEST(BoundedString, CutNeverSplitsAUtf8Character) {
  PathU8<5> s;
  // "ab" + U+00E9 (2 bytes) + U+20AC (3 bytes): the euro sign does not fit whole.
  EXPECT_FALSE(bs_copy(s, "ab\xC3\xA9\xE2\x82\xAC"));
  EXPECT_STREQ(s.text, "ab\xC3\xA9");
  PathU8<4> t;
  EXPECT_FALSE(bs_copy(t, "ab\xC3\xA9"));
  EXPECT_STREQ(t.text, "ab");
}

TEST(BoundedString, FormatSubstitutesOnePlaceholderAndCutsAtCharacters) {
  // Capacity 8: at most 7 bytes of text. The cut drops a UTF-8 character that does not fit
  // whole, whichever part of the result (format or argument) it falls in.
  struct Case {
    const char* format;
    const char* argument;
    const char* text;
    bool fits;
  };
  const Case cases[] = {
      {"<%s>", "path", "<path>", true},
      {"%s", "abcdefg", "abcdefg", true},          // exactly the capacity
      {"%s", "abcdefgh", "abcdefg", false},
      {"ab%s", "", "ab", true},
      {"ab%s", nullptr, "ab", true},               // null counts as empty
      {"no path", "x", "no path", true},           // nothing to substitute
      {"%s-%s", "a", "a-%s", true},                // only the first is a placeholder
      {"100%% %s", "a", "100%% a", true},          // "%%" is plain text too
      {"%d %s", "a", "%d a", true},
      {"50% %", "a", "50% %", true},               // a lone "%" as well
      {"<%s>", "ab\xC3\xA9\xE2\x82\xAC", "<ab\xC3\xA9", false},  // the euro sign is cut whole
      {"\xC3\xA9%s\xE2\x82\xAC!", "abc", "\xC3\xA9" "abc", false},  // cut inside the format's tail
      {"Error reading %s, corrupted", "C:\\a", "Error r", false},
  };
  for (const Case& c : cases) {
    struct {
      PathU8<8> s;
      char guard[4];
    } probe;
    std::memset(probe.guard, 0x5A, sizeof probe.guard);
    bs_copy(probe.s, "stale");
    EXPECT_EQ(bs_format(probe.s, c.format, c.argument), c.fits) << c.format;
    EXPECT_STREQ(probe.s.text, c.text) << c.format;
    EXPECT_EQ(probe.s.length, std::strlen(c.text)) << c.format;
    for (char g : probe.guard) EXPECT_EQ(g, 0x5A);
  }
  static_assert(bs_placeholder_count("a %s b") == 1, "one");
  static_assert(bs_placeholder_count("%s%s") == 2 && bs_placeholder_count("%") == 0, "two, none");
}

TEST(BoundedString, WideTextHasTheSameRules) {
  PathW<4> w;
  EXPECT_TRUE(bs_copy(w, L"abc"));
  EXPECT_FALSE(bs_append(w, L"d"));
  EXPECT_EQ(w.length, 3u);
  EXPECT_EQ(w.text[3], L'\0');
  bs_zero(w);
  for (wchar_t unit : w.text) EXPECT_EQ(unit, L'\0');
  EXPECT_EQ(w.length, 0u);
  EXPECT_TRUE(bs_fill(w, [](wchar_t* text, std::size_t) {
    text[0] = L'z';
    return true;
  }));
  EXPECT_EQ(w.length, 1u);
  EXPECT_EQ(w.text[1], L'\0');
}

}  // namespace
