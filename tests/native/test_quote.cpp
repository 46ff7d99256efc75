// Native tests of the quoted form of ids (binding/quote.hpp).
#include <cstdio>
#include <string>
#include <string_view>

#include "binding/quote.hpp"

using namespace std::literals;
using tavik::binding::needs_unicode_escape;
using tavik::binding::quote;

namespace {

int passed = 0;
int failed = 0;

// Shows a byte string with non-ASCII and control bytes as \xNN, for failure messages.
std::string show(std::string_view s) {
  std::string out;
  for (const char c : s) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", byte);
      out += buf;
    }
  }
  return out;
}

void check_eq(std::string_view actual, std::string_view expected, const char* what, int line) {
  if (actual == expected) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAIL line %d (%s):\n  got      %s\n  expected %s\n", line, what,
              show(actual).c_str(), show(expected).c_str());
}

void check(bool ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL line %d: %s\n", line, what);
  }
}

#define CHECK_EQ(actual, expected) check_eq((actual), (expected), #actual, __LINE__)
#define CHECK(cond) check((cond), #cond, __LINE__)

struct Case {
  std::string_view input;
  std::string_view expected;  // without the surrounding double quotes
};

// Non-ASCII characters are written as UTF-8 bytes; the comment names the code points.
constexpr Case kCases[] = {
    {""sv, ""sv},
    {"plain id_01.x-y"sv, "plain id_01.x-y"sv},
    {"a\"b"sv, "a\\\"b"sv},
    {"it's"sv, "it's"sv},
    {"back\\slash"sv, "back\\\\slash"sv},
    {"a\0b"sv, "a\\0b"sv},
    {"\t\r\n"sv, "\\t\\r\\n"sv},
    {"\x1B[0m"sv, "\\u{1b}[0m"sv},
    {"\x01\x1F\x7F"sv, "\\u{1}\\u{1f}\\u{7f}"sv},
    {"\xC2\x9F|\xC2\xA0|\xC2\xA1"sv, "\\u{9f}|\\u{a0}|\xC2\xA1"sv},  // U+009F U+00A0 U+00A1
    {"\xC2\xAD"sv, "\\u{ad}"sv},                                     // U+00AD soft hyphen (Cf)
    {"\xC3\xA9t\xC3\xA9"sv, "\xC3\xA9t\xC3\xA9"sv},                  // U+00E9, precomposed
    {"e\xCC\x81"sv, "e\\u{301}"sv},                                  // U+0301 after a letter
    {"\xCC\x81"sv, "\\u{301}"sv},                                    // U+0301 alone
    {"\xCB\xBF\xCC\x80"sv, "\xCB\xBF\\u{300}"sv},  // U+02FF (Sk) U+0300 (first mark)
    {"\xCD\xAF\xCD\xB0"sv, "\\u{36f}\xCD\xB0"sv},  // U+036F (last mark) U+0370 (Lu)
    {"\xCD\xB8"sv, "\\u{378}"sv},                  // U+0378 unassigned
    {"\xE0\xA4\x83"sv, "\xE0\xA4\x83"sv},          // U+0903 spacing mark, not Grapheme_Extend
    {"\xE0\xA6\xBE"sv, "\\u{9be}"sv},              // U+09BE spacing mark, Grapheme_Extend
    {"\xE4\xB8\xAD\xE6\x96\x87"sv, "\xE4\xB8\xAD\xE6\x96\x87"sv},  // U+4E2D U+6587
    {"\xF0\x9F\x98\x80"sv, "\xF0\x9F\x98\x80"sv},                  // U+1F600
    {"\xE2\x9D\xA4\xEF\xB8\x8F"sv, "\xE2\x9D\xA4\\u{fe0f}"sv},     // U+2764 U+FE0F
    // U+1F468 U+200D U+1F469: the joiner inside an emoji sequence
    {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"sv,
     "\xF0\x9F\x91\xA8\\u{200d}\xF0\x9F\x91\xA9"sv},
    {"a\xE2\x80\xA8"
     "b\xE2\x80\xA9"sv,
     "a\\u{2028}b\\u{2029}"sv},             // U+2028 (Zl) U+2029 (Zp)
    {"\xE3\x80\x80"sv, "\\u{3000}"sv},      // U+3000 ideographic space
    {"\xEF\xBB\xBFid"sv, "\\u{feff}id"sv},  // U+FEFF (Cf)
    {"\xEE\x80\x80\xEF\xA3\xBF\xEF\xA4\x80"sv, "\\u{e000}\\u{f8ff}\xEF\xA4\x80"sv},  // Co, Co, Lo
    {"\xEA\xB0\x80\xED\x9E\xA3\xED\x9E\xA4"sv, "\xEA\xB0\x80\xED\x9E\xA3\\u{d7a4}"sv},  // Hangul
    {"\xEF\xBF\xBD\xEF\xBF\xBE"sv, "\xEF\xBF\xBD\\u{fffe}"sv},  // U+FFFD (So) U+FFFE (Cn)
    {"\xF0\xAA\x9B\x9F\xF0\xAA\x9B\xA0"sv, "\xF0\xAA\x9B\x9F\\u{2a6e0}"sv},  // U+2A6DF U+2A6E0
    // U+31350 U+323AF: the ends of a range assigned in Unicode 15.0
    {"\xF0\xB1\x8D\x90\xF0\xB2\x8E\xAF"sv, "\xF0\xB1\x8D\x90\xF0\xB2\x8E\xAF"sv},
    {"\xF3\xA0\x80\x81\xF3\xA0\x84\x80"sv, "\\u{e0001}\\u{e0100}"sv},  // tag, variation selector
    {"\xF4\x8F\xBF\xBF"sv, "\\u{10ffff}"sv},                           // U+10FFFF
    // Bytes that are not well-formed UTF-8 are escaped one by one.
    {"\x80"sv, "\\u{80}"sv},
    {"\xFF"sv, "\\u{ff}"sv},
    {"a\xE2\x82"sv, "a\\u{e2}\\u{82}"sv},  // truncated at the end
    {"\xC3"
     "A"sv,
     "\\u{c3}A"sv},                                            // truncated before ASCII
    {"\xC0\xAF"sv, "\\u{c0}\\u{af}"sv},                        // overlong
    {"\xED\xA0\x80"sv, "\\u{ed}\\u{a0}\\u{80}"sv},             // surrogate
    {"\xF4\x90\x80\x80"sv, "\\u{f4}\\u{90}\\u{80}\\u{80}"sv},  // above U+10FFFF
};

