// Packs are built with the pack maker; the device is a platform root of real
// files (boot environment, version files, hardware version, MTD devices as
// plain files, the shell tools in tmp/bin).
#include "upgrader/rompack.h"

#include "isolation.h"
#include "rompack/packmaker.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

uint32_t ver(const char *text)
{
    uint32_t v = 0;
    EXPECT_TRUE(rompack::parse_version(text, &v)) << text;
    return v;
}

void put32(Bytes &p, size_t off, uint32_t v)
{
    memcpy(&p[off], &v, 4);
}

std::string read_file(const std::string &path)
{
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// What the code under test logged since the last look.
struct Logs {
    std::vector<testsupport::LogLine> lines = testsupport::syslog_capture().take();
    // Index of the first line containing text (at level, if given), or -1.
    int find(const std::string &text, int level = -1) const
    {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].text.find(text) != std::string::npos &&
                (level < 0 || lines[i].level() == level))
                return static_cast<int>(i);
        return -1;
    }
    bool has(const std::string &text, int level = -1) const { return find(text, level) >= 0; }
    int count(const std::string &text) const
    {
        int n = 0;
        for (const auto &l : lines)
            n += l.text.find(text) != std::string::npos;
        return n;
    }
    // Boot environment writes ("NAME VALUE"), in order.
    std::vector<std::string> env_writes() const
    {
        std::vector<std::string> out;
        for (const auto &l : lines) {
            size_t at = l.text.find("shellcmd:echo \"");
            if (at != std::string::npos)
                out.push_back(l.text.substr(at + 15, l.text.find('"', at + 15) - at - 15));
        }
        return out;
    }
};

std::string text_of(int code)
{
    return std::string(": ") + upd_msg_name(code) + "\n";
}

rompack::PartitionSpec part(uint32_t id, uint32_t type, const char *version,
                            Bytes payload = Bytes(8, 7))
{
    rompack::PartitionSpec p;
    p.id = id;
    p.type = type;
    p.version = ver(version);
    p.payload = std::move(payload);
    return p;
}

rompack::PackSpec base_pack(uint32_t header_size = 128, int flash_parts = 0)
{
    rompack::PackSpec s;
    s.device_id = 59;
    s.version = ver("2.100.6.5");
    s.match_id[5] = 2; // the device's variant
    s.scramble_key = 17;
    s.header_size = header_size;
    for (int i = 0; i < flash_parts; ++i)
        s.partitions.push_back(part(2, 0, "9.9.9.9"));
    return s;
}

const char kEnvHead[] = "MID_VERSION 0\nSW_OEM 0\nSW_protect 0\nMtd2Version 1.0.0.1\n";

class RompackCheck : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *dir : {"/proc", "/proc/avalanche", "/proc/ver", "/proc/misc", "/app",
                                "/basic", "/tmp", "/tmp/bin", "/dev", "/config"})
            ASSERT_EQ(mkdir((root / dir).c_str(), 0755), 0) << dir;
        for (std::string tool : {"cat", "touch", "chmod"}) {
            write_file(root / ("/tmp/bin/" + tool), read_file("/bin/" + tool));
            ASSERT_EQ(chmod((root / ("/tmp/bin/" + tool)).c_str(), 0755), 0);
        }
        for (int i = 0; i < 10; ++i)
            write_file(root / ("/dev/mtd" + std::to_string(i)), "");
        set_env(kEnvHead);
        set_hw("59.1.0.1.2.0.0.0");
        set_rom_version("2.100.6.0");
        write_file(root / "/basic/version.conf", "[Version]\nMtd5Version=5.0.0.1\n");
        write_file(root / "/version.conf", "[Version]\nMtd0Version=0.0.0.1\n");
        write_file(root / "/proc/ver/software", "1.2.3.4,build\n");
        mtd_config = 0;
        upgrader_tool_version = 0;
    }
    // head goes before the mtd lines (the first of two equal names wins).
    void set_env(const std::string &head, bool with_mtd = true)
    {
        env = head;
        for (unsigned i = 0; i < 10 && with_mtd; ++i) {
            char line[64];
            snprintf(line, sizeof(line), "mtd%u 0x%x,0x%x\n", i, 0x90000000u + (i << 20),
                     0x90010000u + (i << 20));
            env += line;
        }
    }
    void set_hw(const std::string &hw) { write_file(root / "/proc/misc/hwver", hw + "\n"); }
    void set_rom_version(const char *v)
    {
        write_file(root / "/app/version.conf", std::string("[Version]\nMtd6Version=2.100.6.0\n") +
                                                   (v ? std::string("RomVersion=") + v : ""));
    }
    // The check writes the boot environment; every run starts from env.
    int check(const Bytes &pack)
    {
        write_file(root / "/proc/avalanche/env", env);
        std::fill(std::begin(flags), std::end(flags), -1);
        testsupport::syslog_capture().take();
        return upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, flags);
    }
    int check(const rompack::PackSpec &s) { return check(rompack::make_pack(s)); }

    testsupport::ScopedRoot root;
    std::string env;
    env_info table[ENV_TABLE_SIZE];
    Rom_Header header;
    Partition_Header parts[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
};

} // namespace

