// The display unit against the simulated telephone's kernel: a refresh must
// show the mapped frame buffer, and misc requests must reach the misc device.
#include "isolation.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;
using testsupport::TempDir;

namespace
{

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// phonesim with args, its stdout into out_file; the exit status or -1.
int phonesim(const std::vector<std::string> &args, const std::string &out_file)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        std::vector<char *> argv{const_cast<char *>(PHONESIM_BIN)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PHONESIM_BIN, argv.data());
        _exit(126);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string pattern_hex(bool inverted)
{
    std::string hex;
    for (unsigned i = 0; i < 1056; ++i) {
        unsigned byte = (i * 13 + 5) & 0xff;
        char text[3];
        snprintf(text, sizeof(text), "%02x", inverted ? 0xff - byte : byte);
        hex += text;
    }
    return hex;
}

std::string screen_hex(const json &report, const json &frame)
{
    for (const json &s : report["screens"])
        if (s["hash"] == frame["hash"])
            return s["hex"];
    return "";
}

} // namespace

TEST(DisplayRun, RefreshesShowTheMappedFrameBufferAndMiscRequestsAreRecorded)
{
    TempDir tmp;
    std::string dir = tmp.path() + "/phone";
    std::string out = tmp.path() + "/out";
    ASSERT_EQ(phonesim({"init", dir}, out), 0) << slurp(out);
    ASSERT_EQ(phonesim({"run", dir, "--time-limit", "20", "--", PHONESIM_DISPLAY_PROBE}, out), 0)
        << slurp(out);

    json r = json::parse(slurp(dir + "/.phonesim/last-run/report.json"), nullptr, false);
    ASSERT_FALSE(r.is_discarded());
    ASSERT_EQ(r["frames"].size(), 2u) << r["frames"].dump();
    EXPECT_EQ(screen_hex(r, r["frames"][0]), pattern_hex(false));
    EXPECT_EQ(screen_hex(r, r["frames"][1]), pattern_hex(true));
    EXPECT_EQ(r["misc"], json({"MISC_IOCS_LED 5", "MISC_IOCS_BKLIGHT 1"})) << r["misc"].dump();
}
