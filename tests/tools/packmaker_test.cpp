// The pack maker, read back with the program's own reader.
#include "rompack/packmaker.h"

#include "log/rl_log.h"
#include "upgrader/rompack.h"

#include <gtest/gtest.h>

#include <string.h>

namespace
{

uint32_t word(const std::vector<uint8_t> &pack, size_t off)
{
    uint32_t w = 0;
    memcpy(&w, pack.data() + off, 4);
    return w;
}

uint32_t xor_words(const std::vector<uint8_t> &pack, size_t off, size_t n)
{
    uint32_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= word(pack, off + 4 * i);
    return x;
}

rompack::PartitionSpec part(uint32_t id, uint32_t size, uint32_t header_size = 32)
{
    rompack::PartitionSpec p;
    p.id = id;
    p.version = 0x028F0701;
    p.header_size = header_size;
    rompack::generate_payload(size, "random:" + std::to_string(id), &p.payload);
    return p;
}

rompack::PackSpec recipe(uint32_t header_size, uint8_t key)
{
    rompack::PackSpec s;
    s.rom_type = 1;
    s.device_id = 59;
    s.oem_id = 7;
    s.version = 0x028F0701;
    s.mid_version = 1;
    s.sw_protect = 2;
    for (int i = 0; i < 16; ++i)
        s.match_id[i] = static_cast<uint8_t>(i * 3);
    s.header_size = header_size;
    s.scramble_key = key;
    s.partitions = {part(1, 1000), part(6, 6, 40), part(255, 0)};
    return s;
}

class PackMaker : public ::testing::Test
{
  protected:
    void SetUp() override { rl_log_reset_level(-1); }

