// The descrambling of the pack header against known answers; the pack
// check test decodes whole scrambled packs with every kind of key.
#include "upgrader/aes.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

TEST(AesTable, IsTheDocumentedShuffleAndAPermutation)
{
    // The recipe of the table's comment, run independently of the table.
    unsigned char t[256];
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<unsigned char>(i);
    uint32_t x = 0x55504752u;
    for (int i = 255; i >= 1; --i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        std::swap(t[i], t[x % static_cast<uint32_t>(i + 1)]);
    }
    std::vector<int> seen(256, 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(decrypt[i], t[i]) << "entry " << i;
        ++seen[decrypt[i]];
    }
    EXPECT_EQ(seen, std::vector<int>(256, 1));
}

// Input bytes chosen so that substitution yields 0, 1, 2, ...: the output
// then shows the rotation alone.
TEST(AesDecrypt, SubstitutesThenRotatesLeftByKeyModLen)
{
    unsigned char inverse[256];
    for (int i = 0; i < 256; ++i)
        inverse[decrypt[i]] = static_cast<unsigned char>(i);
    unsigned char buf[3] = {inverse[10], inverse[20], inverse[30]};
    unsigned char key = 4; // 4 mod 3 = 1
    ASSERT_EQ(aes_decrypt(&key, buf, 3, buf), 0);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 3), (std::vector<unsigned char>{20, 30, 10}));
    std::vector<unsigned char> in(92), out(92);
    for (int i = 0; i < 92; ++i)
        in[i] = inverse[i];
    key = 200; // 200 mod 92 = 16
    ASSERT_EQ(aes_decrypt(&key, out.data(), 92, in.data()), 0);
    for (int i = 0; i < 92; ++i)
        ASSERT_EQ(out[i], (i + 16) % 92) << i;
    EXPECT_EQ(aes_decrypt(nullptr, buf, 3, buf), -1);
    EXPECT_EQ(aes_decrypt(&key, buf, 0, buf), -1);
}
