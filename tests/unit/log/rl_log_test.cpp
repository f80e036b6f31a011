// The logger is judged by what reaches "/dev/log": each test process owns a
// private "/dev/log" (see isolation.h), and every test case runs in a fresh
// process, so the logger's process-wide state starts as the program sees it.
#include "log/rl_log.h"

#include "isolation.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <thread>

using testsupport::LogLine;
using testsupport::syslog_capture;

namespace {

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

std::string prefix(const char *name, int level)
{
    return std::string(name) + " pid" + std::to_string(getpid()) + ",tid" +
           std::to_string(syscall(SYS_gettid)) + ",l" + std::to_string(level) + ": ";
}

std::vector<LogLine> lines() { return syslog_capture().take(); }

} // namespace

TEST(RlLogFormat, LineCarriesNamePidTidLevelAndExpandedMessage)
{
    EXPECT_EQ(rl_log_init("upgrader", 7), 0);
    rl_log_info("kernel_support is :%d \n", 1);
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, prefix("upgrader", 6) + "kernel_support is :1 \n");
    EXPECT_EQ(got[0].priority, LOG_USER | LOG_INFO);
}

TEST(RlLogFormat, EachFunctionSendsItsOwnLevel)
{
    rl_log_init("m", 7);
    rl_log_emerg("x");
    rl_log_alert("x");
    rl_log_crit("x");
    rl_log_err("x");
    rl_log_warn("x");
    rl_log_notice("x");
    rl_log_info("x");
    rl_log_debug("x");
    auto got = lines();
    ASSERT_EQ(got.size(), 8u);
    for (int level = 0; level < 8; ++level) {
        EXPECT_EQ(got[level].level(), level);
        EXPECT_EQ(got[level].text, prefix("m", level) + "x");
    }
}

TEST(RlLogFormat, CallerFormatIsExpandedByTheSystemLogNotThePrefixStep)
{
    rl_log_init("upgrader", 7);
    rl_log_err("%s File open failed!\n", "/tmp/mtd.conf");
    rl_log_err("%d%% done %s", 50, "ok");
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, prefix("upgrader", 3) + "/tmp/mtd.conf File open failed!\n");
    EXPECT_EQ(got[1].text, prefix("upgrader", 3) + "50% done ok");
}

TEST(RlLogFormat, ModuleNameWithPercentPrintsLiterally)
{
    rl_log_init("a%sb%n", 7);
    rl_log_info("v=%d", 3);
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, prefix("a%sb%n", 6) + "v=3");
}

TEST(RlLogFormat, LongMessagesAreCutAt4095Characters)
{
    rl_log_init("upgrader", 7);
    std::string big(5000, 'x');
    rl_log_info("%s", big.c_str()); // expanded by syslog: not cut by the prefix step
    std::string fmt(5000, 'y');     // the composed format itself is cut
    rl_log_info("%s", fmt.c_str());
    const char *as_format = fmt.c_str();
    rl_log_info(as_format, 0);
    auto got = lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].text, prefix("upgrader", 6) + big);
    std::string p = prefix("upgrader", 6);
    EXPECT_EQ(got[2].text.size(), 4095u);
    EXPECT_EQ(got[2].text, p + std::string(4095 - p.size(), 'y'));
}

TEST(RlLogState, BeforeInitEverythingIsSentWithEmptyNameAndPidZero)
{
    EXPECT_EQ(g_log_level, 7);
    EXPECT_EQ(g_nFlag, 0);
    rl_log_debug("early %d", 1);
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text,
              " pid0,tid" + std::to_string(syscall(SYS_gettid)) + ",l7: early 1");
}

TEST(RlLogState, NameIsCutTo14Characters)
{
    rl_log_init("abcdefghijklmnopqrst", 7);
    EXPECT_STREQ(g_module_name, "abcdefghijklmn");
    rl_log_info("x");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, prefix("abcdefghijklmn", 6) + "x");
}

TEST(RlLogState, SecondInitKeepsFirstNameAndThreshold)
{
    EXPECT_EQ(rl_log_init("first", 7), 0);
    EXPECT_EQ(rl_log_init("second", 3), 0);
    EXPECT_STREQ(g_module_name, "first");
    EXPECT_EQ(g_log_level, 7);
    rl_log_debug("still");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, prefix("first", 7) + "still");
}

TEST(RlLogState, DeinitKeepsLoggingWithOldSettingsAndReinitReplacesThem)
{
    rl_log_init("first", 5);
    rl_log_deinit();
    EXPECT_EQ(g_nFlag, 0);
    rl_log_deinit(); // a second deinit is harmless
    rl_log_notice("after");
    rl_log_info("filtered");
    EXPECT_EQ(rl_log_init("second", 7), 0);
    rl_log_info("again");
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, prefix("first", 5) + "after");
    EXPECT_EQ(got[1].text, prefix("second", 6) + "again");
}

TEST(RlLogState, DeinitWithoutInitDoesNothing)
{
    rl_log_deinit();
    EXPECT_EQ(g_nFlag, 0);
    rl_log_err("x");
    EXPECT_EQ(lines().size(), 1u);
}

TEST(RlLogThreshold, ThresholdFiltersByLevel)
{
    rl_log_init("t", 3);
    rl_log_warn("no");
    rl_log_err("yes");
    rl_log_reset_level(-1);
    rl_log_emerg("no");
    rl_log_reset_level(0);
    rl_log_alert("no");
    rl_log_emerg("yes0");
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, prefix("t", 3) + "yes");
    EXPECT_EQ(got[1].text, prefix("t", 0) + "yes0");
}

TEST(RlLogThreshold, NullAndEmptyFormatsSendNothing)
{
    rl_log_init("t", 7);
    const char *empty = "";
    const char *none = nullptr;
    rl_log_debug(empty, 0);
    rl_log_err(none, 0);
    rl_log_info("sentinel");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, prefix("t", 6) + "sentinel");
}

TEST(RlLogThreads, LinesOfOtherThreadsCarryTheirOwnTid)
{
    rl_log_init("t", 7);
    int other = 0;
    std::thread th([&] {
        other = static_cast<int>(syscall(SYS_gettid));
        rl_log_info("from thread");
    });
    th.join();
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(other, getpid());
    EXPECT_EQ(got[0].text, "t pid" + std::to_string(getpid()) + ",tid" + std::to_string(other) +
                               ",l6: from thread");
}
