// The pack check against a platform root of real files (boot environment,
// version files, hardware version, MTD devices as plain files, the shell
// tools in tmp/bin). Its rules are rows of tests/data/rompack_check.rows:
// a change to the device, a pack recipe with changes to its bytes, and the
// expected code, boot environment writes and write flags.
#include "upgrader/rompack.h"

#include "files.h"
#include "isolation.h"
#include "rompack/packmaker.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using testsupport::put;
using testsupport::slurp;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

uint32_t ver(const std::string &text)
{
    uint32_t v = 0;
    EXPECT_TRUE(rompack::parse_version(text, &v)) << text;
    return v;
}

uint32_t num(const std::string &text)
{
    return uint32_t(strtoul(text.c_str(), nullptr, 0));
}

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; std::getline(in, word, by);)
        if (!word.empty())
            out.push_back(word);
    return out;
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

// "part=ID:TYPE:VERSION[:SIZE[:FORCE[:HEADER_SIZE]]]"; the payload's bytes
// count up from 1.
rompack::PartitionSpec part_of(const std::string &text)
{
    std::vector<std::string> f = split(text, ':');
    Bytes payload(f.size() > 3 ? num(f[3]) : 8);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i + 1);
    rompack::PartitionSpec p = part(num(f[0]), num(f[1]), f[2].c_str(), payload);
    p.process_type = f.size() > 4 ? num(f[4]) : 0;
    p.header_size = f.size() > 5 ? num(f[5]) : 32;
    return p;
}

void put32(Bytes &p, size_t off, uint32_t v)
{
    memcpy(&p[off], &v, 4);
}

// The recipe's fields, then its changes to the made pack's bytes, in order.
Bytes make(const std::string &recipe)
{
    rompack::PackSpec s;
    s.device_id = 59;
    s.version = ver("2.100.6.5");
    s.match_id[5] = 2; // the device's variant
    s.scramble_key = 17;
    std::vector<std::pair<std::string, std::string>> changes;
    for (const std::string &token : split(recipe, ' ')) {
        size_t eq = token.find('=');
        std::string k = token.substr(0, eq),
                    v = eq == std::string::npos ? "" : token.substr(eq + 1);
        if (k == "dev")
            s.device_id = num(v);
        else if (k == "ver")
            s.version = ver(v);
        else if (k == "oem")
            s.oem_id = num(v);
        else if (k == "mid")
            s.mid_version = num(v);
        else if (k == "protect")
            s.sw_protect = num(v);
        else if (k == "force")
            s.process_type = num(v);
        else if (k == "hsize")
            s.header_size = num(v);
        else if (k == "key")
            s.scramble_key = uint8_t(num(v));
        else if (k == "nomatch")
            memset(s.match_id, 0, sizeof(s.match_id));
        else if (k == "parts")
            s.partitions.assign(num(v), part(2, 0, "9.9.9.9"));
        else if (k == "part")
            s.partitions.push_back(part_of(v));
        else
            changes.push_back({k, v});
    }
    Bytes p = rompack::make_pack(s);
    for (const auto &[k, v] : changes) {
        std::vector<std::string> a = split(v, ':');
        if (k == "flip") // flip=OFFSET[:MASK]
            p[num(a[0])] ^= uint8_t(a.size() > 1 ? num(a[1]) : 1);
        else if (k == "raw") // raw=OFFSET:WORD, checksums left as they are
            put32(p, num(a[0]), num(a[1]));
        else if (k == "set") // set=OFFSET:WORD, header checksum made right
            put32(p, num(a[0]), num(a[1])), rompack::fix_rom_header_checksum(p);
        else if (k == "body") // body=SIZE:CHECKSUM
            put32(p, 36, num(a[0])), put32(p, 40, num(a[1])), rompack::fix_rom_header_checksum(p);
        else if (k == "cut")
            p.resize(num(v)); // exactly what is passed, for ASan
        else
            ADD_FAILURE() << "unknown change " << k;
    }
    return p;
}

