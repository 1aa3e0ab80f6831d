#pragma once

#include <string>

namespace morvane {

// The Unicode White_Space property (tab to carriage return, space, NEL,
// no-break space and the Unicode space separators).
bool is_unicode_white_space(char32_t c) noexcept;

// Appends the UTF-8 encoding of one code point (at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

}  // namespace morvane
