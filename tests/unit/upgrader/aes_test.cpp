// Known answers of the header descrambling; the pack check decodes packs.
#include "upgrader/aes.h"

#include "files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

TEST(AesDecrypt, KnownAnswersApartAndInPlace)
{
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/aes_kat.rows")) {
        std::string in;
        for (size_t i = 0; i < r[1].size(); i += 2)
            in += char(strtoul(r[1].substr(i, 2).c_str(), nullptr, 16));
        std::string out(in.size(), '\0'), again = in;
        unsigned char key = static_cast<unsigned char>(std::stoi(r[0]));
        auto bytes = [](std::string &s) { return reinterpret_cast<unsigned char *>(&s[0]); };
        ASSERT_EQ(aes_decrypt(&key, bytes(out), int(in.size()), bytes(in)), 0);
        EXPECT_EQ(testsupport::to_hex(out), r[2]) << r[0];
        ASSERT_EQ(aes_decrypt(&key, bytes(again), int(in.size()), bytes(again)), 0);
        EXPECT_EQ(again, out) << r[0];
    }
    unsigned char key = 1, buf[1] = {};
    EXPECT_EQ(aes_decrypt(nullptr, buf, 1, buf), -1);
    EXPECT_EQ(aes_decrypt(&key, buf, 0, buf), -1);
}