TEST(RompackMessages, TextsNamesAndVersionText)
{
    // -83 shares the text of -84; the OEM codes and the outcomes 0, 2, 11 have none.
    for (int code : {-83, -78, -74, -1, 0, 2, 11}) {
        update_msg_printf(code);
        EXPECT_EQ(Logs().lines.size(), code == -83 ? 1u : 0u) << code;
    }
    update_msg_printf(-83);
    EXPECT_TRUE(Logs().has(": UPD_MSG_MTD_ADDR_ERR\n", 3));
    EXPECT_STREQ(upd_msg_name(-83), "UPD_MSG_MTD_OPEN_ERR");
    EXPECT_STREQ(upd_msg_name(-101), "UPD_MSG_UNKNOWN");
    char text[16];
    rompack_version_text(0xFF02A4C8u, text, sizeof(text));
    EXPECT_STREQ(text, "255.2.164.200");
}

TEST(RompackReadRomHeader, UnscramblesWhateverTheKey)
{
    // 148: the largest region (12..123). It takes in the copies at 108..119,
    // which the clear words overwrite, so only an unrotated region survives;
    // 112 is a multiple of its length, not of 92.
    const struct {
        uint32_t size;
        int key;
    } cases[] = {{128, 0}, {128, 1}, {128, 91}, {128, 92}, {128, 184}, {128, 255}, {148, 112}};
    for (const auto &c : cases) {
        rompack::PackSpec s = base_pack(c.size, 1);
        s.scramble_key = static_cast<uint8_t>(c.key);
        s.rom_type = 0x11223344;
        s.oem_id = 7;
        s.mid_version = 1;
        s.sw_protect = 1;
        for (int i = 0; i < 16; ++i)
            s.match_id[i] = static_cast<uint8_t>(i * 3);
        Bytes pack = rompack::make_pack(s);
        Rom_Header h;
        ASSERT_EQ(rompack_read_rom_header(pack.data(), pack.size(), &h), 0);
        EXPECT_EQ(h.rom_type, 0x11223344u) << c.key;
        EXPECT_EQ(h.device_id, 59u);
        EXPECT_EQ(h.oem_id, 7u);
        EXPECT_EQ(h.rom_version, s.version);
        EXPECT_EQ(0, memcmp(h.match_id, s.match_id, 16)) << c.key;
        EXPECT_EQ(h.mid_version + h.sw_protect, 2u);
        EXPECT_EQ(h.rom_size, pack.size() - 12 - c.size);
        // The copies hold the unscrambled bytes of the clear words.
        EXPECT_EQ(h.partition_num_copy, 1u);
        EXPECT_EQ(h.rom_size_copy, h.rom_size);
        EXPECT_EQ(h.rom_checksum_copy, h.rom_checksum);
    }
    EXPECT_TRUE(Logs().has("device_id: 3b\n", 7));
}

