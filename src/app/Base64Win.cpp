#include "app/Base64.h"

#include <climits>

#include <windows.h>
#include <wincrypt.h>

// Windows has no OpenSSL; its own CryptoAPI codec does the same work.
namespace corvena {

std::string encodeBase64(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > static_cast<size_t>(INT_MAX / 2))
        return {};
    const auto* in = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!CryptBinaryToStringA(in, static_cast<DWORD>(bytes.size()), flags, nullptr, &size))
        return {};
    std::string text(size, '\0');
    if (!CryptBinaryToStringA(in, static_cast<DWORD>(bytes.size()), flags, &text[0], &size))
        return {};
    text.resize(size); // the count excludes the terminating zero
    return text;
}

bool decodeBase64(const std::string& text, std::string& bytes) {
    bytes.clear();
    const int padding = base64Padding(text);
    if (padding < 0)
        return false;
    if (text.empty())
        return true;
    std::string out(text.size() / 4 * 3, '\0');
    DWORD size = static_cast<DWORD>(out.size());
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(&out[0]), &size, nullptr, nullptr) ||
        size != out.size() - static_cast<size_t>(padding))
        return false;
    out.resize(size);
    bytes = std::move(out);
    return true;
}

} // namespace corvena