std::string quoted(std::string_view body) {
  std::string out;
  out.reserve(body.size() + 2);
  out += '"';
  out += body;
  out += '"';
  return out;
}

void test_cases() {
  for (const Case& c : kCases) CHECK_EQ(quote(c.input), quoted(c.expected));
}

void test_all_ascii() {
  std::string plain;
  std::string controls;
  std::string controls_expected;
  for (int b = 0x01; b < 0x80; ++b) {
    const char c = static_cast<char>(b);
    if (b >= 0x20 && b < 0x7F) {
      if (c != '"' && c != '\\') plain += c;
    } else if (c != '\t' && c != '\r' && c != '\n') {
      controls += c;
      char buf[12];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(b));
      controls_expected += buf;
    }
  }
  CHECK(plain.size() == 93);
  CHECK_EQ(quote(plain), quoted(plain));
  CHECK_EQ(quote(controls), quoted(controls_expected));
}

void test_long_runs() {
  const std::string a(1000, 'a');
  const std::string b(777, 'b');
  std::string e_acute;
  for (int i = 0; i < 300; ++i) e_acute += "\xC3\xA9";
  const std::string input = a + "\n" + b + "e\xCC\x81" + e_acute + "\"" + a + "\x7F";
  const std::string expected = a + "\\n" + b + "e\\u{301}" + e_acute + "\\\"" + a + "\\u{7f}";
  CHECK_EQ(quote(input), quoted(expected));
}

void test_needs_unicode_escape() {
  CHECK(!needs_unicode_escape(U' '));
  CHECK(!needs_unicode_escape(U'~'));
  CHECK(needs_unicode_escape(0x00));
  CHECK(needs_unicode_escape(0x7F));
  CHECK(needs_unicode_escape(0xD800));  // surrogate
  CHECK(!needs_unicode_escape(0x1F600));
  CHECK(needs_unicode_escape(0x10FFFF));
  CHECK(needs_unicode_escape(0x110000));
  CHECK(needs_unicode_escape(0xFFFFFFFF));
}

}  // namespace

int main() {
  test_cases();
  test_all_ascii();
  test_long_runs();
  test_needs_unicode_escape();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
