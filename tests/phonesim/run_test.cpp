// The phonesim command end to end, with the shell or a probe program inside
// the telephone: how a run ends and what its report holds.
#include "telephone.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

using namespace testsupport;

TEST(Run, EndsAsTheCommandDoes)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok()) << phone.output();
    EXPECT_EQ(phone.run({"sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(phone.report()["ending"], "exit");
    EXPECT_EQ(phone.report()["status"], 7);

    EXPECT_EQ(phone.run({"sh", "-c", "kill -TERM $$"}), 128 + 15);
    EXPECT_EQ(phone.report()["ending"], "signal");
    EXPECT_EQ(phone.report()["status"], 15);

    EXPECT_EQ(phone.run({"sleep", "100"}, {"--time-limit", "0.5"}), kTimeLimit);
    EXPECT_EQ(phone.report()["ending"], "time-limit");
}

TEST(Run, ReportsLogLinesMessagesFramesAndChanges)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok()) << phone.output();
    ASSERT_EQ(phone.run({PHONESIM_PROBE}), 0) << phone.output();
    const json &r = phone.report();
    EXPECT_EQ(phone.logged("probe info line", 6), 1) << r["log"].dump();
    EXPECT_EQ(phone.logged("probe error line", 3), 1) << r["log"].dump();

    // Every peer heard the broadcast once.
    EXPECT_EQ(r["ipc"].size(), 10u);
    EXPECT_EQ(phone.ipc_messages(), Lines{"4,2,0"});
    std::string frame;
    for (size_t i = 0; i < 1056; ++i)
        frame += char(i * 7);
    EXPECT_EQ(phone.screens(), Lines{to_hex(frame)});
    std::string run = phone / "/.phonesim/last-run/";
    ASSERT_EQ(r["frames"].size(), 1u);
    EXPECT_EQ(access((run + r["frames"][0]["file"].get<std::string>()).c_str(), F_OK), 0);
    EXPECT_EQ(access((run + "contact.png").c_str(), F_OK), 0);

    EXPECT_EQ(r["bootenv"]["after"]["SW_OEM"], "9");
    EXPECT_EQ(r["bootenv"]["changes"].size(), 1u) << r["bootenv"].dump();
    EXPECT_EQ(r["bootenv"]["changes"][0]["name"], "SW_OEM");
    EXPECT_EQ(r["files"]["created"].size(), 1u);
    EXPECT_EQ(r["files"]["created"][0]["path"], "/tmp/probe.txt");
    EXPECT_TRUE(phone.partitions().empty());
}

// The reboot is a power cut: no process of the telephone outlives it.
TEST(Run, RebootEndsEveryProcessOfTheTelephone)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok()) << phone.output();
    // The grandchild is known to run before the reboot is asked for.
    EXPECT_EQ(phone.run({"sh", "-c",
                         "sh -c 'touch \"$UPGRADER_ROOT/tmp/started\"; exec sleep 100' & "
                         "while [ ! -e \"$UPGRADER_ROOT/tmp/started\" ]; do sleep 0.05; done; "
                         "exec \"$UPGRADER_ROOT/sbin/reboot\""}),
              kRebooted);
    EXPECT_EQ(phone.report()["ending"], "reboot");

    std::string mark = "UPGRADER_ROOT=" + phone.dir() + std::string(1, '\0');
    DIR *proc = opendir("/proc");
    ASSERT_NE(proc, nullptr);
    while (struct dirent *e = readdir(proc)) {
        std::string environ = slurp(std::string("/proc/") + e->d_name + "/environ");
        EXPECT_EQ(environ.find(mark), std::string::npos) << "process " << e->d_name << " survived";
    }
    closedir(proc);
}
