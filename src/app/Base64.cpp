#include "app/Base64.h"

#include <climits>

#include <openssl/evp.h>

namespace corvena {

std::string encodeBase64(const std::string& bytes) {
    if (bytes.empty())
        return {};
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

bool decodeBase64(const std::string& text, std::string& bytes) {
    bytes.clear();
    // EVP_DecodeBlock counts padding as zero bytes, which are cut off below.
    const int padding = base64Padding(text);
    if (padding < 0)
        return false;
    if (text.empty())
        return true;
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) != out.size())
        return false;
    out.resize(out.size() - padding);
    bytes = std::move(out);
    return true;
}

} // namespace corvena
