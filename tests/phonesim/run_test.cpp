// The phonesim command end to end, with the shell or the program inside the
// telephone: how a run ends and what its report holds.
#include "telephone.h"

#include "common/hosttool.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <unistd.h>

using namespace testsupport;

class Run : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(phone.ok()) << phone.output(); }
    Telephone phone; // a fresh one per case
};

TEST_F(Run, EndsAsTheCommandDoes)
{
    EXPECT_EQ(phone.run({"sh", "-c", "exit 7"}, {"--flash-delay", "0.25"}), 7);
    EXPECT_EQ(phone.report()["ending"], "exit");
    EXPECT_EQ(phone.report()["status"], 7);
    EXPECT_EQ(phone.report()["flash"]["timing"]["delay"], 0.25);
    EXPECT_EQ(phone.report()["flash"]["partitions"], json::array());
    EXPECT_EQ(phone.report()["flash"]["total"]["estimated_ms"], 0);
    EXPECT_EQ(phone.run({"true"}, {"--flash-delay", "-1"}), 2);

    EXPECT_EQ(phone.run({"sh", "-c", "kill -TERM $$"}), 128 + 15);
    EXPECT_EQ(phone.report()["ending"], "signal");
    EXPECT_EQ(phone.report()["status"], 15);

    EXPECT_EQ(phone.run({"sleep", "100"}, {"--time-limit", "0.5"}), kTimeLimit);
    EXPECT_EQ(phone.report()["ending"], "time-limit");
}

// The report of a run in which a shell changes the boot environment and
// makes a file, then the program upgrades mtd5 and reboots.
TEST_F(Run, ReportsLogLinesMessagesFramesAndChanges)
{
    std::vector<uint8_t> pack = rompack::make_pack(accepted_pack({partition(5, 1000, "counter")}));
    put(phone / "/tmp/rom.bin", std::string(pack.begin(), pack.end()));
    ASSERT_EQ(phone.run({"sh", "-c",
                         "cd \"$UPGRADER_ROOT\" && echo bootdelay 3 > proc/avalanche/env && "
                         "echo made > tmp/made.txt && exec \"$UPGRADER_ROOT/basic/bin/upgrader\" "
                         "/tmp/rom.bin"}),
              kRebooted)
        << phone.output();
    const json &r = phone.report();
    EXPECT_EQ(r["ending"], "reboot");

    // Every peer but the program's identity (6) heard its broadcast once.
    std::set<int> listeners;
    for (const json &m : r["ipc"])
        listeners.insert(m["listener"].get<int>());
    EXPECT_EQ(listeners, (std::set<int>{1, 2, 3, 4, 5, 7, 8, 9, 10, 11}));
    EXPECT_EQ(r["ipc"].size(), 10u);
    EXPECT_EQ(r["ipc"][0]["sender"], 6);

    std::string run = phone / "/.phonesim/last-run/";
    ASSERT_FALSE(r["frames"].empty());
    for (const json &f : r["frames"])
        EXPECT_EQ(access((run + f["file"].get<std::string>()).c_str(), F_OK), 0) << f.dump();
    EXPECT_EQ(access((run + "contact.png").c_str(), F_OK), 0);

    EXPECT_EQ(r["bootenv"]["after"]["bootdelay"], "3");
    EXPECT_EQ(r["bootenv"]["changes"].size(), 1u) << r["bootenv"].dump();
    EXPECT_EQ(r["bootenv"]["changes"][0]["name"], "bootdelay");
    EXPECT_NE(r["files"]["created"].dump().find("\"/tmp/made.txt\""), std::string::npos);

    // mtd5's blocks erased and programmed; the estimate is the default
    // timing's.
    const json &flash = r["flash"]["total"];
    EXPECT_GE(flash["erases"], 1) << r["flash"].dump();
    EXPECT_GE(flash["programmed"], 1000);
    EXPECT_GE(flash["estimated_ms"], 500);
    EXPECT_EQ(r["flash"]["timing"]["erase_ms"], 500);
    // Digests anyone can check with sha256sum.
    std::string mtd5 = phone.partition_bytes(5);
    EXPECT_EQ(phone.partition(5)["after"]["sha256"],
              hosttool::sha256_hex(mtd5.data(), mtd5.size()));
    EXPECT_NE(phone.output().find("\nflash:       "), std::string::npos) << phone.output();
}

