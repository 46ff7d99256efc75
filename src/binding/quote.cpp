#include "binding/quote.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>

#include "binding/unicode_tables.inc"

namespace tavik::binding {
namespace {

using unicode::kEscapedRanges;

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr bool table_is_well_formed() {
  char32_t next_free = 0;  // the smallest code point a range may start at
  for (const auto& range : kEscapedRanges) {
    if (range.first < next_free || range.last < range.first || range.last > kMaxCodePoint) {
      return false;
    }
    next_free = range.last + 2;  // merged ranges never touch
  }
  return true;
}
static_assert(table_is_well_formed(), "kEscapedRanges must be sorted, disjoint and merged");

constexpr bool in_table(char32_t cp) noexcept {
  const auto* after = std::upper_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
      [](char32_t value, const unicode::CodePointRange& range) { return value < range.first; });
  return after != std::begin(kEscapedRanges) && cp <= std::prev(after)->last;
}

constexpr bool ascii_needs_unicode_escape(char32_t cp) noexcept {
  return cp < 0x20 || cp == 0x7F;
}

constexpr bool ascii_shortcut_matches_table() {
  for (char32_t cp = 0; cp < 0x80; ++cp) {
    if (ascii_needs_unicode_escape(cp) != in_table(cp)) return false;
  }
  return true;
}
static_assert(ascii_shortcut_matches_table(), "the ASCII fast path must agree with the table");

// ASCII that is copied as is: printable, and neither a double quote nor a backslash.
constexpr bool is_plain_ascii(unsigned char byte) noexcept {
  return byte >= 0x20 && byte <= 0x7E && byte != '"' && byte != '\\';
}

void append_hex_escape(std::string& out, char32_t value) {
  char digits[8];
  std::size_t count = 0;
  do {
    digits[count++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

// The ASCII characters with a two-character escape, and the character after the backslash.
constexpr std::string_view kShortEscaped{"\0\t\r\n\\\"", 6};
constexpr std::string_view kShortEscapes{"0trn\\\"", 6};

void append_ascii_escape(std::string& out, unsigned char byte) {
  const std::size_t index = kShortEscaped.find(static_cast<char>(byte));
  if (index == std::string_view::npos) {
    append_hex_escape(out, byte);
    return;
  }
  out += '\\';
  out += kShortEscapes[index];
}

struct Decoded {
  char32_t cp;
  std::size_t length;  // 0 if the bytes are not well-formed UTF-8
};

// Decodes the well-formed UTF-8 sequence that starts with the non-ASCII byte `s[0]`, reading at
// most `available` bytes; rejects overlong forms, surrogates and values above U+10FFFF.
Decoded decode(const unsigned char* s, std::size_t available) noexcept {
  const unsigned char lead = s[0];
  std::size_t length = 0;
  char32_t cp = 0;
  unsigned char low = 0x80;  // bounds of the first continuation byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 0};
  }
  if (available < length) return {0, 0};
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char byte = s[k];
    if (byte < low || byte > high) return {0, 0};
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (byte & 0x3Fu);
  }
  return {cp, length};
}

}  // namespace

bool needs_unicode_escape(char32_t cp) noexcept {
  if (cp < 0x80) return ascii_needs_unicode_escape(cp);
  if (cp > kMaxCodePoint) return true;
  return in_table(cp);
}

std::string quote(std::string_view utf8) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t size = utf8.size();
  std::string out;
  out.reserve(size + 2);
  out += '"';
  std::size_t copied = 0;  // bytes before this index are already in `out`
  std::size_t i = 0;
  while (i < size) {
    if (is_plain_ascii(bytes[i])) {
      ++i;
      continue;
    }
    if (bytes[i] >= 0x80) {
      const Decoded decoded = decode(bytes + i, size - i);
      if (decoded.length != 0 && !needs_unicode_escape(decoded.cp)) {
        i += decoded.length;
        continue;
      }
      out.append(utf8.data() + copied, i - copied);
      if (decoded.length != 0) {
        append_hex_escape(out, decoded.cp);
        i += decoded.length;
      } else {
        // A byte that is not part of well-formed UTF-8 is shown as \u{its value}.
        append_hex_escape(out, bytes[i]);
        ++i;
      }
    } else {
      out.append(utf8.data() + copied, i - copied);
      append_ascii_escape(out, bytes[i]);
      ++i;
    }
    copied = i;
  }
  out.append(utf8.data() + copied, size - copied);
  out += '"';
  return out;
}

}  // namespace tavik::binding
