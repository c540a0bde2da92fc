#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvine {

// Comparison of UTF-8 text under canonical equivalence: a precomposed character
// equals its decomposed form. Case-sensitive; nothing else is folded. Text that
// is not valid UTF-8 compares byte for byte.
class UnicodeText {
 public:
  // The NFC form of `text`, or absent when it is not valid UTF-8.
  static std::optional<std::string> nfc(std::string_view text);

  static bool canonicallyEqual(std::string_view a, std::string_view b);

  // Whether `text` begins with `prefix` under canonical equivalence, the prefix
  // ending on a character (grapheme-cluster) boundary of `text`.
  static bool hasCanonicalPrefix(std::string_view text, std::string_view prefix);

  // For texts already in NFC (or compared byte for byte): whether `prefix` is a
  // byte prefix of `text` ending on a grapheme-cluster boundary.
  static bool hasPrefixOnBoundary(std::string_view text, std::string_view prefix);

  static bool isAscii(std::string_view text);
  // Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
  static bool isValidUtf8(std::string_view text);

  // Whether a character boundary of valid UTF-8 `text` falls at byte `offset`.
  static bool isGraphemeBoundary(std::string_view text, std::size_t offset);
};

}  // namespace tarvine
