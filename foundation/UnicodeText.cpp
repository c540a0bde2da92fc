#include "foundation/UnicodeText.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarvine {
namespace {

const utf8proc_uint8_t* bytes(std::string_view text) {
  return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

}  // namespace

bool UnicodeText::isAscii(std::string_view text) {
  // Eight bytes at a time: any high bit means a byte outside ASCII.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & 0x8080'8080'8080'8080ull) != 0) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

bool UnicodeText::isValidUtf8(std::string_view text) {
  if (isAscii(text)) return true;
  for (std::size_t pos = 0; pos < text.size();) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t n = utf8proc_iterate(
        bytes(text.substr(pos)), static_cast<utf8proc_ssize_t>(text.size() - pos), &codepoint);
    if (n <= 0) return false;
    pos += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> UnicodeText::nfc(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  utf8proc_uint8_t* mapped = nullptr;
  // No NULLTERM option: the length is given, so an embedded NUL is just a character.
  utf8proc_ssize_t length =
      utf8proc_map(bytes(text), static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

bool UnicodeText::canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  auto na = nfc(a);
  auto nb = nfc(b);
  if (!na || !nb) return false;  // byte for byte, and the bytes differ
  return *na == *nb;
}

bool UnicodeText::isGraphemeBoundary(std::string_view text, std::size_t offset) {
  if (offset == 0 || offset >= text.size()) return true;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  std::size_t pos = 0;
  while (pos < text.size()) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(bytes(text.substr(pos)),
                                          static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
    if (n <= 0) return true;  // not valid UTF-8: bytes compare as bytes
    if (pos == offset)
      return previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state);
    if (pos > offset) return false;  // offset lies inside a character
    if (previous >= 0) utf8proc_grapheme_break_stateful(previous, cp, &state);
    previous = cp;
    pos += static_cast<std::size_t>(n);
  }
  return true;
}

bool UnicodeText::hasPrefixOnBoundary(std::string_view text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  if (prefix.size() == text.size() || prefix.empty()) return true;
  unsigned char last = static_cast<unsigned char>(prefix.back());
  unsigned char next = static_cast<unsigned char>(text[prefix.size()]);
  if (last < 0x80 && next < 0x80) {
    // Between two ASCII characters there is always a boundary, except CR LF.
    return !(last == '\r' && next == '\n');
  }
  return isGraphemeBoundary(text, prefix.size());
}

bool UnicodeText::hasCanonicalPrefix(std::string_view text, std::string_view prefix) {
  if (isAscii(text) && isAscii(prefix)) return hasPrefixOnBoundary(text, prefix);
  auto nt = nfc(text);
  auto np = nfc(prefix);
  if (!nt || !np) return text.substr(0, prefix.size()) == prefix;
  return hasPrefixOnBoundary(*nt, *np);
}

}  // namespace tarvine
