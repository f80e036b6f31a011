// Reference pictures of the 132x64 screen: plain PBM (P1, 1 = ink), one
// value per pixel in memory. On a mismatch the picture actually drawn is left
// beside the reference as NAME_actual.pbm; UPDATE_GOLDEN=1 rewrites the
// references instead.
#ifndef TESTS_SUPPORT_GOLDEN_H
#define TESTS_SUPPORT_GOLDEN_H

#include "files.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

namespace testsupport
{

const int kGoldenW = 132, kGoldenH = 64;

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

// "" when actual (one value per pixel) matches DIR/NAME.pbm, else what is
// wrong; the picture drawn is left as DIR/NAME_actual.pbm.
inline std::string golden_mismatch(const std::string &dir, const std::string &name,
                                   const std::vector<uint8_t> &actual)
{
    std::string base = dir + "/" + name;
    const char *update = getenv("UPDATE_GOLDEN");
    if (update != nullptr && strcmp(update, "1") == 0) {
        write_pbm(base + ".pbm", actual);
        return "";
    }
    std::vector<uint8_t> expected;
    if (!read_pbm(base + ".pbm", &expected)) {
        write_pbm(base + "_actual.pbm", actual);
        return "no reference " + base + ".pbm (UPDATE_GOLDEN=1 writes it)";
    }
    size_t count = 0, first = 0;
    for (size_t i = 0; i < actual.size(); ++i)
        if (actual[i] != expected[i] && count++ == 0)
            first = i;
    if (count == 0)
        return "";
    write_pbm(base + "_actual.pbm", actual);
    return std::to_string(count) + " pixels differ from " + name + ", the first at (" +
           std::to_string(first % kGoldenW) + ", " + std::to_string(first / kGoldenW) +
           "); drawn: " + base + "_actual.pbm";
}

} // namespace testsupport

#endif
