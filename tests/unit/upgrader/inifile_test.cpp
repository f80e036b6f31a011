// INI reading: the cases are rows of tests/data/inifile.rows.
#include "upgrader/inifile.h"

#include "files.h"
#include "isolation.h"

#include <string.h>

namespace
{

// The rows' escapes: \r \t \s (space) \xff \0 (NUL) and {N*C}, N copies of C.
std::string unescape(std::string s)
{
    const char *escapes[][2] = {{"\\r", "\r"}, {"\\t", "\t"}, {"\\s", " "}, {"\\xff", "\xff"}};
    for (const auto &[from, to] : escapes)
        for (size_t at; (at = s.find(from)) != std::string::npos;)
            s.replace(at, strlen(from), to);
    for (size_t at; (at = s.find("\\0")) != std::string::npos;)
        s.replace(at, 2, 1, '\0');
    for (size_t at; (at = s.find('{')) != std::string::npos;)
        s.replace(at, s.find('}', at) - at + 1, size_t(std::stoi(s.substr(at + 1))),
                  s[s.find('*', at) + 1]);
    return s;
}

} // namespace

// The value buffer is exactly size bytes so that the sanitizer build
// catches any write past it.
TEST(Ini, Rows)
{
    testsupport::TempDir dir;
    std::string path = dir.path() + "/f.ini";
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/inifile.rows")) {
        unlink(path.c_str());
        if (r[0] != "(no file)")
            testsupport::put(path, unescape(r[0]));
        size_t size = std::stoul(r[3]);
        std::vector<char> value(size, '#');
        int rc =
            read_profile_string(unescape(r[1]).c_str(), unescape(r[2]).c_str(), value.data(),
                                int(size), r[4] == "(null)" ? nullptr : r[4].c_str(), path.c_str());
        std::string got(value.data(), strnlen(value.data(), size));
        EXPECT_EQ(got, r[6] == "(untouched)" ? std::string(size, '#') : r[6])
            << r[0] << " [" << r[1] << "] " << r[2];
        EXPECT_EQ(rc, std::stoi(r[5])) << r[0] << " [" << r[1] << "] " << r[2];
    }
}
