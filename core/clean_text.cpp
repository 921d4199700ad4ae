#include "core/clean_text.h"

std::string CleanNetworkText(std::string_view text, std::size_t maxChars) {
    std::string clean;
    for (const char c : text.substr(0, maxChars)) {
        const auto u = static_cast<unsigned char>(c);
        clean += u >= 0x20 && u < 0x7F ? c : '?';
    }
    if (text.size() > maxChars)
        clean += "...";
    return clean;
}
