// The pack check against a platform root of real files (boot environment,
// version files, hardware version, MTD devices as plain files, the shell
// tools in tmp/bin). Its rules are the rows of tests/data/rompack_check.rows.
#include "upgrader/rompack.h"

#include "files.h"
#include "isolation.h"
#include "rompack/packmaker.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using testsupport::put, testsupport::slurp;

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
        if (word.find_first_not_of(' ') != std::string::npos)
            out.push_back(word.substr(word.find_first_not_of(' ')));
    return out;
}

rompack::PartitionSpec part(uint32_t id, uint32_t type, const char *version, Bytes payload)
{
    rompack::PartitionSpec p;
    p.id = id, p.type = type, p.version = ver(version), p.payload = std::move(payload);
    return p;
}

rompack::PackSpec base()
{
    rompack::PackSpec s;
    s.device_id = 59;
    s.version = ver("2.100.6.5");
    s.match_id[5] = 2; // the device's variant
    s.scramble_key = 17;
    return s;
}

// A recipe of the rows: fields and partitions, then changes to the bytes.
Bytes make(const std::string &recipe)
{
    rompack::PackSpec s = base();
    std::map<std::string, uint32_t *> fields = {
        {"dev", &s.device_id},      {"oem", &s.oem_id},         {"mid", &s.mid_version},
        {"protect", &s.sw_protect}, {"force", &s.process_type}, {"hsize", &s.header_size}};
    std::vector<std::pair<std::string, std::vector<std::string>>> changes;
    for (const std::string &token : split(recipe, ' ')) {
        std::string k = token.substr(0, token.find('=')), v = token.substr(k.size() + (k != token));
        std::vector<std::string> a = split(v, ':');
        if (fields.count(k))
            *fields[k] = num(v);
        else if (k == "ver")
            s.version = ver(v);
        else if (k == "key")
            s.scramble_key = uint8_t(num(v));
        else if (k == "nomatch")
            memset(s.match_id, 0, sizeof(s.match_id));
        else if (k == "parts")
            s.partitions.assign(num(v), part(2, 0, "9.9.9.9", Bytes(8, 7)));
        else if (k == "part") { // ID:TYPE:VERSION[:SIZE[:FORCE[:HEADER_SIZE]]]
            Bytes payload(a.size() > 3 ? num(a[3]) : 8);
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = uint8_t(i + 1);
            s.partitions.push_back(part(num(a[0]), num(a[1]), a[2].c_str(), payload));
            s.partitions.back().process_type = a.size() > 4 ? num(a[4]) : 0;
            s.partitions.back().header_size = a.size() > 5 ? num(a[5]) : 32;
        } else
            changes.push_back({k, a});
    }
    Bytes p = rompack::make_pack(s);
    for (const auto &[k, a] : changes) {
        uint32_t off = num(a[0]), word = a.size() > 1 ? num(a[1]) : 1;
        if (k == "flip")
            p[off] ^= uint8_t(word);
        else if (k == "raw" || k == "set")
            memcpy(&p[off], &word, 4);
        else if (k == "body")
            memcpy(&p[36], &off, 4), memcpy(&p[40], &word, 4);
        else if (k == "cut")
            p.resize(off); // exactly what is passed, for ASan
        else
            ADD_FAILURE() << "unknown change " << k;
        if (k == "set" || k == "body")
            rompack::fix_rom_header_checksum(p);
    }
    return p;
}

