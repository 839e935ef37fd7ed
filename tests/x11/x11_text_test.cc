#include "platform/x11/x11_text.h"

#include <gtest/gtest.h>

namespace fenwright::x11 {
namespace {

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

TEST(X11Text, TitlesBecomeValidUtf8) {
  EXPECT_EQ(latin1ToUtf8("caf\xE9 \xBD"), "café ½");
  EXPECT_EQ(latin1ToUtf8("plain"), "plain");
  EXPECT_EQ(sanitizeUtf8("Fenwright ✓ ünï 𝄞"), "Fenwright ✓ ünï 𝄞");
  EXPECT_EQ(sanitizeUtf8("a\xFF" "b"), "a" + kBad + "b");
  // Cut in the middle of a three-byte sequence (a title cut at its limit).
  EXPECT_EQ(sanitizeUtf8("x\xE2\x9C"), "x" + kBad + kBad);
  // Overlong slash and a UTF-16 surrogate.
  EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), kBad + kBad);
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), kBad + kBad + kBad);
  // Other encodings keep their ASCII.
  EXPECT_EQ(asciiOnly("ab\x1B$B\x80"), "ab\x1B$B" + kBad);
}

TEST(X11Text, HexIdsAreEightDigits) {
  EXPECT_EQ(hexId(0xC00003), "0x00c00003");
  EXPECT_EQ(hexId(0xFFFFFFFF), "0xffffffff");
}

}  // namespace
}  // namespace fenwright::x11
