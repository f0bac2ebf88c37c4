#pragma once
// File paths as the protocol carries them (UTF-8), on each platform's own terms:
// POSIX takes the bytes as they are, Windows converts them to UTF-16 for its
// wide-character calls. Each platform's unit defines these.
#include <cstdio>
#include <string>

namespace corvena {
namespace filepath {

// fopen on the UTF-8 path; null when it cannot be opened.
std::FILE* open(const std::string& path, const char* mode);
bool isDirectory(const std::string& path);
bool isFile(const std::string& path);
// Both name one existing file (two spellings of one file).
bool sameFile(const std::string& a, const std::string& b);

#ifdef _WIN32
// UTF-8 to UTF-16 and back; invalid input converts to an empty string.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
#endif

} // namespace filepath
} // namespace corvena
