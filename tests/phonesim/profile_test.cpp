// phonesim's profile (what a telephone is made of) and init (making one).
#include "phonesim/init.h"
#include "phonesim/profile.h"

#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace phonesim
{
namespace
{

using testsupport::put;
using testsupport::slurp;
using testsupport::TempDir;

// Fields given replace the defaults (null removes a boot variable); what is
// loaded from a file is what was saved.
TEST(Profile, OverridesReplaceTheDefaultsAndRoundTrip)
{
    TempDir dir;
    put(dir.path() + "/p.json", R"({"mtd": {"mtd8": {"end": "0x90740000"},
        "mtd9": {"start": 2423521280}}, "bootenv": {"SW_OEM": "12", "SW_protect": null},
        "power_cut": {"op": 40}, "flash_timing": {"delay": 0.1}})");
    Profile p;
    std::string error;
    ASSERT_TRUE(load_profile(dir.path() + "/p.json", &p, &error)) << error;
    Profile want = default_profile();
    EXPECT_FALSE(want.power_cut.any());
    want.mtd[8].end = want.mtd[9].start = 0x90740000;
    want.bootenv = {{"MID_VERSION", "0"}, {"SW_OEM", "12"}, {"Mtd2Version", "2.0.0.1"}};
    want.power_cut.op = 40;
    want.flash_timing.delay = 0.1;
    EXPECT_EQ(profile_to_json(p), profile_to_json(want));

    Profile again;
    ASSERT_TRUE(parse_profile(profile_to_json(p), &again, &error)) << error;
    EXPECT_EQ(profile_to_json(again), profile_to_json(p));
    EXPECT_FALSE(load_profile(dir.path() + "/missing.json", &p, &error));
    EXPECT_NE(error.find("missing.json"), std::string::npos) << error;
}

class RefusedProfile : public ::testing::TestWithParam<testsupport::Row>
{
};
// The columns of phonesim-profile-refusals.rows.
enum { kName, kJson, kField };

// A bad field is refused by name and leaves the profile as it was.
TEST_P(RefusedProfile, NamesTheBadFieldAndLeavesTheProfileAsItWas)
{
    Profile p = default_profile();
    p.hwver = "untouched";
    std::string error;
    EXPECT_FALSE(parse_profile(GetParam()[kJson], &p, &error));
    EXPECT_NE(error.find(GetParam()[kField]), std::string::npos) << error;
    EXPECT_EQ(p.hwver, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RefusedProfile,
    ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/phonesim-profile-refusals.rows")),
    [](const ::testing::TestParamInfo<testsupport::Row> &info) { return info.param[0]; });

TEST(Init, RemakesATelephoneButRefusesOtherDirectories)
{
    TempDir phone, user;
    std::string error;
    ASSERT_EQ(init_telephone(phone.path(), default_profile(), {}, &error), 0) << error;
    put(phone.path() + "/tmp/left-over", "x");
    ASSERT_EQ(init_telephone(phone.path(), default_profile(), {}, &error), 0) << error;
    EXPECT_NE(access((phone.path() + "/tmp/left-over").c_str(), F_OK), 0);
    EXPECT_EQ(access((phone.path() + "/version.conf").c_str(), F_OK), 0);

    put(user.path() + "/notes.txt", "mine");
    EXPECT_EQ(init_telephone(user.path(), default_profile(), {}, &error), -1);
    EXPECT_NE(error.find("not a simulated telephone"), std::string::npos) << error;
    EXPECT_EQ(slurp(user.path() + "/notes.txt"), "mine");
}

// --busybox makes the /bin tools applets of busybox, and needs busybox.
TEST(Init, BusyboxToolsAreItsApplets)
{
    TempDir phone;
    InitOptions options;
    options.busybox = true;
    std::string error, r = phone.path();
    bool have = access("/bin/busybox", X_OK) == 0 || access("/usr/bin/busybox", X_OK) == 0;
    ASSERT_EQ(init_telephone(r, default_profile(), options, &error), have ? 0 : -1) << error;
    if (have) {
        EXPECT_EQ(slurp(r + "/bin/echo"), slurp(r + "/bin/busybox"));
        EXPECT_EQ(system((r + "/bin/echo hi > " + r + "/tmp/out").c_str()), 0);
        EXPECT_EQ(slurp(r + "/tmp/out"), "hi\n");
    }
}

} // namespace
} // namespace phonesim
