#pragma once
// Escaping between JSON string text and the bytes a value holds.

#include <string>
#include <string_view>

namespace JSON {

// Appends text escaped for a JSON string: quote, backslash, \b \f \n \r \t by letter,
// other bytes below 0x20 as \u00XX; everything else (UTF-8 included) unchanged.
void EscapeTo(std::string& out, std::string_view text);

// Resolves the escapes of a scanned string. \uXXXX becomes UTF-8 (a surrogate pair one
// code point); an unpaired surrogate stays as the six characters written.
std::string UnescapeString(std::string raw);

}  // namespace JSON
