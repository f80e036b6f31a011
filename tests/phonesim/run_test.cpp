// The phonesim command end to end: each run is a phonesim process (a run
// enters namespaces for good), with a probe program or the shell inside.
#include "phonesim/init.h"
#include "phonesim/profile.h"

#include "isolation.h"
#include "phonesim_run.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using namespace phonesim;
using nlohmann::json;
using testsupport::finish_phonesim;
using testsupport::slurp;
using testsupport::start_phonesim;
using testsupport::TempDir;

namespace
{

struct Telephone {
    TempDir tmp;
    std::string dir = tmp.path() + "/phone";
    explicit Telephone(const InitOptions &options = InitOptions())
    {
        std::string error;
        EXPECT_EQ(init_telephone(dir, default_profile(), options, &error), 0) << error;
    }
    json report() const { return testsupport::last_report(dir); }
};

int run_phonesim(const std::vector<std::string> &args, std::string *out)
{
    TempDir tmp;
    int code = testsupport::phonesim(args, tmp.path() + "/out");
    *out = slurp(tmp.path() + "/out");
    return code;
}

bool has_log(const json &report, int level, const std::string &text)
{
    for (const json &l : report["log"])
        if (l["level"] == level && l["text"].get<std::string>().find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(Run, ShowsTheBootEnvironmentAndEndsAsTheCommandDoes)
{
    Telephone phone;
    std::string out;
    EXPECT_EQ(run_phonesim({"run", phone.dir, "--", "sh", "-c",
                            "cat \"$UPGRADER_ROOT/proc/avalanche/env\"; exit 7"},
                           &out),
              7);
    EXPECT_NE(out.find("MID_VERSION "), std::string::npos) << out;
    EXPECT_NE(out.find("\nmtd9 "), std::string::npos) << out;
    json r = phone.report();
    EXPECT_EQ(r["ending"], "exit");
    EXPECT_EQ(r["status"], 7);

    EXPECT_EQ(run_phonesim({"run", phone.dir, "--", "sh", "-c", "kill -TERM $$"}, &out), 128 + 15);
    EXPECT_EQ(phone.report()["ending"], "signal");
    EXPECT_EQ(phone.report()["status"], 15);

    EXPECT_EQ(run_phonesim({"run", phone.dir, "--time-limit", "0.5", "--", "sleep", "100"}, &out),
              124);
    EXPECT_EQ(phone.report()["ending"], "time-limit");
}

TEST(Run, ReportsLogLinesMessagesFramesAndChanges)
{
    Telephone phone;
    std::string out;
    ASSERT_EQ(run_phonesim({"run", phone.dir, "--time-limit", "20", "--", PHONESIM_PROBE, "report"},
                           &out),
              0);
    EXPECT_NE(out.find("no shared memory"), std::string::npos) << out;
    json r = phone.report();
    ASSERT_FALSE(r.is_discarded());
    EXPECT_TRUE(has_log(r, 6, "probe args 1")) << r["log"].dump();
    EXPECT_TRUE(has_log(r, 3, "probe error line")) << r["log"].dump();

    std::set<int> listeners;
    for (const json &m : r["ipc"]) {
        EXPECT_EQ(m["msg"], 4);
        EXPECT_EQ(m["param1"], 2);
        EXPECT_EQ(m["sender"], 6);
        listeners.insert(m["listener"].get<int>());
    }
    EXPECT_EQ(listeners, (std::set<int>{1, 2, 3, 4, 5, 7, 8, 9, 10, 11}));

    ASSERT_EQ(r["frames"].size(), 1u);
    EXPECT_EQ(
        access((phone.dir + "/.phonesim/last-run/" + r["frames"][0]["file"].get<std::string>())
                   .c_str(),
               F_OK),
        0);
    std::string drawn = r["screens"][0]["hex"];
    ASSERT_EQ(drawn.size(), 2 * 1056u);
    for (size_t i = 0; i < 1056; ++i) {
        char byte[3];
        snprintf(byte, sizeof(byte), "%02x", static_cast<unsigned>((i * 7) & 0xff));
        ASSERT_EQ(drawn.substr(2 * i, 2), byte) << "byte " << i;
    }
    EXPECT_EQ(access((phone.dir + "/.phonesim/last-run/contact.png").c_str(), F_OK), 0);

    EXPECT_EQ(r["bootenv"]["after"]["SW_OEM"], "9");
    bool changed = false;
    for (const json &c : r["bootenv"]["changes"])
        changed |= c["name"] == "SW_OEM" && c["after"] == "9";
    EXPECT_TRUE(changed) << r["bootenv"].dump();
    bool created = false;
    for (const json &f : r["files"]["created"])
        created |= f["path"] == "/tmp/probe.txt";
    EXPECT_TRUE(created) << r["files"].dump();
    for (const json &p : r["partitions"])
        EXPECT_FALSE(p["changed"].get<bool>()) << p.dump();
}

TEST(Run, RebootEndsEveryProcessOfTheTelephone)
{
    Telephone phone;
    std::string out;
    // The grandchild is known to run before the reboot is asked for.
    EXPECT_EQ(run_phonesim({"run", phone.dir, "--time-limit", "20", "--", "sh", "-c",
                            "sh -c 'touch \"$UPGRADER_ROOT/tmp/started\"; exec sleep 100' & "
                            "while [ ! -e \"$UPGRADER_ROOT/tmp/started\" ]; do sleep 0.05; done; "
                            "exec \"$UPGRADER_ROOT/sbin/reboot\""},
                           &out),
              100);
    EXPECT_EQ(phone.report()["ending"], "reboot");

    // No process with this telephone's root in its environment is left.
    std::string mark = "UPGRADER_ROOT=" + phone.dir + std::string(1, '\0');
    DIR *proc = opendir("/proc");
    ASSERT_NE(proc, nullptr);
    while (struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::string env = slurp(std::string("/proc/") + e->d_name + "/environ");
        EXPECT_EQ(env.find(mark), std::string::npos) << "process " << e->d_name << " survived";
    }
    closedir(proc);
}

TEST(Run, UpgradeModesStartTheProgramAsTheTelephoneWould)
{
    InitOptions options;
    options.program = PHONESIM_PROBE;
    Telephone phone(options);
    std::string pack = phone.tmp.path() + "/pack.bin";
    std::ofstream(pack, std::ios::binary) << std::string("\x01\x02\x03\x04 rest of the pack");
    std::string out;

    EXPECT_EQ(run_phonesim({"upgrade", phone.dir, pack, "--mode", "shm", "--state", "3",
                            "--time-limit", "20"},
                           &out),
              0);
    EXPECT_NE(out.find("state 3 rom 01020304\nargs:\n"), std::string::npos) << out;

    EXPECT_EQ(
        run_phonesim({"upgrade", phone.dir, pack, "--mode", "direct", "--time-limit", "20"}, &out),
        0);
    EXPECT_NE(out.find("no shared memory\nargs: /tmp/pack.bin x\n"), std::string::npos) << out;
    EXPECT_EQ(access((phone.dir + "/tmp/pack.bin").c_str(), F_OK), 0);

    EXPECT_EQ(
        run_phonesim({"upgrade", phone.dir, pack, "--mode", "file", "--time-limit", "20"}, &out),
        0);
    EXPECT_NE(out.find("args: /tmp/pack.bin\n"), std::string::npos) << out;
}

// Each telephone waits for the other to be running, and each sees only its
// own shared memory and log.
TEST(Run, TwoTelephonesRunAtOnce)
{
    Telephone a, b;
    TempDir shared;
    std::string script = "\"$0\" && touch \"$1/$2\" && i=0 && "
                         "while [ ! -e \"$1/$3\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); "
                         "done; [ -e \"$1/$3\" ]";
    std::vector<pid_t> pids;
    std::vector<std::string> outs;
    int n = 0;
    for (Telephone *phone : {&a, &b}) {
        std::string pack = shared.path() + "/pack" + std::to_string(n);
        std::ofstream(pack, std::ios::binary) << std::string(4, static_cast<char>(0x10 + n));
        outs.push_back(shared.path() + "/out" + std::to_string(n));
        pids.push_back(
            start_phonesim({"run", phone->dir, "--load", pack, "--state", std::to_string(5 + n),
                            "--time-limit", "30", "--", "sh", "-c", script, PHONESIM_PROBE,
                            shared.path(), n == 0 ? "a" : "b", n == 0 ? "b" : "a"},
                           outs.back()));
        ++n;
    }
    EXPECT_EQ(finish_phonesim(pids[0]), 0);
    EXPECT_EQ(finish_phonesim(pids[1]), 0);
    EXPECT_NE(slurp(outs[0]).find("state 5 rom 10101010"), std::string::npos) << slurp(outs[0]);
    EXPECT_NE(slurp(outs[1]).find("state 6 rom 11111111"), std::string::npos) << slurp(outs[1]);
    for (Telephone *phone : {&a, &b}) {
        json r = phone->report();
        int lines = 0;
        for (const json &l : r["log"])
            lines += l["text"].get<std::string>().find("probe args 0") != std::string::npos;
        EXPECT_EQ(lines, 1);
    }
}
