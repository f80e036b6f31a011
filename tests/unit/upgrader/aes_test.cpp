#include "upgrader/aes.h"

#include "rompack/packmaker.h"

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
    const int len = 92;
    std::vector<unsigned char> in(len);
    for (int i = 0; i < len; ++i)
        in[i] = inverse[i];
    for (int key : {0, 1, 5, 91, 92, 184, 255}) {
        unsigned char k = static_cast<unsigned char>(key);
        std::vector<unsigned char> out(len, 0xAA), before = in;
        ASSERT_EQ(aes_decrypt(&k, out.data(), len, in.data()), 0);
        for (int i = 0; i < len; ++i)
            ASSERT_EQ(out[i], (i + key % len) % len) << "key " << key << " position " << i;
        EXPECT_EQ(in, before); // separate buffers: the input stays as it was
    }

    unsigned char buf[3] = {inverse[10], inverse[20], inverse[30]};
    unsigned char key = 4; // 4 mod 3 = 1
    ASSERT_EQ(aes_decrypt(&key, buf, 3, buf), 0);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 3), (std::vector<unsigned char>{20, 30, 10}));

    EXPECT_EQ(aes_decrypt(nullptr, buf, 3, buf), -1);
    EXPECT_EQ(aes_decrypt(&key, nullptr, 3, buf), -1);
    EXPECT_EQ(aes_decrypt(&key, buf, 3, nullptr), -1);
    EXPECT_EQ(aes_decrypt(&key, buf, 0, buf), -1);
}

TEST(AesDecrypt, UndoesThePackMakersScrambleForEveryKey)
{
    for (int len : {92, 1, 2, 91, 93, 128}) {
        std::vector<uint8_t> plain(len);
        for (int i = 0; i < len; ++i)
            plain[i] = static_cast<uint8_t>(i * 37 + len);
        for (int key = 0; key < 256; ++key) {
            std::vector<uint8_t> data = plain;
            rompack::scramble(static_cast<uint8_t>(key), data.data(), len);
            unsigned char k = static_cast<unsigned char>(key);
            ASSERT_EQ(aes_decrypt(&k, data.data(), len, data.data()), 0);
            ASSERT_EQ(data, plain) << "len " << len << " key " << key;
        }
    }
}
