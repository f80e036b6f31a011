#include "upgrader/inifile.h"

#include "isolation.h"

#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

namespace
{

struct Result {
    int rc;
    std::string value;
};

class Ini : public ::testing::Test
{
  protected:
    std::string write(const std::string &bytes, const char *name = "f.ini")
    {
        std::string path = dir_.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The value buffer is exactly size bytes so that the sanitizer build
    // catches any write past it.
    Result read(const std::string &path, const char *section, const char *key, int size = 64,
                const char *def = nullptr)
    {
        std::vector<char> value(static_cast<size_t>(size), '#');
        int rc = read_profile_string(section, key, value.data(), size, def, path.c_str());
        return {rc, std::string(value.data(), size > 0 ? strnlen(value.data(), value.size()) : 0)};
    }
    testsupport::TempDir dir_;
};

using IniValue = Ini; // the suite the README names as an example

// parse_file over an exactly sized copy: a read past the NUL is a sanitizer error.
struct Found {
    int rc;
    int pos[6];
};
Found parse(const std::string &text, const char *section, const char *key)
{
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    Found f{};
    int *p = f.pos;
    f.rc = parse_file(section, key, copy.data(), p, p + 1, p + 2, p + 3, p + 4, p + 5);
    return f;
}

} // namespace

TEST_F(IniValue, KeyLinesSplitAtTheFirstEqualsAndTrimBlanks)
{
    std::string f = write("top=0\n[s]\nRomVersion = 1.2.3.4 \nempty=\na=b=c\nblank= \t \n"
                          "semi=5 ;not a comment\n  ;key=5\n;hidden=1\n=anon\nnoequals\n"
                          "Case=1\n");
    EXPECT_EQ(read(f, "s", "RomVersion").value, "1.2.3.4");
    Result empty = read(f, "s", "empty");
    EXPECT_EQ(empty.rc, 1);
    EXPECT_EQ(empty.value, "");
    EXPECT_EQ(read(f, "s", "a").value, "b=c");
    EXPECT_EQ(read(f, "s", "blank").value, "");
    EXPECT_EQ(read(f, "s", "semi").value, "5 ;not a comment");
    EXPECT_EQ(read(f, "s", ";key").value, "5");
    EXPECT_EQ(read(f, "s", "key").rc, 0);
    EXPECT_EQ(read(f, "s", ";hidden").rc, 0);
    EXPECT_EQ(read(f, "s", "").rc, 0);
    EXPECT_EQ(read(f, "s", "noequals").rc, 0);
    EXPECT_EQ(read(f, "s", "case").rc, 0);
    EXPECT_EQ(read(f, "s", "top").rc, 0); // before any section header
}

TEST_F(Ini, NamesAreTrimmedCaseSensitiveAndRepeatable)
{
    std::string f = write("[ Version ]\r\nRomVersion=1\r\nx=\r\n[version]\nlow=1\n"
                          "[Other] \n k=9\n[Version]\nMtdNVersion=7\n");
    Result crlf = read(f, "Version", "RomVersion");
    EXPECT_EQ(crlf.rc, 1);
    EXPECT_EQ(crlf.value, "1"); // '\r' ends the value
    EXPECT_EQ(read(f, "Version", "x").value, "");
    EXPECT_EQ(read(f, "Version", "low").rc, 0);
    EXPECT_EQ(read(f, "version", "low").value, "1");
    EXPECT_EQ(read(f, "Version", "MtdNVersion").value, "7");
    EXPECT_EQ(read(f, "Other", "k").value, "9");
    EXPECT_EQ(read(f, "Other", "MtdNVersion").rc, 0);
    EXPECT_EQ(read(f, " Version", "RomVersion").rc, 0);

    // Headers count only at a line start and with their closing brace.
    f = write("[a]\nx=[b]\ny=1\n [b]\nz=2\n[b]\nw=3\n[c");
    EXPECT_EQ(read(f, "a", "z").value, "2"); // " [b]" is no header
    EXPECT_EQ(read(f, "b", "w").value, "3");
    EXPECT_EQ(read(f, "b", "y").rc, 0);
    EXPECT_EQ(read(f, "c", "w").rc, 0);
    const struct {
        const char *text, *section;
        int rc;
    } cases[] = {{"[c", "c", 0},          {"[c\nk=1", "c\nk=1", 0}, {"[", "", 0},
                 {"[s]", "s", 0},         {"[s]k", "s", 0},         {"[a] [b]\nk=1", "a", 1},
                 {"[a] [b]\nk=1", "b", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.text, c.section, "k").rc, c.rc) << c.text;
}

TEST(IniParse, ReportsTheSixPositions)
{
    // "[" at 4, "]" at 10, first key line's "k" at 15 after the skipped blank
    // lines and blanks, "\r" at 22, second key line from 24, NUL at 30.
    const std::string text = "x=0\n[ sec ]\n\n  k = v1 \r\n k2 =z";
    Found k = parse(text, "sec", "k");
    ASSERT_EQ(k.rc, 1);
    EXPECT_EQ(std::vector<int>(k.pos, k.pos + 6), (std::vector<int>{5, 15, 15, 16, 18, 22}));
    Found k2 = parse(text, "sec", "k2");
    ASSERT_EQ(k2.rc, 1);
    EXPECT_EQ(std::vector<int>(k2.pos, k2.pos + 6), (std::vector<int>{5, 15, 24, 27, 29, 30}));

    Found miss = parse(text, "sec", "v1");
    EXPECT_EQ(miss.rc, 0);
    EXPECT_EQ(std::vector<int>(miss.pos, miss.pos + 6), std::vector<int>(6, -1));

    int untouched = 42;
    EXPECT_EQ(
        parse_file(nullptr, "k", "t", &untouched, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(
        parse_file("s", "k", nullptr, &untouched, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(untouched, 42);
}

TEST_F(Ini, ValueIsCutToSizeBeforeTrimming)
{
    std::string f = write("[s]\nk=  abcdef  \nt=ab   cd\nshort=ab\n");
    EXPECT_EQ(read(f, "s", "k", 5).value, "ab"); // "  ab" cut, then trimmed
    EXPECT_EQ(read(f, "s", "t", 5).value, "ab");
    Result one = read(f, "s", "k", 1);
    EXPECT_EQ(one.rc, 1);
    EXPECT_EQ(one.value, "");

    // Every byte of value is cleared, not only the terminator.
    char value[8] = "xxxxxxx";
    ASSERT_EQ(read_profile_string("s", "short", value, 8, nullptr, f.c_str()), 1);
    EXPECT_EQ(std::string(value, 8), std::string("ab\0\0\0\0\0\0", 8));
    value[0] = 'q';
    EXPECT_EQ(read_profile_string("s", "k", value, 0, "dflt", f.c_str()), 1);
    EXPECT_EQ(read_profile_string("s", "x", value, 0, "dflt", f.c_str()), 0);
    EXPECT_EQ(value[0], 'q');

    // The default is copied on every miss, and cut like a value.
    std::string missing = dir_.path() + "/none.ini";
    Result gone = read(missing, "s", "k", 100, "0");
    EXPECT_EQ(gone.rc, 0);
    EXPECT_EQ(gone.value, "0");
    EXPECT_EQ(read(f, "s", "x", 100, "dflt").value, "dflt");
    EXPECT_EQ(read(f, "t", "k", 100, "dflt").value, "dflt");
    EXPECT_EQ(read(f, "s", "x", 3, "dflt").value, "df");
    EXPECT_EQ(read(f, "s", "x", 1, "dflt").value, "");
    EXPECT_EQ(read(f, "s", "x", 8, nullptr).value, "########");
    EXPECT_EQ(read_profile_string(nullptr, "k", value, 4, "d", f.c_str()), 0);
    EXPECT_EQ(read_profile_string("s", nullptr, value, 4, "d", f.c_str()), 0);
    EXPECT_EQ(read_profile_string("s", "k", value, 4, "d", nullptr), 0);
    EXPECT_EQ(value[0], 'q');
    EXPECT_EQ(read_profile_string("s", "k", nullptr, 4, "d", f.c_str()), 0);
}

TEST_F(Ini, TextEndsAtFirst0xFFOrNulOrAfter160KiB)
{
    std::string ff = write(std::string("[s]\nk=12\xff"
                                       "3\nj=2\n"),
                           "ff.ini");
    EXPECT_EQ(read(ff, "s", "k").value, "12");
    EXPECT_EQ(read(ff, "s", "j").rc, 0);
    std::vector<char> buffer(INI_TEXT_MAX + 1, 'z');
    int size = -1;
    ASSERT_EQ(load_ini_file(ff.c_str(), buffer.data(), &size), 1);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(buffer[8], '\0');

    // Bytes after a NUL are loaded and counted but never scanned.
    std::string nul = write(std::string("[s]\nk=1\0\n[s]\nj=2\n", 17), "nul.ini");
    EXPECT_EQ(read(nul, "s", "k").value, "1");
    EXPECT_EQ(read(nul, "s", "j").rc, 0);
    ASSERT_EQ(load_ini_file(nul.c_str(), buffer.data(), &size), 1);
    EXPECT_EQ(size, 17);

    // "tail=XY" ends exactly at the 160 KiB limit; "Z" and "after" lie beyond it.
    std::string f = write("[s]\n;" + std::string(INI_TEXT_MAX - 13, 'f') + "\ntail=XYZ\nafter=1\n");
    ASSERT_EQ(load_ini_file(f.c_str(), buffer.data(), &size), 1);
    EXPECT_EQ(size, INI_TEXT_MAX);
    EXPECT_EQ(buffer[INI_TEXT_MAX - 1], 'Y');
    EXPECT_EQ(buffer[INI_TEXT_MAX], '\0');
    EXPECT_EQ(read(f, "s", "tail").value, "XY");
    EXPECT_EQ(read(f, "s", "after", 8, "no").value, "no");

    // Failures leave a zero count.
    size = 99;
    EXPECT_EQ(load_ini_file((dir_.path() + "/none").c_str(), buffer.data(), &size), 0);
    EXPECT_EQ(size, 0);
    size = 99;
    EXPECT_EQ(load_ini_file(nullptr, buffer.data(), &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(load_ini_file(write("x").c_str(), nullptr, &size), 0);
}
