// The campaign's judgement: a fault it cannot see is a loss it reports as a
// recovery. Then the command as its user sees it, from data rows.
#include "faults/campaign.h"
#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace
{

using faults::kChipBase;

struct Phone : ::testing::Test {
    faults::Expected want;
    faults::Telephone phone;
    Phone()
    {
        want.chip_before.assign(faults::kChipSize, 0x5a);
        want.env_block.assign(0x10000, 0x5a);
        want.config_block.assign(0x80000, 0x5a);
        want.payloads[1] = std::vector<uint8_t>(70000, 0x11);
        want.env_after = {{"SW_OEM", "7"}, {"mtd1", "90020000,90120000"}};
        phone.chip = want.chip_before;
        phone.env = want.env_after;
        phone.layout = faults::layout_from_file("mtd1 0x90020000 0x90120000\n"
                                                "mtd3 0x90320000 0x90330000\n"
                                                "mtd4 0x90330000 0x903b0000\n");
        auto mtd1 = phone.chip.begin() + (0x90020000 - kChipBase); // burnt
        std::fill_n(mtd1, 0x100000, 0xff);
        std::copy(want.payloads[1].begin(), want.payloads[1].end(), mtd1);
    }
};

TEST_F(Phone, JudgesPayloadBlocksAndEnvironment)
{
    EXPECT_EQ(faults::judge(want, phone), "");
    EXPECT_TRUE(faults::torn_boot_partitions(want, phone).empty());

    faults::Telephone bad = phone;
    bad.chip[0x90020000 - kChipBase + 0x20000] = 0; // behind the payload: not erased
    bad.chip[0x90330000 - kChipBase + 5] ^= 1;
    bad.env[0].second = "0";
    EXPECT_EQ(faults::judge(want, bad), "mtd1 does not hold the pack's payload\n"
                                        "configuration block lost (mtd4 at 90330000)\n"
                                        "boot environment SW_OEM is \"0\", not \"7\"\n");
    EXPECT_EQ(faults::torn_boot_partitions(want, bad), std::vector<int>{1});

    bad = phone;
    bad.layout[3] = {0x90730000, 0x90740000}; // the blocks are looked for where the table says
    std::fill_n(bad.chip.begin() + (0x90730000 - kChipBase), 0x10000, 0xff);
    EXPECT_EQ(faults::judge(want, bad), "environment block lost (mtd3 at 90730000)\n");
}

TEST(Campaign, NamesPhasesAndSpreadsCuts)
{
    std::vector<faults::Operation> ops = {{"env", -1},  {"move", 2},  {"move", 3}, {"erase", 4},
                                          {"write", 4}, {"erase", 3}, {"env", -1}, {"erase", 2},
                                          {"write", 4}, {"erase", 6}};
    EXPECT_EQ(
        faults::phases_of(ops),
        (std::vector<std::string>{"boot environment", "moving", "moving", "writing back mtd4",
                                  "writing back mtd4", "writing back mtd3", "recording layout",
                                  "burning mtd2", "burning mtd4", "burning mtd6"}));
    std::vector<int> cuts = faults::cut_points(145, 20);
    EXPECT_EQ(cuts.size(), 20u);
    EXPECT_EQ(cuts.front(), 1);
    EXPECT_EQ(cuts.back(), 145);
    EXPECT_EQ(faults::cut_points(3, 20), (std::vector<int>{1, 2, 3}));

    std::vector<int> chosen;
    std::string error;
    ASSERT_TRUE(faults::cut_list("phases,last,3-4,12", faults::phases_of(ops), &chosen, &error));
    EXPECT_EQ(chosen, (std::vector<int>{1, 2, 3, 4, 6, 7, 8, 9, 10}));
    EXPECT_FALSE(faults::cut_list("2,0", {}, &chosen, &error));
    EXPECT_NE(error.find("\"0\" is not a cut point"), std::string::npos);
}

// Each row runs the tool with its arguments, the row's profile in
// DIR/PROFILE, and expects its exit status and a part of what it prints.
void run_command_rows(const std::string &tool, const std::string &rows, const std::string &tools,
                      const std::string &profile)
{
    for (const testsupport::Row &row : testsupport::rows(rows)) {
        SCOPED_TRACE(row[0]);
        testsupport::TempDir dir;
        mkdir((dir.path() + "/fleet").c_str(), 0755);
        testsupport::put(dir.path() + "/" + profile, row[3]);
        std::string cmd = tool + " " + row[2] + " >" + dir.path() + "/out 2>&1";
        const std::pair<std::string, std::string> subs[] = {
            {"@TOOLS@", tools}, {"@DATA@", TEST_DATA_DIR}, {"@DIR@", dir.path()}};
        for (const auto &[from, to] : subs)
            for (size_t at; (at = cmd.find(from)) != std::string::npos;)
                cmd.replace(at, from.size(), to);
        const int status = system(cmd.c_str());
        const std::string out = testsupport::slurp(dir.path() + "/out");
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::stoi(row[1])) << out;
        EXPECT_NE(out.find(row[4]), std::string::npos) << out;
    }
}

TEST(FaultsCommand, ExitsAndSaysWhatTheRowsSay)
{
    run_command_rows(FAULTS_TOOL, TEST_DATA_DIR "/faults-command.rows",
                     "--phonesim " PHONESIM_TOOL " --program " UPGRADER_PROGRAM " --work @DIR@",
                     "profile.json");
}

TEST(RehearseCommand, ExitsAndSaysWhatTheRowsSay)
{
    run_command_rows(REHEARSE_TOOL, TEST_DATA_DIR "/rehearse-command.rows",
                     "--phonesim " PHONESIM_TOOL " --program " UPGRADER_PROGRAM
                     " --out @DIR@/report",
                     "fleet/phone.json");
}

} // namespace
