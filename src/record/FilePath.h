#pragma once
// File paths as the protocol carries them (UTF-8), on each platform's own terms:
// POSIX takes the bytes as they are, Windows converts them to UTF-16 for its
// wide-character calls. Each platform's unit defines these.
#include <cstdint>
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
// Renames `from` to `to`, replacing a file already there.
bool replace(const std::string& from, const std::string& to);
bool remove(const std::string& path);
// Positions in files of any size (beyond 2 GiB where `long` has 32 bits).
int64_t tell(std::FILE* file);
bool seek(std::FILE* file, int64_t offset, int whence);

#ifdef _WIN32
// UTF-8 to UTF-16 and back; invalid input converts to an empty string.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
#endif

} // namespace filepath
} // namespace corvena
