// Character classes of the C locale, whatever locale the process runs in:
// what the parsers accept must not change with the host's settings.
#pragma once

namespace Ascii {

// The blanks C's isspace knows: space, \t, \n, \v, \f and \r.
constexpr bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A letter A-Z in lower case; anything else, a UTF-16 unit too, as it is.
template <typename Char>
constexpr Char ToLower(Char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + ('a' - 'A')) : c;
}

}  // namespace Ascii
