#include "foundation/UnicodeText.h"

#include <gtest/gtest.h>

namespace tarvine {
namespace {

const std::string kPrecomposed = "/u/caf\xC3\xA9";  // é as U+00E9
const std::string kDecomposed = "/u/cafe\xCC\x81";  // e + U+0301

TEST(UnicodeTextTest, CanonicallyEquivalentTextsAreEqual) {
  EXPECT_TRUE(UnicodeText::canonicallyEqual(kPrecomposed, kDecomposed));
  EXPECT_TRUE(UnicodeText::canonicallyEqual("abc", "abc"));
  EXPECT_FALSE(UnicodeText::canonicallyEqual("abc", "ABC"));  // case-sensitive
  // Compatibility forms are not folded: the ligature "ﬁ" is not "fi".
  EXPECT_FALSE(UnicodeText::canonicallyEqual("\xEF\xAC\x81", "fi"));
  // A canonical singleton: KELVIN SIGN is K.
  EXPECT_TRUE(UnicodeText::canonicallyEqual("\xE2\x84\xAA", "K"));
}

TEST(UnicodeTextTest, InvalidUtf8ComparesByteForByte) {
  const std::string invalid = "/u/\xFF";
  EXPECT_TRUE(UnicodeText::canonicallyEqual(invalid, invalid));
  EXPECT_FALSE(UnicodeText::canonicallyEqual(invalid, "/u/\xC3\xBF"));
  EXPECT_FALSE(UnicodeText::nfc(invalid));
  EXPECT_FALSE(UnicodeText::nfc("\xED\xA0\x80"));  // an encoded surrogate
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix(invalid + "/x", invalid + "/"));
}

TEST(UnicodeTextTest, EmbeddedNulIsACharacter) {
  EXPECT_EQ(UnicodeText::nfc(std::string("a\0\xC3\xA9", 4)), std::string("a\0\xC3\xA9", 4));
  EXPECT_FALSE(UnicodeText::canonicallyEqual(std::string("a\0b", 3), "a"));
}

TEST(UnicodeTextTest, PrefixUnderCanonicalEquivalence) {
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix(kDecomposed + "/x", kPrecomposed + "/"));
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix(kPrecomposed + "/x", kDecomposed + "/"));
  EXPECT_FALSE(UnicodeText::hasCanonicalPrefix("/u/docs2", "/u/docs/"));
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix("/u/docs/", "/u/docs/"));
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix("anything", ""));
}

TEST(UnicodeTextTest, PrefixMustEndOnACharacterBoundary) {
  // A combining mark right after the prefix belongs to the prefix's last character.
  EXPECT_FALSE(UnicodeText::hasCanonicalPrefix("/u/docs/\xCC\x81x", "/u/docs/"));
  // "e" is not a prefix of "é" written decomposed.
  EXPECT_FALSE(UnicodeText::hasCanonicalPrefix("/e\xCC\x81", "/e"));
  // CR LF is one character.
  EXPECT_FALSE(UnicodeText::hasCanonicalPrefix("a\r\nb", "a\r"));
  // A regional-indicator pair (a flag) is one character.
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // 🇫🇷
  EXPECT_FALSE(UnicodeText::hasCanonicalPrefix(flag, flag.substr(0, 4)));
  EXPECT_TRUE(UnicodeText::hasCanonicalPrefix(flag + "/", flag));
}

}  // namespace
}  // namespace tarvine
