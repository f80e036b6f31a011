// Small text helpers shared by the PC tools.
#ifndef TOOLS_COMMON_TEXT_H
#define TOOLS_COMMON_TEXT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// "0x" and all eight hex digits: addresses, checksums and magic words.
inline std::string text_hex32(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", v);
    return text;
}

// The lines of text without their '\n'; a last line without one counts,
// empty lines too.
inline std::vector<std::string> text_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

#endif
