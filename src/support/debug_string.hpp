#pragma once

#include <string>
#include <string_view>

namespace morvane {

// The text in double quotes with escapes, the way messages quote a value that
// may contain anything: `"` and `\` are escaped, \t \r \n \0 by name, other
// control characters as \u{hex}; other UTF-8 passes through. Bytes that are
// not valid UTF-8 are shown as \x{hex} so the quoted text stays readable.
std::string debug_quote(std::string_view text);

// One character (its UTF-8 bytes) in single quotes with the same escapes,
// except that `'` is escaped and `"` is not: '/', ' ', '\''.
std::string debug_quote_char(std::string_view character);

}  // namespace morvane