// Each row changes a good pack (one 8-byte partition; 192 bytes in the
// current layout) and names the line that must come before the refusal.
TEST(RompackReadRomHeader, ValidationAndWhatLiesOutsideThePack)
{
    auto set = [](size_t off, uint32_t v) {
        return [=](Bytes &p) { put32(p, off, v), rompack::fix_rom_header_checksum(p); };
    };
    auto flip = [](size_t off) { return [=](Bytes &p) { p[off] ^= 1; }; };
    auto body = [](uint32_t size, uint32_t sum) {
        return [=](Bytes &p) {
            put32(p, 36, size), put32(p, 40, sum), rompack::fix_rom_header_checksum(p);
        };
    };
    auto none = [](Bytes &) {};
    const struct {
        uint32_t header_size;
        int parts;
        std::function<void(Bytes &)> change;
        size_t len; // 0: the whole pack
        int code;
        const char *before; // logged before the code's text
    } cases[] = {
        {128, 1, [](Bytes &p) { put32(p, 0, PART_MAGIC); }, 0, -100, "rom--------:0x52504154"},
        {128, 1, set(104, 0), 0, -99, "magic_num: 52524f4d\n"},
        {128, 1, flip(137), 0, -98, "len:21\n"}, // 33 words, the last one at 136
        {128, 1, flip(191), 0, -97, "last dat:"},
        {128, 16, none, 0, 0, ""},
        {128, 17, none, 0, -79, "partition_num: 11\n"},
        {127, 1, flip(136), 0, 0, "invalid rom header size 127.\n"}, // past the 32 words
        {127, 1, flip(132), 0, -98, "len:20\n"},
        {128, 0, none, 0, 0, "\npdat:"}, // rom_size 0
        {128, 1, body(3, 0), 0, 0, ""},
        {128, 1, body(3, 1), 0, -97, ""},
        {128, 1, none, 3, -100, "rom magic (offset"},
        {128, 1, none, 139, -100, "rom header record (offset"},
        {128, 1, set(4, 0xFFFFFFF0u), 0, -100, "rom header (offset"},
        {128, 1, set(4, 149), 0, -99, "would reach the scramble key"},
        {128, 1, set(4, 164), 0, -99, "would reach the scramble key"},
        {128, 1, none, 191, -97, "rom body (offset"},
        {128, 1, set(36, 0xFFFFFFFCu), 0, -97, "rom body (offset"},
    };
    for (const auto &c : cases) {
        Bytes pack = rompack::make_pack(base_pack(c.header_size, c.parts));
        c.change(pack);
        pack.resize(c.len ? c.len : pack.size()); // exactly what is passed, for ASan
        Rom_Header h;
        int code = rompack_read_rom_header(pack.data(), pack.size(), &h);
        const std::string what = std::to_string(&c - cases);
        EXPECT_EQ(code, c.code) << what;
        Logs logs;
        EXPECT_TRUE(logs.has(c.before)) << what;
        if (c.code != 0) {
            EXPECT_EQ(logs.count(text_of(c.code)), 1) << what;
            EXPECT_LT(logs.find(c.before), logs.find(text_of(c.code))) << what;
        }
    }
}

