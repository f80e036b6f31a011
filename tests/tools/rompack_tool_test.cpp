// The rompack tool as its user sees it. For each golden pack of tests/data,
// create remakes it byte for byte, info reads back its manifest and verify
// gives the answers of expected.json against tests/data/device; more
// manifests come as data rows.
#include "files.h"
#include "isolation.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <filesystem>

namespace
{
using nlohmann::json;
using testsupport::slurp;
namespace fs = std::filesystem;
const std::string kData = TEST_DATA_DIR;

struct Result {
    int status;
    std::string out, err;
    json parsed() const { return json::parse(out, nullptr, false); }
};

// Paths here come from mkdtemp and the source tree: no quotes in them.
Result rompack(std::vector<std::string> args)
{
    testsupport::TempDir dir;
    std::string cmd = ROMPACK_TOOL;
    for (const std::string &a : args)
        cmd += " '" + a + "'";
    int st = system((cmd + " >" + dir.path() + "/o 2>" + dir.path() + "/e").c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir.path() + "/o"),
            slurp(dir.path() + "/e")};
}

const json &expected()
{
    static const json e = json::parse(slurp(kData + "/expected.json"));
    return e["packs"];
}

// "rompack info" of pack against its manifest m; absent fields count as 0.
void expect_info_matches(const std::string &pack, const json &m)
{
    const json info = rompack({"info", pack, "--json"}).parsed(), &h = info["header"];
    ASSERT_EQ(info.value("code", -1), 0) << info;
    for (const char *key : {"rom_type", "process_type", "device_id", "oem_id", "version",
                            "mid_version", "sw_protect", "scramble_key"})
        EXPECT_EQ(h.value(key, json(0)), m.value(key, json(0))) << key;
    const unsigned size = m.value("header_size", m.value("layout", "") == "older" ? 124 : 128);
    EXPECT_EQ(h["header_size"], size);
    EXPECT_EQ(h["layout"], size >= 128 ? "current" : "older");
    std::vector<int> ids = m.value("match_id", std::vector<int>{});
    ids.resize(16);
    EXPECT_EQ(h["match_id"], json(ids));
    EXPECT_EQ(h["rom_checksum"], h["rom_checksum_computed"]);
    ASSERT_EQ(info["partitions"].size(), m["partitions"].size());
    for (size_t i = 0; i < m["partitions"].size(); ++i) {
        const json &p = info["partitions"][i], &mp = m["partitions"][i], &load = mp["payload"];
        for (const char *key : {"id", "type", "process_type", "data_type", "version"})
            EXPECT_EQ(p.value(key, json(0)), mp.value(key, json(0))) << i << key;
        EXPECT_EQ(p["header_size"], mp.value("header_size", 32)) << i;
        EXPECT_EQ(p["size"], load.is_string() ? fs::file_size(kData + "/" + load.get<std::string>())
                                              : load["size"].get<uintmax_t>());
        EXPECT_EQ(p["offset"], mp.value("offset", p["offset"])) << i;
        EXPECT_EQ(p["checksum"], p["checksum_computed"]) << i;
    }
}

class GoldenPack : public ::testing::TestWithParam<std::string>
{
  protected:
    const std::string pack = kData + "/" + GetParam() + ".pack";
    const std::string manifest = kData + "/" + GetParam() + ".json";
    const json want = expected().value(GetParam(), json()); // null: no expectation
};
} // namespace

TEST_P(GoldenPack, CreateRemakesItAndInfoReadsBackItsManifest)
{
    testsupport::TempDir dir;
    ASSERT_EQ(rompack({"create", manifest, "-o", dir.path() + "/made.pack"}).status, 0);
    EXPECT_TRUE(slurp(dir.path() + "/made.pack") == slurp(pack))
        << "run tests/data/regen.sh after changing the maker";
    Result r = rompack({"info", pack, "--json"});
    EXPECT_EQ(r.parsed().value("code", 1), want["info"]) << r.out << r.err;
    EXPECT_EQ(r.status, want["info"] == 0 ? 0 : 1);
    if (want["info"] == 0)
        expect_info_matches(pack, json::parse(slurp(manifest)));
}

TEST_P(GoldenPack, VerifyGivesTheExpectedAnswer)
{
    Result r = rompack({"verify", pack, "--device", kData + "/device", "--json"});
    const json v = r.parsed();
    ASSERT_TRUE(v.is_object()) << r.out << r.err;
    EXPECT_EQ(v["code"], want["verify"]);
    EXPECT_EQ(r.status, want["verify"] == 0 || want["verify"] == 11 ? 0 : 1);
    json write = json::array(), files = json::array();
    for (const json &p : v["partitions"])
        write.push_back(p.value("write", json(nullptr)));
    for (const json &f : v["extracted"])
        files.push_back(f["path"]);
    EXPECT_EQ(write, want["write"]);
    EXPECT_EQ(v["env_writes"], want["env"]);
    EXPECT_EQ(files, want["extracted"]);
}

// Every committed pack has its expectation.
std::vector<std::string> packs()
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(kData))
        if (e.path().extension() == ".pack")
            names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}
INSTANTIATE_TEST_SUITE_P(Data, GoldenPack, ::testing::ValuesIn(packs()), [](const auto &info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

TEST(RompackCreate, MakesWhatInfoReadsBackAndRefusesBadManifestsNamingTheField)
{
    testsupport::TempDir dir;
    const std::string m = dir.path() + "/m.json", made = dir.path() + "/m.pack";
    for (const char *table : {"/rompack_recipes.rows", "/rompack_bad_manifests.rows"}) {
        for (const testsupport::Row &row : testsupport::rows(kData + table)) {
            SCOPED_TRACE(row[0]);
            fs::remove(made);
            testsupport::put(m, row[0]);
            Result r = rompack({"create", m, "-o", made});
            EXPECT_EQ(r.status, row.size() == 1 ? 0 : 2) << r.err;
            if (row.size() == 1)
                expect_info_matches(made, json::parse(row[0]));
            else
                EXPECT_TRUE(r.err.find(row[1]) != std::string::npos && !fs::exists(made)) << r.err;
        }
    }
}

TEST(RompackVerify, LeavesTheProfileAndNoTemporaryFilesBehind)
{
    testsupport::TempDir tmp;
    setenv("TMPDIR", tmp.path().c_str(), 1);
    auto tree = [](const std::string &dir) {
        std::map<std::string, std::string> files;
        for (const auto &e : fs::recursive_directory_iterator(dir))
            files[e.path().string()] = e.is_regular_file() ? slurp(e.path().string()) : "<dir>";
        return files;
    };
    const auto before = tree(kData + "/device");
    for (const char *p : {"good-mid", "good-extras", "good-upgrader"})
        EXPECT_EQ(
            rompack({"verify", kData + "/" + p + ".pack", "--device", kData + "/device"}).status, 0)
            << p;
    EXPECT_EQ(tree(kData + "/device"), before);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}
