// The pack check against a platform root of plain files, with the shell tools
// in tmp/bin; its rules are the rows of tests/data/rompack_check.rows, one
// test case each.
#include "upgrader/rompack.h"

#include "files.h"
#include "isolation.h"
#include "rompack/packmaker.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <map>

using Bytes = std::vector<uint8_t>;
using testsupport::put, testsupport::slurp;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

uint32_t num(const std::string &text)
{
    uint32_t v = 0;
    return text.find('.') == std::string::npos ? uint32_t(strtoul(text.c_str(), nullptr, 0))
           : rompack::parse_version(text, &v)  ? v
                                               : ~0u;
}

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; std::getline(in, w, by);)
        if (w.find_first_not_of(' ') != std::string::npos)
            out.push_back(w.substr(w.find_first_not_of(' ')));
    return out;
}

// Key and value of "KEY=VALUE" (the whole token as both without '=').
std::pair<std::string, std::string> key_value(const std::string &token)
{
    size_t eq = token.find('=');
    return {token.substr(0, eq), eq == std::string::npos ? token : token.substr(eq + 1)};
}

// A recipe of the rows: fields and partitions, then changes to the bytes.
Bytes make(const std::string &recipe)
{
    rompack::PackSpec s;
    s.device_id = 59, s.version = num("2.100.6.5"), s.scramble_key = 17;
    s.match_id[5] = 2; // the device's variant
    std::map<std::string, uint32_t *> fields = {
        {"dev", &s.device_id},      {"oem", &s.oem_id},         {"mid", &s.mid_version},
        {"protect", &s.sw_protect}, {"force", &s.process_type}, {"hsize", &s.header_size},
        {"ver", &s.version}};
    std::vector<std::pair<std::string, std::vector<uint32_t>>> changes;
    for (const std::string &token : split(recipe, ' ')) {
        auto [k, v] = key_value(token);
        std::vector<uint32_t> a;
        for (const std::string &field : split(v, ':'))
            a.push_back(num(field));
        if (fields.count(k))
            *fields[k] = a[0];
        else if (k == "key")
            s.scramble_key = uint8_t(a[0]);
        else if (k == "nomatch")
            memset(s.match_id, 0, sizeof(s.match_id));
        else if (k == "parts")
            s.partitions.assign(a[0], {2, 0, 0, 0, num("9.9.9.9"), Bytes(8, 7), {}, 32});
        else if (k == "part") { // ID:TYPE:VERSION[:SIZE[:FORCE[:HEADER_SIZE]]]
            const uint32_t defaults[] = {0, 0, 0, 8, 0, 32};
            for (size_t i = a.size(); i < 6; ++i)
                a.push_back(defaults[i]);
            Bytes payload(a[3]);
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = uint8_t(i + 1);
            s.partitions.push_back({a[0], a[1], a[4], 0, a[2], payload, {}, a[5]});
        } else
            changes.push_back({k, a});
    }
    Bytes p = rompack::make_pack(s);
    for (auto &[k, a] : changes) {
        a.resize(2, 1);
        if (k == "flip")
            p[a[0]] ^= uint8_t(a[1]);
        else if (k == "raw" || k == "set")
            memcpy(&p[a[0]], &a[1], 4);
        else if (k == "body")
            memcpy(&p[36], &a[0], 4), memcpy(&p[40], &a[1], 4);
        else if (k == "cut")
            p.resize(a[0]); // exactly what is passed, for ASan
        else
            ADD_FAILURE() << "unknown change " << k;
        if (k == "set" || k == "body")
            rompack::fix_rom_header_checksum(p);
    }
    return p;
}

// Boot environment writes since the last look, "NAME VALUE" joined by '/'.
std::string env_writes()
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

} // namespace

// The columns of rompack_check.rows and of rompack_device.rows.
enum CheckColumn { kName, kDevice, kRecipe, kCode, kEnvWrites, kFlags, kAfter, kCheckColumns };
enum DeviceColumn { kPath, kContent };

class RompackCheck : public ::testing::TestWithParam<testsupport::Row>
{
};

TEST_P(RompackCheck, GivesTheCodeEnvWritesFlagsAndFilesOfItsRow)
{
    testsupport::Row r = GetParam();
    r.resize(kCheckColumns);
    testsupport::ScopedRoot root;
    std::map<std::string, std::string> c; // the device's files, then the row's changes
    for (const testsupport::Row &file : testsupport::rows(TEST_DATA_DIR "/rompack_device.rows"))
        c[file[kPath]] = file.size() > kContent ? file[kContent] : "";
    for (const std::string &change : split(r[kDevice], ';'))
        c[key_value(change).first] = key_value(change).second;
    c["/proc/avalanche/env"] = c["env"] + c["mtd"];
    c["/tmp/bin/cat"] = slurp("/bin/cat");
    for (const auto &[path, text] : c) {
        for (size_t slash = 1; (slash = path.find('/', slash)) != std::string::npos; ++slash)
            mkdir((root / path.substr(0, slash)).c_str(), 0755);
        if (path[0] == '/' && text != "-")
            put(root / path, text), chmod((root / path).c_str(), 0755);
    }
    const std::string locked = c.count("readonly") ? root / c["readonly"] : "";
    const bool ro =
        !locked.empty() && // writes fail even for root: a bind mount made read-only
        mount(locked.c_str(), locked.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
        mount(nullptr, locked.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    EXPECT_EQ(ro, !locked.empty());
    Bytes pack = make(r[kRecipe]);
    env_info table[ENV_TABLE_SIZE];
    Rom_Header header;
    Partition_Header parts[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
    std::fill(std::begin(flags), std::end(flags), -1);
    testsupport::syslog_capture().take();
    upgrader_tool_extracted = 0; // each row is a run of its own
    EXPECT_EQ(upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, flags),
              std::stoi(r[kCode]));
    std::string writes = env_writes();
    EXPECT_TRUE(r[kEnvWrites].empty() || writes == r[kEnvWrites]) << writes;
    std::vector<std::string> want = split(r[kFlags], ' ');
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(want[i] == "*" || flags[i] == std::stoi(want[i])) << "flag " << i;
    for (const std::string &after : split(r[kAfter], ' ')) { // the files the check left
        auto [path, hex] = key_value(after);
        if (hex == "-")
            EXPECT_NE(access((root / path).c_str(), F_OK), 0) << path;
        else
            EXPECT_EQ(testsupport::to_hex(slurp(root / path)), hex) << path;
    }
    EXPECT_NE(access((root / "/config/config_modify.new").c_str(), F_OK), 0);
    if (!locked.empty())
        umount2(locked.c_str(), MNT_DETACH);
}
INSTANTIATE_TEST_SUITE_P(Pack, RompackCheck,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR
                                                               "/rompack_check.rows")),
                         testsupport::RowName());
