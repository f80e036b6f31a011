// Whole files, hex, bounded waits and data rows for tests.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <ctype.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport
{

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void put(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// The bytes as lower-case hex, two digits each.
inline std::string to_hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Bounded polling: true as soon as done() holds, false after timeout_ms.
template <typename Pred> bool wait_until(Pred done, int timeout_ms = 30000)
{
    for (int waited = 0; !done(); waited += 5) {
        if (waited >= timeout_ms)
            return false;
        usleep(5000);
    }
    return true;
}

// A table of cases kept as text: one row per line, fields separated by '|'
// and trimmed; blank lines and lines starting with '#' are skipped. "\n" in
// a field stands for a newline.
struct Row : std::vector<std::string> {
    using std::vector<std::string>::vector;
};
// A row given to a parameterised test shows as its first field, its name.
inline void PrintTo(const Row &row, std::ostream *out)
{
    *out << (row.empty() ? "" : row[0]);
}
// Names a row's test case, for INSTANTIATE_TEST_SUITE_P: its first field with
// every character a name cannot hold made '_' (names must stay unique).
struct RowName {
    template <typename Info> std::string operator()(const Info &info) const
    {
        std::string name = info.param.empty() ? "" : info.param[0];
        for (char &c : name)
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    }
};
inline std::vector<Row> rows(const std::string &path)
{
    std::vector<Row> out;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);) {
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        Row row;
        for (size_t start = 0;;) {
            size_t bar = line.find('|', start);
            std::string field = line.substr(start, bar == std::string::npos ? bar : bar - start);
            size_t a = field.find_first_not_of(" \t"), b = field.find_last_not_of(" \t\r");
            field = a == std::string::npos ? "" : field.substr(a, b - a + 1);
            for (size_t nl; (nl = field.find("\\n")) != std::string::npos;)
                field.replace(nl, 2, "\n");
            row.push_back(field);
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        out.push_back(row);
    }
    return out;
}

// Bytes a field cannot hold as they are: \r \t \s (space) \xff \0 (NUL), and
// {N*TEXT} for N copies of TEXT.
inline std::string unescape(std::string s)
{
    const char *escapes[][2] = {{"\\r", "\r"}, {"\\t", "\t"}, {"\\s", " "}, {"\\xff", "\xff"}};
    for (const auto &[from, to] : escapes)
        for (size_t at; (at = s.find(from)) != std::string::npos;)
            s.replace(at, strlen(from), to);
    for (size_t at; (at = s.find("\\0")) != std::string::npos;)
        s.replace(at, 2, 1, '\0');
    for (size_t at; (at = s.find('{')) != std::string::npos;) {
        size_t star = s.find('*', at), end = s.find('}', at);
        std::string copies;
        for (int n = std::stoi(s.substr(at + 1, star - at - 1)); n > 0; --n)
            copies += s.substr(star + 1, end - star - 1);
        s.replace(at, end - at + 1, copies);
    }
    return s;
}

} // namespace testsupport

#endif