const char kEnvHead[] = "MID_VERSION 0\nSW_OEM 0\nSW_protect 0\nMtd2Version 1.0.0.1\n";

class RompackCheck : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *dir : {"/proc", "/proc/avalanche", "/proc/ver", "/proc/misc", "/app",
                                "/basic", "/tmp", "/tmp/bin", "/dev", "/config"})
            ASSERT_EQ(mkdir(at(dir).c_str(), 0755), 0) << dir;
        for (std::string tool : {"cat", "touch", "chmod"}) {
            put(at("/tmp/bin/" + tool), slurp("/bin/" + tool));
            ASSERT_EQ(chmod(at("/tmp/bin/" + tool).c_str(), 0755), 0);
        }
        for (int i = 0; i < 10; ++i)
            put(at("/dev/mtd" + std::to_string(i)), "");
        set_env(kEnvHead, true);
        put(at("/proc/misc/hwver"), "59.1.0.1.2.0.0.0\n");
        set_rom_version("2.100.6.0");
        put(at("/basic/version.conf"), "[Version]\nMtd5Version=5.0.0.1\n");
        put(at("/version.conf"), "[Version]\nMtd0Version=0.0.0.1\n");
        put(at("/proc/ver/software"), "1.2.3.4,build\n");
        mtd_config = 0;
        upgrader_tool_version = 0;
    }
    std::string at(const std::string &path) const { return *root / path; }
    // head goes before the mtd lines (the first of two equal names wins).
    void set_env(const std::string &head, bool with_mtd)
    {
        env = head;
        for (unsigned i = 0; i < 10 && with_mtd; ++i) {
            char line[64];
            snprintf(line, sizeof(line), "mtd%u 0x%x,0x%x\n", i, 0x90000000u + (i << 20),
                     0x90010000u + (i << 20));
            env += line;
        }
    }
    void set_rom_version(const std::string &v)
    {
        put(at("/app/version.conf"),
            "[Version]\nMtd6Version=2.100.6.0\n" + (v.empty() ? "" : "RomVersion=" + v));
    }
    // "hw=", "env=" (the lines before the mtd lines), "nomtd", "rom=" (none
    // when empty), "software=", "rm=PATH"; separated by ';'.
    void change_device(const std::string &changes)
    {
        std::string head = kEnvHead;
        bool with_mtd = true;
        for (const std::string &c : split(changes, ';')) {
            std::string t = c.substr(c.find_first_not_of(' '));
            std::string k = t.substr(0, t.find('=')), v = t.substr(t.find('=') + 1);
            if (k == "hw")
                put(at("/proc/misc/hwver"), v + "\n");
            else if (k == "env")
                head = v;
            else if (k == "nomtd")
                with_mtd = false;
            else if (k == "rom")
                set_rom_version(v);
            else if (k == "software")
                put(at("/proc/ver/software"), v);
            else if (k == "rm")
                ASSERT_EQ(unlink(at(v).c_str()), 0);
            else
                ADD_FAILURE() << "unknown device change " << k;
        }
        set_env(head, with_mtd);
    }
    // The check writes the boot environment; every run starts from env.
    int check(const Bytes &pack)
    {
        put(at("/proc/avalanche/env"), env);
        std::fill(std::begin(flags), std::end(flags), -1);
        testsupport::syslog_capture().take();
        return upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, flags);
    }
    // Boot environment writes since the last check, "NAME VALUE" joined by '/'.
    static std::string env_writes()
    {
        std::string out;
        for (const auto &l : testsupport::syslog_capture().take()) {
            size_t at = l.text.find("shellcmd:echo \"");
            if (at != std::string::npos)
                out += (out.empty() ? "" : "/") +
                       l.text.substr(at + 15, l.text.find('"', at + 15) - at - 15);
        }
        return out.empty() ? "-" : out;
    }

    std::unique_ptr<testsupport::ScopedRoot> root = std::make_unique<testsupport::ScopedRoot>();
    std::string env;
    env_info table[ENV_TABLE_SIZE];
    Rom_Header header;
    Partition_Header parts[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
};

} // namespace

