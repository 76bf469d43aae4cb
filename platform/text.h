// Text conversions at the operating-system boundary. The module holds all text as UTF-16
// (std::u16string); these convert to and from UTF-8 and never fail: invalid input becomes
// U+FFFD. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

std::string toUtf8(std::u16string_view s);
std::u16string fromUtf8(std::string_view s);

// Decimal text of a number.
std::u16string toU16(int64_t n);

// ASCII-only case folding, as used for file patterns and registry names.
char16_t asciiLower(char16_t c);
bool equalsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace vt
