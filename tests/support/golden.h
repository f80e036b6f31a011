// Reference pictures of the 132x64 screen for golden tests: plain PBM (P1,
// 1 = ink, comments not expected), one value per pixel in memory. On a
// mismatch the picture actually drawn is left as NAME_actual.png;
// UPDATE_GOLDEN=1 asks for the references to be rewritten.
#ifndef TESTS_SUPPORT_GOLDEN_H
#define TESTS_SUPPORT_GOLDEN_H

#include "files.h"
#include "png_write.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

namespace testsupport
{

const int kGoldenW = 132, kGoldenH = 64;

inline bool golden_updating()
{
    const char *update = getenv("UPDATE_GOLDEN");
    return update != nullptr && strcmp(update, "1") == 0;
}

inline bool read_pbm(const std::string &path, std::vector<uint8_t> *bits)
{
    std::istringstream in(slurp(path));
    std::string magic;
    int w = 0, h = 0;
    if (!(in >> magic >> w >> h) || magic != "P1" || w != kGoldenW || h != kGoldenH)
        return false;
    bits->clear();
    for (char c; bits->size() < size_t(kGoldenW * kGoldenH) && in >> c;)
        bits->push_back(static_cast<uint8_t>(c == '1'));
    return bits->size() == size_t(kGoldenW * kGoldenH);
}

inline void write_pbm(const std::string &path, const std::vector<uint8_t> &bits)
{
    std::string out = "P1\n132 64\n";
    for (int y = 0; y < kGoldenH; ++y)
        for (int x = 0; x < kGoldenW; ++x) // two lines per row keep lines short
            out += std::string(1, static_cast<char>('0' + bits[y * kGoldenW + x])) +
                   (x == kGoldenW / 2 - 1 || x == kGoldenW - 1 ? "\n" : "");
    put(path, out);
}

// Pixels where actual and expected differ; the first of them in *first.
inline size_t count_differences(const std::vector<uint8_t> &actual,
                                const std::vector<uint8_t> &expected, size_t *first)
{
    size_t count = 0;
    *first = 0;
    for (size_t i = 0; i < actual.size(); ++i)
        if (actual[i] != expected[i] && count++ == 0)
            *first = i;
    return count;
}

// Leaves the picture drawn as base_actual.png (ink black), four times enlarged.
inline void leave_actual_png(const std::string &base, const std::vector<uint8_t> &actual)
{
    std::vector<uint8_t> grey(actual.size());
    for (size_t i = 0; i < actual.size(); ++i)
        grey[i] = actual[i] ? 0 : 255;
    png_write_gray(base + "_actual.png", kGoldenW, kGoldenH, grey, 4);
}

} // namespace testsupport

#endif