// Rows: name | device changes | pack recipe | code | env writes | flags
// (blank: not compared; '*' a flag not compared).
TEST_F(RompackCheck, Rules)
{
    auto rows = testsupport::rows(TEST_DATA_DIR "/rompack_check.rows");
    ASSERT_GT(rows.size(), 50u);
    for (const testsupport::Row &r : rows) {
        SCOPED_TRACE(r[0]);
        ASSERT_EQ(r.size(), 6u);
        root.reset(); // a fresh device for every row
        root = std::make_unique<testsupport::ScopedRoot>();
        SetUp();
        change_device(r[1]);
        EXPECT_EQ(check(make(r[2])), std::stoi(r[3]));
        std::string writes = env_writes();
        if (!r[4].empty()) {
            EXPECT_EQ(writes, r[4]);
        }
        std::vector<std::string> want = split(r[5], ' ');
        for (size_t i = 0; i < want.size(); ++i)
            if (want[i] != "*") {
                EXPECT_EQ(flags[i], std::stoi(want[i])) << "flag " << i;
            }
    }
}

TEST_F(RompackCheck, MissingArgumentsAreRefused)
{
    Bytes pack = make("");
    EXPECT_EQ(upgrader_rompack_check(nullptr, 0, table, &header, parts, flags), -1);
    EXPECT_EQ(upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, nullptr), -1);
}

TEST_F(RompackCheck, PartitionKindsAndTheUpgraderEndingTheCheck)
{
    put(at("/config/config_modify"), std::string(100, 'x')); // stale and longer
    rompack::PackSpec s;
    s.device_id = 59;
    s.version = ver("2.100.6.5");
    s.match_id[5] = 2;
    s.partitions = {part(255, 2, "1.0.0.0", {'m', 't', 'd'}), part(300, 3, "1.0.0.0", {'n', 'e'}),
                    part(255, 7, "1.0.0.0"), part(255, 1, "3.0.0.1", {'#', '!'}),
                    part(2, 0, "9.9.9.9")};
    EXPECT_EQ(check(rompack::make_pack(s)), 11);
    EXPECT_EQ(std::vector<int>(flags, flags + 5), (std::vector<int>{0, 0, 0, 0, -1}));
    EXPECT_EQ(mtd_config, 1);
    EXPECT_EQ(slurp(at("/tmp/mtd.conf")), "mtd");
    EXPECT_EQ(slurp(at("/config/config_modify")), "ne");
    EXPECT_EQ(upgrader_tool_version, ver("3.0.0.1"));
    EXPECT_EQ(slurp(at("/tmp/upgrader_tool")), "#!");

    // An upgrader already extracted is neither written again nor the end.
    put(at("/tmp/upgrader_tool"), "old");
    EXPECT_EQ(check(rompack::make_pack(s)), 0);
    EXPECT_EQ(flags[4], 1);
    EXPECT_EQ(slurp(at("/tmp/upgrader_tool")), "old");

    // A payload that cannot be stored whole: no layout to apply, no cut
    // upgrader left behind for the sequence to start.
    unlink(at("/tmp/upgrader_tool").c_str());
    mtd_config = 0;
    s.partitions = {part(255, 2, "1.0.0.0", Bytes(4096, 'L')),
                    part(255, 1, "1.0.0.0", Bytes(4096, 'U'))};
    rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 1024;
    void (*old)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int code = check(rompack::make_pack(s));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);
    EXPECT_EQ(code, 0); // the upgrader gave code 2 and the check went on
    EXPECT_EQ(mtd_config, 0);
    EXPECT_NE(access(at("/tmp/upgrader_tool").c_str(), F_OK), 0);
}
