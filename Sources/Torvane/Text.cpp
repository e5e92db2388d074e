#include "Torvane/Text.h"

#include <cstdint>

namespace torvane {

namespace {

// Unicode white space and line separators (the space separators Zs, line and paragraph
// separators, and the control characters that break or space text).
bool isWhiteSpace(std::uint32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the UTF-8 sequence starting at `i`; returns its length, or 0 when malformed.
std::size_t decodeAt(std::string_view s, std::size_t i, std::uint32_t& c) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    std::size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > s.size()) return 0;
    c = length == 1 ? b : b & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    return length;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::uint32_t c = 0;
        std::size_t n = decodeAt(text, begin, c);
        if (n == 0 || !isWhiteSpace(c)) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::uint32_t c = 0;
        std::size_t n = decodeAt(text, start, c);
        if (n != end - start || !isWhiteSpace(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace torvane
