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
    if (text.size() % 4 != 0 || text.size() > static_cast<size_t>(INT_MAX))
        return false;
    if (text.empty())
        return true;
    // EVP_DecodeBlock skips whitespace around the text, takes '=' anywhere
    // and counts padding as zero bytes: the text is checked here first.
    const size_t padding = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
            return false;
    }
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