TEST(RompackReadPartition, ChainChecksumsAndWhatLiesOutsideThePack)
{
    // Older layout: headers at odd offsets (139, 191), words read unaligned.
    // The first header is 52 bytes long; its payload 6 bytes at 235.
    rompack::PackSpec s = base_pack(127);
    s.partitions = {part(2, 0, "1.0.0.2", Bytes{1, 2, 3, 4, 5, 6}), part(3, 0, "1.0.0.3")};
    s.partitions[0].header_size = 40;
    const Bytes good = rompack::make_pack(s);
    const struct {
        std::function<void(Bytes &)> change;
        size_t len;
        int code;
        const char *before;
    } cases[] = {
        {[](Bytes &) {}, 0, 0, "partition_size: 6\n"},
        {[](Bytes &p) { p[235 + 5] ^= 1; }, 0, 0, ""}, // the last two bytes are not covered
        {[](Bytes &p) { p[235] ^= 1; }, 0, -91, "partition_checksum_cal:"},
        {[](Bytes &p) { p[139 + 48] ^= 1; }, 0, -92, ""}, // the 11th checksummed word
        {[](Bytes &p) { p[139 + 1] ^= 1; }, 0, -93, "ppartition_addr:"},
        {[](Bytes &) {}, 182, -93, "partition header record (offset"},
        {[](Bytes &p) { put32(p, 139 + 4, 0xFFFFFFF0u); }, 0, -93, "partition header (offset"},
        {[](Bytes &) {}, 240, -91, "partition payload (offset 0xeb, 0x6 bytes)"}, // uncovered byte
        // Offset 0xff0000eb; the same flip in the checksum word keeps the XOR.
        {[](Bytes &p) { p[139 + 43] ^= 0xFF, p[139 + 11] ^= 0xFF; }, 0, -91, "payload (offset"},
    };
    for (const auto &c : cases) {
        Bytes pack = good;
        c.change(pack);
        pack.resize(c.len ? c.len : pack.size());
        uint64_t off = 139;
        Partition_Header p;
        const std::string what = std::to_string(&c - cases);
        int code = rompack_read_partition_header(pack.data(), pack.size(), &off, &p);
        if (code == 0)
            code = rompack_read_partition_header(pack.data(), pack.size(), &off, &p);
        EXPECT_EQ(code, c.code) << what;
        Logs logs;
        EXPECT_TRUE(logs.has(c.before)) << what;
        EXPECT_LT(logs.find(c.before), c.code ? logs.find(text_of(c.code)) : 1 << 30) << what;
        if (c.code == 0) {
            EXPECT_EQ(off, 139u + 52 + 44);
            EXPECT_EQ(p.partition_version, ver("1.0.0.3"));
        }
    }
}

TEST_F(RompackCheck, AcceptsAndFlagsByVersion)
{
    rompack::PackSpec s = base_pack();
    s.partitions = {part(2, 0, "1.0.0.1"), part(6, 0, "2.100.6.5"), part(3, 0, "1.0.0.1")};
    ASSERT_EQ(check(s), 0);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{0, 1, 1, -1}));
    EXPECT_EQ(parts[1].partition_id, 6u);
    Logs logs;
    EXPECT_EQ(logs.count(text_of(1)), 1); // installed Mtd2Version is the same
    EXPECT_TRUE(logs.has("mtdn_version:2.100.6.0 version:2.100.6.5\n"));
    EXPECT_TRUE(logs.has("Mtd3Version env isnot exist!\n", 6));
    EXPECT_TRUE(logs.has("headers size:0x110\n"));
    EXPECT_EQ(logs.env_writes(), std::vector<std::string>{"SW_OEM 0"}); // case e
    unsigned int i = 0;
    ASSERT_EQ(get_mtd_info(table, "Mtd1Version", &i), 0);
    EXPECT_STREQ(table[i].value, "1.2.3.4");
}

