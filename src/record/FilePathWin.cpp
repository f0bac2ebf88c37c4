#include "record/FilePath.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace corvena {
namespace filepath {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::FILE* open(const std::string& path, const char* mode) {
    const std::wstring wide = widen(path);
    if (wide.empty()) return nullptr;
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, wide.c_str(), widen(mode).c_str()) != 0) return nullptr;
    return file;
}

namespace {
DWORD attributes(const std::string& path) {
    const std::wstring wide = widen(path);
    return wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
}

// Volume and file index identify a file whatever it is called.
bool fileId(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const std::wstring wide = widen(path);
    if (wide.empty()) return false;
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}
} // namespace

bool isDirectory(const std::string& path) {
    const DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool isFile(const std::string& path) {
    const DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool replace(const std::string& from, const std::string& to) {
    const std::wstring f = widen(from), t = widen(to);
    return !f.empty() && !t.empty() && MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool remove(const std::string& path) {
    const std::wstring wide = widen(path);
    return !wide.empty() && DeleteFileW(wide.c_str()) != 0;
}

int64_t tell(std::FILE* file) { return _ftelli64(file); }

bool seek(std::FILE* file, int64_t offset, int whence) { return _fseeki64(file, offset, whence) == 0; }

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return fileId(a, ia) && fileId(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

} // namespace filepath
} // namespace corvena
