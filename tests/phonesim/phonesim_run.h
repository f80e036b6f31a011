// Driving the phonesim command from a test: each run is its own process (a
// run enters namespaces for good). PHONESIM_BIN names the command.
#ifndef TESTS_PHONESIM_PHONESIM_RUN_H
#define TESTS_PHONESIM_PHONESIM_RUN_H

#include "files.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testsupport
{

// phonesim with args; its stdout goes to out_file.
inline pid_t start_phonesim(const std::vector<std::string> &args, const std::string &out_file)
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
    return pid;
}

// The exit status of a started phonesim, or -1.
inline int finish_phonesim(pid_t pid)
{
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// phonesim with args, its stdout into out_file; the exit status or -1.
inline int phonesim(const std::vector<std::string> &args, const std::string &out_file)
{
    return finish_phonesim(start_phonesim(args, out_file));
}

// The report of the last run of the telephone in dir (discarded if unreadable).
inline nlohmann::json last_report(const std::string &dir)
{
    return nlohmann::json::parse(slurp(dir + "/.phonesim/last-run/report.json"), nullptr, false);
}

// The hex of the screen a frame of the report shows, or "".
inline std::string screen_hex(const nlohmann::json &report, const nlohmann::json &frame)
{
    for (const nlohmann::json &s : report["screens"])
        if (s["hash"] == frame["hash"])
            return s["hex"];
    return "";
}

} // namespace testsupport

#endif
