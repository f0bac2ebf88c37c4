#include "app/Base64.h"

#include <climits>

namespace corvena {

int base64Padding(const std::string& text) {
    if (text.size() % 4 != 0 || text.size() > static_cast<size_t>(INT_MAX))
        return -1;
    if (text.empty())
        return 0;
    const size_t padding = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
            return -1;
    }
    return static_cast<int>(padding);
}

} // namespace corvena
