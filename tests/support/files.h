// Whole-file reads and writes for tests.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <fstream>
#include <sstream>
#include <string>

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

} // namespace testsupport

#endif