TEST_F(RompackCheck, ForceFlagsAndSameVersion)
{
    rompack::PackSpec s = base_pack();
    s.version = ver("2.100.6.0"); // the installed RomVersion
    s.partitions = {part(2, 0, "1.0.0.1"), part(3, 0, "1.0.0.1"), part(255, 3, "1.0.0.1", {'c'})};
    s.partitions[1].process_type = 1;
    EXPECT_EQ(check(s), -86); // after every partition was examined and extracted
    EXPECT_EQ(std::vector<int>(flags, flags + 3), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(read_file(root / "/config/config_modify"), "c");
    Logs logs;
    EXPECT_TRUE(logs.has("mtd3 force upgrade!\n"));
    EXPECT_EQ(logs.count(text_of(-86)), 1);

    s.process_type = 1;
    EXPECT_EQ(check(s), 0);
    EXPECT_EQ(flags[0], 1);
    logs = Logs();
    EXPECT_TRUE(logs.has("rom force upgrade!\n") && logs.has("rom force upgrader!\n"));

    s.process_type = 0;
    set_rom_version(nullptr);
    EXPECT_EQ(check(s), 0);
    EXPECT_TRUE(Logs().has("RomVersion env isnot exist!\n"));
}

TEST_F(RompackCheck, StepOrderDeviceFailuresAndVariant)
{
    Bytes pack = rompack::make_pack(base_pack());
    EXPECT_EQ(upgrader_rompack_check(nullptr, 0, table, &header, parts, flags), -1);
    EXPECT_EQ(upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, nullptr), -1);
    EXPECT_TRUE(Logs().lines.empty());

    memset(table, 0x11, sizeof(table));
    Bytes bad = pack;
    put32(bad, 0, PART_MAGIC);
    EXPECT_EQ(check(bad), -100);
    EXPECT_EQ(table[0].name[0], 0x11); // cleared only once the magic is right

    set_hw("59.1.0.1.2.0.0");
    EXPECT_EQ(check(pack), -87);
    EXPECT_EQ(table[0].name[0], 0);
    EXPECT_EQ(Logs().count(text_of(-87)), 1);

    set_hw("59.1.0.1.2.0.0.0");
    write_file(root / "/proc/ver/software", "1.2.3.4\n");
    EXPECT_EQ(check(pack), -88);
    EXPECT_EQ(Logs().count(text_of(-88)), 1);
    write_file(root / "/proc/ver/software", "1.2.3.4,build\n");

    // The variant is matched after the environment was written.
    rompack::PackSpec s = base_pack();
    memset(s.match_id, 0, sizeof(s.match_id));
    s.mid_version = 1;
    s.oem_id = 7;
    set_hw("59.1.0.1.0.0.0.0");
    EXPECT_EQ(check(s), 0);
    set_hw("59.1.0.1.3.0.0.0");
    EXPECT_EQ(check(s), -94);
    Logs logs;
    EXPECT_TRUE(logs.has(": match_id:3\n", 3));
    EXPECT_EQ(logs.env_writes().size(), 3u);
}

TEST_F(RompackCheck, HardwareMinimumVersionAndModel)
{
    // The minimum version by hardware, with the examples on either side.
    const struct {
        const char *hw, *version;
        int code;
    } minimum[] = {
        {"59.0.0.1.0.0.0.0", "2.143.6.199", -74},  {"59.0.0.1.0.0.0.0", "2.143.6.200", 0},
        {"59.0.0.1.0.0.0.0", "2.100.6.0", 0},      {"59.0.0.1.0.0.0.0", "2.100.5.255", -74},
        {"59.0.0.17.0.0.0.0", "2.164.6.199", -74}, {"59.0.0.2.0.0.0.0", "2.100.1.0", 0},
        {"53.0.0.0.0.0.0.1", "2.164.7.255", -74},  {"52.0.0.0.0.0.0.1", "2.143.8.0", 0},
        {"59.0.0.0.0.0.0.1", "2.100.5.199", -74},  {"59.0.0.0.0.0.0.1", "2.100.5.200", 0},
        {"55.0.0.0.0.0.0.1", "2.145.5.255", -74},  {"55.0.0.0.0.0.0.1", "2.145.6.0", 0},
        {"55.0.0.0.0.0.0.1", "2.100.6.99", -74},   {"55.0.0.0.0.0.0.1", "2.100.6.100", 0},
        {"60.0.0.1.0.0.0.1", "0.0.0.0", 0}};
    // Model pairs: the pack's device against the hardware's.
    const struct {
        const char *hw;
        uint32_t device;
        int code;
        const char *log;
    } models[] = {{"1.0.0.0.0.0.0.0", 53, 0, ": hardware_version is 1\n"},
                  {"53.0.0.0.0.0.0.0", 1, 0, ": hardware_version is 1\n"},
                  {"52.0.0.0.0.0.0.0", 55, 0, ": Upgrade Kite rom on Wren device."},
                  {"55.0.0.0.0.0.0.0", 52, -95, "hardware_version:37 prom_header->device_id:34\n"},
                  {"59.0.0.1.0.0.0.0", 53, -95, "hardware_version:3b prom_header->device_id:35\n"}};
    set_rom_version(nullptr);
    auto run = [&](const char *hw, uint32_t device, const char *version, int code,
                   const char *log) {
        set_hw(hw);
        rompack::PackSpec s = base_pack();
        s.device_id = device;
        s.version = ver(version);
        EXPECT_EQ(check(s), code) << hw << " " << version;
        unsigned int i;
        EXPECT_EQ(get_mtd_info(table, "SW_OEM", &i), code == -74 ? -1 : 0); // env read after
        EXPECT_TRUE(Logs().has(log, *log ? 3 : -1)) << hw;
    };
    for (const auto &c : minimum)
        run(c.hw, static_cast<uint32_t>(atoi(c.hw)), c.version, c.code, "");
    for (const auto &c : models)
        run(c.hw, c.device, c.code ? "2.100.6.0" : "0.0.0.0", c.code, c.log);
}