    // Reads the whole pack with the program's reader; returns the first
    // refusal or 0, and the records.
    int read(const std::vector<uint8_t> &pack, Rom_Header *h, std::vector<Partition_Header> *parts,
             std::vector<uint64_t> *at = nullptr)
    {
        memset(h, 0, sizeof(*h));
        int code = rompack_read_rom_header(pack.data(), pack.size(), h);
        uint64_t off = 12ull + h->rom_header_size;
        for (uint32_t i = 0; code == 0 && i < h->partition_num; ++i) {
            if (at)
                at->push_back(off);
            Partition_Header p;
            code = rompack_read_partition_header(pack.data(), pack.size(), &off, &p);
            parts->push_back(p);
        }
        return code;
    }
};

TEST_F(PackMaker, EveryKeyReadsBackTheCurrentLayout)
{
    for (int key = 0; key < 256; ++key) {
        SCOPED_TRACE(key);
        const rompack::PackSpec s = recipe(128, static_cast<uint8_t>(key));
        const std::vector<uint8_t> pack = rompack::make_pack(s);
        Rom_Header h;
        std::vector<Partition_Header> parts;
        ASSERT_EQ(read(pack, &h, &parts), 0);
        EXPECT_EQ(h.rom_type, 1u);
        EXPECT_EQ(h.device_id, 59u);
        EXPECT_EQ(h.oem_id, 7u);
        EXPECT_EQ(h.rom_version, s.version);
        EXPECT_EQ(h.mid_version, 1u);
        EXPECT_EQ(h.sw_protect, 2u);
        EXPECT_EQ(0, memcmp(h.match_id, s.match_id, 16));
        // The three clear words on disk agree with their unscrambled copies.
        EXPECT_EQ(h.partition_num_copy, 3u);
        EXPECT_EQ(h.rom_size_copy, h.rom_size);
        EXPECT_EQ(h.rom_checksum_copy, h.rom_checksum);
        EXPECT_EQ(word(pack, 20), 3u);
        EXPECT_EQ(word(pack, 104), ROM_MAGIC);
        EXPECT_EQ(pack[124], key);
    }
}

TEST_F(PackMaker, LargerScrambledHeadersReadBack)
{
    Rom_Header h;
    std::vector<Partition_Header> parts;
    // Up to 132 the region stops short of the moved words at 108..119.
    for (uint32_t size = 129; size <= 132; ++size) {
        for (int key = 0; key < 256; ++key) {
            const rompack::PackSpec s = recipe(size, static_cast<uint8_t>(key));
            parts.clear();
            ASSERT_EQ(read(rompack::make_pack(s), &h, &parts), 0) << size << " " << key;
            EXPECT_EQ(h.oem_id, 7u);
            EXPECT_EQ(h.match_id[15], 45);
        }
    }
    // At 148 with key 52 the moved words' places in the region are
    // unscrambled into fields (rom_type up to device_id); the maker makes the
    // free plain bytes they pair with agree, so every field reads back.
    const rompack::PackSpec s = recipe(148, 52);
    parts.clear();
    ASSERT_EQ(read(rompack::make_pack(s), &h, &parts), 0);
    EXPECT_EQ(h.rom_type, 1u);
    EXPECT_EQ(h.process_type, 0u);
    EXPECT_EQ(h.device_id, 59u);
    EXPECT_EQ(h.oem_id, 7u);
    EXPECT_EQ(h.rom_version, s.version);
    EXPECT_EQ(0, memcmp(h.match_id, s.match_id, 16));
    EXPECT_EQ(h.mid_version, 1u);
    EXPECT_EQ(h.sw_protect, 2u);
}

TEST_F(PackMaker, LaysOutHeadersBackToBackAndPayloadsAfterThem)
{
    const rompack::PackSpec s = recipe(128, 9);
    const std::vector<uint8_t> pack = rompack::make_pack(s);
    Rom_Header h;
    std::vector<Partition_Header> parts;
    std::vector<uint64_t> at;
    ASSERT_EQ(read(pack, &h, &parts, &at), 0);
    // 140-byte ROM header, 44, 52 and 44-byte partition headers.
    EXPECT_EQ(at, (std::vector<uint64_t>{140, 184, 236}));
    EXPECT_EQ(parts[0].partition_offset, 280u);
    EXPECT_EQ(parts[1].partition_offset, 1280u);
    EXPECT_EQ(parts[2].partition_offset, 1286u);
    EXPECT_EQ(parts[1].partition_size, 6u);
    EXPECT_EQ(parts[2].partition_size, 0u);
    EXPECT_EQ(pack.size(), 1286u);
    EXPECT_EQ(rompack::pack_length(s), pack.size());
    // The body runs from the first partition header to the end; its last
    // two bytes are not a whole word and stay uncovered.
    EXPECT_EQ(h.rom_size, 1286u - 140);
    EXPECT_EQ(h.rom_checksum, xor_words(pack, 140, (1286 - 140) / 4));
    EXPECT_EQ(0, memcmp(pack.data() + 280, s.partitions[0].payload.data(), 1000));
    // A 52-byte header balances all 11 of its words.
    EXPECT_EQ(xor_words(pack, 184 + 8, 11), 0u);
}

TEST_F(PackMaker, OlderLayoutIsStoredInClearWithoutTheLaterFields)
{
    const std::vector<uint8_t> pack = rompack::make_pack(recipe(124, 0));
    Rom_Header h;
    std::vector<Partition_Header> parts;
    std::vector<uint64_t> at;
    ASSERT_EQ(read(pack, &h, &parts, &at), 0);
    EXPECT_EQ(at[0], 136u);
    EXPECT_EQ(word(pack, 24), 59u);
    EXPECT_EQ(word(pack, 32), 0x028F0701u);
    EXPECT_EQ(word(pack, 104), 0u); // no second magic
    EXPECT_EQ(xor_words(pack, 8, 32), 0u);

    // 127: a 139-byte header whose checksum covers 32 words from 8.
    const std::vector<uint8_t> odd = rompack::make_pack(recipe(127, 0));
    at.clear();
    parts.clear();
    ASSERT_EQ(read(odd, &h, &parts, &at), 0);
    EXPECT_EQ(at[0], 139u);
    EXPECT_EQ(word(odd, 139), PART_MAGIC);
}

TEST_F(PackMaker, ExplicitOffsetsPlacePayloadsAndLaterOnesFollow)
{
    rompack::PackSpec s = recipe(128, 3);
    s.partitions[0].offset = 4000;
    s.partitions[1].offset = 400;
    const std::vector<uint8_t> pack = rompack::make_pack(s);
    Rom_Header h;
    std::vector<Partition_Header> parts;
    ASSERT_EQ(read(pack, &h, &parts), 0);
    EXPECT_EQ(parts[0].partition_offset, 4000u);
    EXPECT_EQ(parts[1].partition_offset, 400u);
    EXPECT_EQ(parts[2].partition_offset, 406u);
    EXPECT_EQ(pack.size(), 5000u);
}

TEST_F(PackMaker, ChecksumRepairsLetLaterDamageShow)
{
    std::vector<uint8_t> pack = rompack::make_pack(recipe(128, 77));
    Rom_Header h;
    std::vector<Partition_Header> parts;

    std::vector<uint8_t> field = pack;
    field[30] ^= 1; // a scrambled byte
    EXPECT_EQ(read(field, &h, &parts), UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
    rompack::fix_rom_header_checksum(field);
    parts.clear();
    EXPECT_EQ(read(field, &h, &parts), 0);

    std::vector<uint8_t> payload = pack;
    payload[300] ^= 0x40;
    parts.clear();
    EXPECT_EQ(read(payload, &h, &parts), UPD_MSG_ROM_CHECKSUM_ERR);
    rompack::fix_rom_checksum(payload);
    parts.clear();
    EXPECT_EQ(read(payload, &h, &parts), UPD_MSG_PART_CHECKSUM_ERR);
}

TEST(PackMakerText, ParsesVersionsStrictly)
{
    uint32_t v = 0;
    EXPECT_TRUE(rompack::parse_version("2.143.6.200", &v));
    EXPECT_EQ(v, 0x028F06C8u);
    EXPECT_TRUE(rompack::parse_version("255.0.0.255", &v));
    EXPECT_EQ(v, 0xFF0000FFu);
    for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4 ", " 1.2.3.4",
                            "-1.2.3.4", "1.2.3.x", "0001.2.3.4"})
        EXPECT_FALSE(rompack::parse_version(bad, &v)) << bad;
}

TEST(PackMakerText, GeneratesPayloads)
{
    std::vector<uint8_t> a, b;
    ASSERT_TRUE(rompack::generate_payload(300, "counter", &a));
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(a[299], 299 & 255);
    ASSERT_TRUE(rompack::generate_payload(3, "ff", &a));
    EXPECT_EQ(a, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(rompack::generate_payload(64, "random:1", &a));
    ASSERT_TRUE(rompack::generate_payload(64, "random:1", &b));
    EXPECT_EQ(a, b);
    ASSERT_TRUE(rompack::generate_payload(64, "random:2", &b));
    EXPECT_NE(a, b);
    EXPECT_FALSE(rompack::generate_payload(4, "random:", &a));
    EXPECT_FALSE(rompack::generate_payload(4, "ones", &a));
}

} // namespace