class RompackCheck : public ::testing::Test
{
  protected:
    // A fresh device, then the changes of a row: "hw=", "env=" (the lines
    // before the mtd lines), "nomtd", "rom=" (none when empty),
    // "software=", "rm=PATH"; separated by ';'.
    void device(const std::string &changes = "")
    {
        root.reset();
        root = std::make_unique<testsupport::ScopedRoot>();
        for (const char *dir : {"/proc", "/proc/avalanche", "/proc/ver", "/proc/misc", "/app",
                                "/basic", "/tmp", "/tmp/bin", "/dev", "/config"})
            ASSERT_EQ(mkdir(at(dir).c_str(), 0755), 0) << dir;
        for (std::string tool : {"cat", "touch", "chmod"}) {
            put(at("/tmp/bin/" + tool), slurp("/bin/" + tool));
            ASSERT_EQ(chmod(at("/tmp/bin/" + tool).c_str(), 0755), 0);
        }
        std::map<std::string, std::string> c = {
            {"hw", "59.1.0.1.2.0.0.0"},
            {"env", "MID_VERSION 0\nSW_OEM 0\nSW_protect 0\nMtd2Version 1.0.0.1\n"},
            {"rom", "2.100.6.0"},
            {"software", "1.2.3.4,build\n"}};
        for (const std::string &change : split(changes, ';'))
            c[change.substr(0, change.find('='))] = change.substr(change.find('=') + 1);
        env = c["env"];
        for (unsigned i = 0; i < 10; ++i) {
            put(at("/dev/mtd" + std::to_string(i)), "");
            char line[64];
            snprintf(line, sizeof(line), "mtd%u 0x%x,0x%x\n", i, 0x90000000u + (i << 20),
                     0x90010000u + (i << 20));
            env += c.count("nomtd") ? "" : line;
        }
        if (c.count("rm")) {
            ASSERT_EQ(unlink(at(c["rm"]).c_str()), 0);
        }
        put(at("/proc/misc/hwver"), c["hw"] + "\n");
        put(at("/app/version.conf"), "[Version]\nMtd6Version=2.100.6.0\n" +
                                         (c["rom"].empty() ? "" : "RomVersion=" + c["rom"]));
        put(at("/basic/version.conf"), "[Version]\nMtd5Version=5.0.0.1\n");
        put(at("/version.conf"), "[Version]\nMtd0Version=0.0.0.1\n");
        put(at("/proc/ver/software"), c["software"]);
        mtd_config = 0;
    }
    std::string at(const std::string &path) const { return *root / path; }
    int check(const Bytes &pack)
    {
        put(at("/proc/avalanche/env"), env);
        std::fill(std::begin(flags), std::end(flags), -1);
        testsupport::syslog_capture().take();
        return upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, flags);
    }
    // Boot environment writes since the check began, "NAME VALUE" joined by '/'.
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

    std::unique_ptr<testsupport::ScopedRoot> root;
    std::string env;
    env_info table[ENV_TABLE_SIZE];
    Rom_Header header;
    Partition_Header parts[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
};

} // namespace

// Rows: name | device changes | pack recipe | code | env writes | flags.
TEST_F(RompackCheck, Rules)
{
    auto rows = testsupport::rows(TEST_DATA_DIR "/rompack_check.rows");
    ASSERT_GT(rows.size(), 50u);
    for (const testsupport::Row &r : rows) {
        SCOPED_TRACE(r[0]);
        ASSERT_EQ(r.size(), 6u);
        device(r[1]);
        EXPECT_EQ(check(make(r[2])), std::stoi(r[3]));
        std::string writes = env_writes();
        EXPECT_TRUE(r[4].empty() || writes == r[4]) << writes;
        std::vector<std::string> want = split(r[5], ' ');
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_TRUE(want[i] == "*" || flags[i] == std::stoi(want[i])) << "flag " << i;
    }
    EXPECT_EQ(upgrader_rompack_check(nullptr, 0, table, &header, parts, flags), -1);
}

TEST_F(RompackCheck, PayloadsKeptOffFlashAndTheUpgraderEndingTheCheck)
{
    device();
    put(at("/config/config_modify"), std::string(100, 'x')); // stale and longer
    rompack::PackSpec s = base();
    s.partitions = {part(255, 2, "1.0.0.0", {'m', 't', 'd'}), part(300, 3, "1.0.0.0", {'n', 'e'}),
                    part(255, 7, "1.0.0.0", {}), part(255, 1, "3.0.0.1", {'#', '!'}),
                    part(2, 0, "9.9.9.9", {1})};
    EXPECT_EQ(check(rompack::make_pack(s)), 11);
    EXPECT_EQ(std::vector<int>(flags, flags + 5), (std::vector<int>{0, 0, 0, 0, -1}));
    EXPECT_EQ(mtd_config, 1);
    EXPECT_EQ(slurp(at("/tmp/mtd.conf")) + slurp(at("/config/config_modify")), "mtdne");
    EXPECT_EQ(upgrader_tool_version, ver("3.0.0.1"));
    EXPECT_EQ(slurp(at("/tmp/upgrader_tool")), "#!");

    // Payloads that cannot be stored whole: no layout to apply, no cut
    // upgrader left behind for the sequence to start.
    device();
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