TEST_F(RompackCheck, OemProtectAndMidVersionRules)
{
    const struct {
        const char *name;
        int m, p, o;
        uint32_t h_mid, h_oem, h_prot, header_size;
        int code;
        std::vector<std::string> writes;
    } cases[] = {
        {"a same oem", 1, 0, 5, 1, 5, 0, 128, 0, {}},
        {"a other oem", 1, 0, 5, 1, 6, 0, 128, -78, {}},
        {"b no oem yet", 0, 0, 0, 1, 7, 0, 128, 0, {"SW_protect 1", "SW_OEM 7", "MID_VERSION 1"}},
        {"b same oem", 0, 0, 7, 1, 7, 0, 128, 0, {"SW_protect 1", "SW_OEM 7", "MID_VERSION 1"}},
        {"c", 0, 0, 5, 1, 7, 0, 128, -75, {}},
        {"d", 0, 0, 5, 0, 5, 1, 128, -75, {}},
        {"e", 1, 0, 5, 0, 9, 0, 128, 0, {"SW_OEM 9", "MID_VERSION 0"}},
        {"f", 0, 1, 5, 0, 6, 1, 128, -76, {}},
        {"g", 0, 1, 5, 1, 5, 0, 128, 0, {"SW_protect 0", "MID_VERSION 1"}},
        {"h", 0, 1, 5, 0, 5, 0, 128, -76, {}},
        {"i", 0, 1, 5, 0, 5, 1, 128, 0, {}},
        {"older, protected", 0, 1, 5, 0, 6, 0, 127, -77, {}},
        {"older, protect 2", 0, 2, 5, 1, 6, 1, 127, 0, {"MID_VERSION 1"}},
    };
    for (const auto &c : cases) {
        set_env("MID_VERSION " + std::to_string(c.m) + "\nSW_OEM " + std::to_string(c.o) +
                "\nSW_protect " + std::to_string(c.p) + "\n");
        rompack::PackSpec s = base_pack(c.header_size);
        s.mid_version = c.h_mid;
        s.oem_id = c.h_oem;
        s.sw_protect = c.h_prot;
        s.partitions = {part(255, 7, "1.0.0.0")}; // a 139-byte pack would be too short
        EXPECT_EQ(check(s), c.code) << c.name;
        EXPECT_EQ(Logs().env_writes(), c.writes) << c.name;
    }
}

TEST_F(RompackCheck, FlashPartitionRefusals)
{
    const struct {
        const char *env_head;
        uint32_t id, type;
        int code;
        const char *log;
    } cases[] = {
        {"mtd5 0x100000,0x100010\n", 5, 0, 0, "mtd5 start_addr:100000 end_addr:100010\n"},
        {"mtd5 0x100000,0x10000f\n", 5, 0, -84, "UPD_MSG_MTD_ADDR_ERR\n"},
        {"mtd5 0x100010,0x100010\n", 5, 0, -84, "UPD_MSG_MTD_ADDR_ERR\n"},
        {"", 7, 0, -83, "/dev/mtd7 open failed!\n"},
        {"", 10, 0, -90, "UPD_MSG_PARTITION_ID_ERROR\n"},
        {"", 254, 0, -90, "UPD_MSG_PARTITION_ID_ERROR\n"},
        {"", 3, 1, -89, "UPD_MSG_PARTITION_TYPE_ERROR\n"},
        {kEnvHead, 4, 0, -85, "mtd4 isnot exist!\n"},
    };
    ASSERT_EQ(unlink((root / "/dev/mtd7").c_str()), 0);
    for (const auto &c : cases) {
        set_env(c.env_head, c.code != -85);
        rompack::PackSpec s = base_pack();
        s.partitions = {part(c.id, c.type, "9.9.9.9", Bytes(16, 3)), part(2, 0, "9.9.9.9")};
        EXPECT_EQ(check(s), c.code) << c.id;
        EXPECT_EQ(flags[1], c.code == 0 ? 1 : -1); // a refusal leaves later partitions alone
        Logs logs;
        EXPECT_TRUE(logs.has(c.log)) << c.id;
        // -83 shares the text of -84.
        EXPECT_EQ(logs.count(text_of(c.code == -83 ? -84 : c.code)), c.code ? 1 : 0) << c.id;
    }
}

