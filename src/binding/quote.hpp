// The quoted form of ids, as shown in error messages.
#pragma once

#include <string>
#include <string_view>

namespace tavik::binding {

/// `utf8` in double quotes, escaped as \0 \t \r \n \\ \" or \u{hex}; throws only std::bad_alloc.
std::string quote(std::string_view utf8);

/// True iff `cp` is Grapheme_Extend, not printable, or not a code point at all.
bool needs_unicode_escape(char32_t cp) noexcept;

}  // namespace tavik::binding
