// INI reading: the cases are rows of tests/data/inifile.rows.
#include "upgrader/inifile.h"

#include "files.h"
#include "isolation.h"

#include <string.h>

namespace
{
using testsupport::Row;
using testsupport::unescape;
// The columns of inifile.rows.
enum { kName, kText, kSection, kKey, kSize, kDefault, kResult, kValue };

class IniFile : public ::testing::TestWithParam<Row>
{
};
} // namespace

// The value buffer is exactly size bytes so that the sanitizer build
// catches any write past it.
TEST_P(IniFile, GivesTheValueOrTheDefaultCutToTheBuffer)
{
    const Row &r = GetParam();
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/f.ini";
    if (r[kText] != "(no file)")
        testsupport::put(path, unescape(r[kText]));
    const size_t size = std::stoul(r[kSize]);
    std::vector<char> value(size, '#');
    int rc = read_profile_string(
        unescape(r[kSection]).c_str(), unescape(r[kKey]).c_str(), value.data(), int(size),
        r[kDefault] == "(null)" ? nullptr : r[kDefault].c_str(), path.c_str());
    EXPECT_EQ(std::string(value.data(), strnlen(value.data(), size)),
              r[kValue] == "(untouched)" ? std::string(size, '#') : r[kValue]);
    EXPECT_EQ(rc, std::stoi(r[kResult]));
}

INSTANTIATE_TEST_SUITE_P(Texts, IniFile,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/inifile.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });
