#pragma once
#include <string>

namespace corvena {

// Standard base64 (RFC 4648, with padding, no line breaks), for plug-in states.
std::string encodeBase64(const std::string& bytes);
// False for anything but well-formed base64: a length not a multiple of 4,
// characters outside the alphabet, whitespace, padding other than at the end.
bool decodeBase64(const std::string& text, std::string& bytes);

} // namespace corvena
