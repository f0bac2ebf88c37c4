#pragma once
#include <string>

namespace corvena {

// Standard base64 (RFC 4648, with padding, no line breaks), for plug-in states.
std::string encodeBase64(const std::string& bytes);
// False for anything but well-formed base64: a length not a multiple of 4,
// characters outside the alphabet, whitespace, padding other than at the end.
bool decodeBase64(const std::string& text, std::string& bytes);
// The number of '=' ending `text` if it is well-formed base64 as above, or -1:
// the system codecs skip whitespace and accept stray padding, so both
// platforms check the text with this first.
int base64Padding(const std::string& text);

} // namespace corvena