// The reboot is a power cut: no process of the telephone outlives it.
TEST_F(Run, RebootEndsEveryProcessOfTheTelephone)
{
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

// The key script writes each press and its release in time order, as the
// keypad driver sends them (time stamps aside); a press still ahead when the
// command ends does not hold the run up. Bad scripts are refused.
TEST_F(Run, KeysArriveAsPressAndReleaseInTimeOrder)
{
    EXPECT_EQ(
        phone.run({"sh", "-c", "cd \"$UPGRADER_ROOT\" && head -c 64 dev/input/event0 > tmp/keys"},
                  {"--keys", "0.02:32,0:17,3600:5"}),
        0)
        << phone.output();
    std::string got = slurp(phone / "/tmp/keys");
    ASSERT_EQ(got.size(), 64u);
    const std::pair<uint16_t, int32_t> expected[] = {{17, 1}, {17, 0}, {32, 1}, {32, 0}};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(got.substr(i * 16 + 8, 8),
                  key_event(expected[i].first, expected[i].second).substr(8))
            << i;
    for (const char *bad : {"x:1", "1:", "1:17,", "-1:3", "1:70000", "1:3x"})
        EXPECT_NE(phone.run({"true"}, {std::string("--keys=") + bad}), 0) << bad;
}

// A cut at the second flash operation ends the run there (what the cut
// operation leaves is the kernel's, kernel_test.cpp): the shell does nothing
// after it. The next boot starts with an empty /tmp, where an upgrade still
// finds its pack; a boot after another ending leaves /tmp alone.
TEST_F(Run, PowerCutEndsTheRunAndTheNextBootStartsAfresh)
{
    const int kPowerCut = 101;
    put(phone / "/tmp/planted", "x");
    EXPECT_EQ(phone.run({"sh", "-c",
                         "cd \"$UPGRADER_ROOT\" && echo mtd8 90320000,90330000 > "
                         "proc/avalanche/env && printf '\\000\\000\\000\\000' | dd of=dev/mtd9 "
                         "bs=4 seek=64 conv=notrunc && echo after > tmp/after"},
                        {"--cut-at", "2"}),
              kPowerCut)
        << phone.output();
    const json &r = phone.report();
    EXPECT_EQ(r["ending"], "power-cut");
    EXPECT_EQ(r["power_cut"], json::parse(R"({"op": 2, "seconds": null, "kind": "write"})"));
    ASSERT_EQ(r["flash_ops"].size(), 2u) << r["flash_ops"].dump();
    EXPECT_EQ(r["flash_ops"][0]["text"], "mtd8 90320000,90330000");
    EXPECT_TRUE(r["flash_ops"][0]["mtd"].is_null());
    EXPECT_EQ(r["flash_ops"][1]["n"], 2);
    EXPECT_EQ(r["flash_ops"][1]["mtd"], 9);
    EXPECT_EQ(r["flash_ops"][1]["offset"], 256);
    EXPECT_EQ(r["flash_ops"][1]["length"], 4);
    EXPECT_NE(phone.output().find("flash operations: 2\n"), std::string::npos);
    EXPECT_NE(access((phone / "/tmp/after").c_str(), F_OK), 0);
    EXPECT_EQ(access((phone / "/tmp/planted").c_str(), F_OK), 0);

    EXPECT_EQ(phone.run({"sh", "-c", "echo made > \"$UPGRADER_ROOT/tmp/made\""}), 0);
    EXPECT_NE(access((phone / "/tmp/planted").c_str(), F_OK), 0);
    EXPECT_EQ(phone.report()["flash_ops"], json::array());
    EXPECT_EQ(phone.run({"true"}), 0);
    EXPECT_EQ(access((phone / "/tmp/made").c_str(), F_OK), 0);

    EXPECT_EQ(phone.run({"sleep", "100"}, {"--cut-after", "0.2"}), kPowerCut);
    EXPECT_EQ(phone.report()["power_cut"],
              json::parse(R"({"op": null, "seconds": 0.2, "kind": null})"));
    std::string pack = phone.write_pack(accepted_pack({partition(5, 1000, "counter")}));
    EXPECT_EQ(phone.upgrade(pack, "file"), kRebooted) << phone.output();
    EXPECT_EQ(phone.partitions(), "5");
    EXPECT_NE(access((phone / "/tmp/made").c_str(), F_OK), 0);
}

// Command lines phonesim refuses, and endings a user reads from its status
// and what it prints (tests/data/phonesim-cli.rows).
class Cli : public Run, public ::testing::WithParamInterface<Row>
{
  protected:
    std::string here = phone.dir() + "/..";
    std::string expand(std::string text) const
    {
        for (auto v : {std::make_pair("$PHONE", phone.dir()), std::make_pair("$HERE", here),
                       std::make_pair("$DATA", std::string(TEST_DATA_DIR))})
            for (size_t at; (at = text.find(v.first)) != std::string::npos;)
                text.replace(at, strlen(v.first), v.second);
        return text;
    }
};

TEST_P(Cli, EndsWithItsStatusAndSaysWhy)
{
    const Row &row = GetParam();
    std::istringstream setup(expand(row[1])), line(expand(row[2]));
    std::string kind, path;
    if (setup >> kind >> path && kind == "dir")
        ASSERT_EQ(system(("mkdir -p " + path).c_str()), 0);
    else if (kind == "text")
        put(path, "not a program\n");
    Lines args;
    for (std::string w; line >> w;)
        args.push_back(w);
    std::string out = here + "/cli.out";
    EXPECT_EQ(phonesim(args, out), std::stoi(row[3])) << slurp(out);
    EXPECT_NE(slurp(out).find(expand(row[4])), std::string::npos) << slurp(out);
    if (args[0] == "run" && args[1] == phone.dir() && row[3] != "2") {
        EXPECT_EQ(access((phone / "/.phonesim/last-run/report.json").c_str(), F_OK), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Cli, ::testing::ValuesIn(rows(TEST_DATA_DIR "/phonesim-cli.rows")),
                         RowName());
