// The captured log lines as the program wrote them: level and message, the
// module and process prefix taken away.
#ifndef TESTS_SUPPORT_LOGGED_H
#define TESTS_SUPPORT_LOGGED_H

#include "isolation.h"

#include <algorithm>
#include <string>
#include <vector>

namespace testsupport
{

struct Logged {
    int level;
    std::string message;
};

// The log lines since the last call.
inline std::vector<Logged> logged()
{
    std::vector<Logged> out;
    for (const LogLine &line : syslog_capture().take()) {
        size_t at = line.text.find(": ");
        out.push_back(
            {line.level(), at == std::string::npos ? line.text : line.text.substr(at + 2)});
    }
    return out;
}

// How many of lines are message at level.
inline int count_of(const std::vector<Logged> &lines, const std::string &message, int level)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const Logged &l) {
        return l.message == message && l.level == level;
    }));
}

// The log lines since the last call as "<level>:<message>", for comparing
// whole sequences.
inline std::vector<std::string> logged_lines()
{
    std::vector<std::string> out;
    for (const Logged &l : logged())
        out.push_back(std::to_string(l.level) + ":" + l.message);
    return out;
}

} // namespace testsupport

#endif