TEST_F(RompackCheck, PartitionKindsAndTheUpgraderEndingTheCheck)
{
    write_file(root / "/config/config_modify", std::string(100, 'x')); // stale and longer
    rompack::PackSpec s = base_pack();
    s.partitions = {part(255, 2, "1.0.0.0", {'m', 't', 'd'}), part(300, 3, "1.0.0.0", {'n', 'e'}),
                    part(255, 7, "1.0.0.0"), part(255, 1, "3.0.0.1", {'#', '!'}),
                    part(2, 0, "9.9.9.9")};
    EXPECT_EQ(check(s), 11);
    EXPECT_EQ(std::vector<int>(flags, flags + 5), (std::vector<int>{0, 0, 0, 0, -1}));
    EXPECT_EQ(mtd_config, 1);
    EXPECT_EQ(read_file(root / "/tmp/mtd.conf"), "mtd");
    EXPECT_EQ(read_file(root / "/config/config_modify"), "ne");
    EXPECT_EQ(upgrader_tool_version, ver("3.0.0.1"));
    EXPECT_EQ(read_file(root / "/tmp/upgrader_tool"), "#!");
    Logs logs;
    EXPECT_TRUE(logs.has("MTD CONFIG ppartition_addr->partition_type:2\n", 6));
    EXPECT_TRUE(logs.has("CONFIG MODIFY ppartition_addr->partition_type:3\n", 6));
    EXPECT_TRUE(logs.has(": ppartition_addr->partition_type:1\n", 6));
    EXPECT_FALSE(logs.has("rom_upgrade_check start\n"));

    // An upgrader already extracted is neither written again nor the end.
    write_file(root / "/tmp/upgrader_tool", "old");
    EXPECT_EQ(check(s), 0);
    EXPECT_EQ(flags[3], 0);
    EXPECT_EQ(flags[4], 1);
    EXPECT_EQ(read_file(root / "/tmp/upgrader_tool"), "old");
}

// A payload that cannot be stored whole takes the failure outcome: no layout
// to apply, no cut upgrader left behind for the sequence to start.
TEST_F(RompackCheck, PayloadFilesThatCannotBeWrittenWhole)
{
    rompack::PackSpec s = base_pack();
    s.partitions = {part(255, 2, "1.0.0.0", Bytes(4096, 'L')),
                    part(255, 1, "1.0.0.0", Bytes(4096, 'U'))};
    rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 1024;
    void (*old)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int code = check(s);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);
    EXPECT_EQ(code, 0); // the upgrader gave code 2 and the check went on
    EXPECT_EQ(mtd_config, 0);
    EXPECT_NE(access((root / "/tmp/upgrader_tool").c_str(), F_OK), 0);
    EXPECT_EQ(Logs().count("write failed: 1024 of 4096 bytes stored"), 2);
}

// With an empty body the partition steps themselves must notice a cut pack.
TEST_F(RompackCheck, CutPacksAreRefusedAtTheStepWhoseDataIsMissing)
{
    Bytes pack = rompack::make_pack(base_pack(128, 1)); // header at 140, payload 184..191
    put32(pack, 36, 0);
    put32(pack, 40, 0);
    rompack::fix_rom_header_checksum(pack);
    const std::pair<int, int> cases[] = {{100, -100}, {180, -93}, {190, -91}, {192, 0}};
    for (auto c : cases)
        EXPECT_EQ(check(Bytes(pack.begin(), pack.begin() + c.first)), c.second) << c.first;
}
