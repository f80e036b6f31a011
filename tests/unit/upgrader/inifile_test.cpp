// INI reading: the cases are rows of tests/data/inifile.rows.
#include "upgrader/inifile.h"

#include "files.h"
#include "isolation.h"

#include <string.h>

namespace
{

std::string unescape(std::string s)
{
    const std::pair<std::string, std::string> escapes[] = {{"\\r", "\r"},
                                                           {"\\t", "\t"},
                                                           {"\\s", " "},
                                                           {"\\xff", "\xff"},
                                                           {"\\0", std::string(1, '\0')}};
    for (const auto &[from, to] : escapes)
        for (size_t at; (at = s.find(from)) != std::string::npos;)
            s.replace(at, from.size(), to);
    return s;
}

class Ini : public ::testing::Test
{
  protected:
    // The value buffer is exactly size bytes so that the sanitizer build
    // catches any write past it.
    std::pair<int, std::string> read(const std::string &section, const std::string &key, int size,
                                     const char *def, const std::string &file = "")
    {
        std::vector<char> value(size_t(size), '#');
        int rc = read_profile_string(section.c_str(), key.c_str(), value.data(), size, def,
                                     (file.empty() ? path : file).c_str());
        return {rc, std::string(value.data(), strnlen(value.data(), value.size()))};
    }
    testsupport::TempDir dir;
    std::string path = dir.path() + "/f.ini";
};

} // namespace

TEST_F(Ini, Rows)
{
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/inifile.rows")) {
        testsupport::put(path, unescape(r[0]));
        int size = std::stoi(r[3]);
        auto got =
            read(unescape(r[1]), unescape(r[2]), size, r[4] == "(null)" ? nullptr : r[4].c_str());
        std::string want = r[6] == "(untouched)" ? std::string(size_t(size), '#') : r[6];
        EXPECT_EQ(got, std::make_pair(std::stoi(r[5]), want))
            << r[0] << " [" << r[1] << "] " << r[2];
    }
}

// "tail=XY" ends exactly at the 160 KiB limit; "Z" and "after" lie
// beyond it. Every byte of the value buffer is cleared, not only the
// terminator; a missing file gives the default.
TEST_F(Ini, LimitBufferClearingAndMissingFile)
{
    testsupport::put(path,
                     "[s]\n;" + std::string(INI_TEXT_MAX - 13, 'f') + "\ntail=XYZ\nafter=1\n");
    EXPECT_EQ(read("s", "tail", 8, nullptr).second, "XY");
    EXPECT_EQ(read("s", "after", 8, "no").second, "no");
    testsupport::put(path, "[s]\nshort=ab\n");
    char value[8] = "xxxxxxx";
    ASSERT_EQ(read_profile_string("s", "short", value, 8, nullptr, path.c_str()), 1);
    EXPECT_EQ(std::string(value, 8), std::string("ab\0\0\0\0\0\0", 8));
    EXPECT_EQ(read("s", "k", 100, "0", dir.path() + "/none"), std::make_pair(0, std::string("0")));
}
