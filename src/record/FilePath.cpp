#include "record/FilePath.h"

#include <sys/stat.h>

namespace corvena {
namespace filepath {

std::FILE* open(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (a == b) return true;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool replace(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool remove(const std::string& path) { return std::remove(path.c_str()) == 0; }

int64_t tell(std::FILE* file) { return ::ftello(file); }

bool seek(std::FILE* file, int64_t offset, int whence) { return ::fseeko(file, offset, whence) == 0; }

} // namespace filepath
} // namespace corvena
