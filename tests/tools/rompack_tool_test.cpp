// The rompack tool as its user sees it. For each golden pack of tests/data,
// create remakes it byte for byte, info reads back its manifest and verify
// gives the answers of expected.json against tests/data/device; more
// manifests and command lines come as data rows.
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

// "rompack info" of pack shows every field its manifest m gives.
void expect_info_matches(const std::string &pack, json m)
{
    const json info = rompack({"info", pack, "--json"}).parsed();
    ASSERT_EQ(info.value("code", -1), 0) << info;
    if (m.contains("match_id"))
        m["match_id"].get_ref<json::array_t &>().resize(16, 0);
    for (const auto &field : m.items())
        EXPECT_EQ(info["header"].value(field.key(), field.value()), field.value()) << field.key();
    EXPECT_EQ(info["header"]["rom_checksum"], info["header"]["rom_checksum_computed"]);
    ASSERT_EQ(info["partitions"].size(), m["partitions"].size());
    for (size_t i = 0; i < m["partitions"].size(); ++i)
        for (const auto &field : m["partitions"][i].items())
            EXPECT_EQ(info["partitions"][i].value(field.key(), field.value()), field.value()) << i;
}

class GoldenPack : public ::testing::TestWithParam<std::string>
{
  protected:
    const std::string pack = kData + "/" + GetParam() + ".pack";
    const std::string manifest = kData + "/" + GetParam() + ".json";
    const json want =
        json::parse(slurp(kData + "/expected.json"))["packs"].value(GetParam(), json());
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

// Verify leaves the profile as it was and no temporary files behind.
TEST_P(GoldenPack, VerifyGivesTheExpectedAnswer)
{
    auto tree = [] {
        std::string all; // the same order as long as nothing changes
        for (const auto &e : fs::recursive_directory_iterator(kData + "/device"))
            all += e.path().string() + "\n" + (e.is_regular_file() ? slurp(e.path()) : "");
        return all;
    };
    const std::string profile = tree();
    testsupport::TempDir tmp;
    setenv("TMPDIR", tmp.path().c_str(), 1);
    Result r = rompack({"verify", pack, "--device", kData + "/device", "--json"});
    const json v = r.parsed();
    ASSERT_TRUE(v.is_object()) << r.out << r.err;
    const int code = want["verify"];
    EXPECT_EQ(r.status, code == 0 || code == 11 || code == -86 ? 0 : 1);
    json got = {{"info", want["info"]},
                {"verify", v["code"]},
                {"env", v["env_writes"]},
                {"write", json::array()},
                {"extracted", json::array()}};
    for (const json &p : v["partitions"])
        got["write"].push_back(p.value("write", json(nullptr)));
    for (const json &f : v["extracted"])
        got["extracted"].push_back(f["path"]);
    EXPECT_EQ(got, want);
    EXPECT_EQ(tree(), profile);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
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
INSTANTIATE_TEST_SUITE_P(Data, GoldenPack, ::testing::ValuesIn(packs()));

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

// Each command line of rompack_inputs.rows runs in an empty directory with
// an empty TMPDIR: its status, its message, and nothing left in either.
TEST(RompackCommandLine, GivesTheStatusAndMessageOfEachRowAndLeavesNothingBehind)
{
    for (testsupport::Row row : testsupport::rows(kData + "/rompack_inputs.rows")) {
        SCOPED_TRACE(row[0]);
        for (size_t i = 4; i < row.size(); ++i) // the command's own pipes
            row[3] += "|" + row[i];
        testsupport::TempDir dir, tmp, out;
        testsupport::put(out.path() + "/run.sh",
                         "ROMPACK=" ROMPACK_TOOL " PHONESIM=" PHONESIM_TOOL " DATA=" + kData +
                             "\ncd " + dir.path() + "\n" + row[3] + "\n");
        const int st = system(("TMPDIR=" + tmp.path() + " sh " + out.path() + "/run.sh >" +
                               out.path() + "/o 2>" + out.path() + "/e")
                                  .c_str());
        const std::string err = slurp(out.path() + "/e");
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, std::stoi(row[1])) << err;
        EXPECT_NE(err.find(row[2]), std::string::npos) << err;
        EXPECT_EQ(err.find("changed"), std::string::npos) << err;
        EXPECT_TRUE(fs::is_empty(tmp.path()));
        for (const auto &e : fs::directory_iterator(dir.path()))
            EXPECT_NE(e.path().filename().string().rfind("out.pack", 0), 0u) << e.path();
    }
}
