// A simulated telephone made at the test's platform root, its kernel and NOR
// flash mounted inside the test process, for the tests of what the upgrader
// does to the flash partitions.
#ifndef TESTS_UNIT_UPGRADER_PHONE_FIXTURE_H
#define TESTS_UNIT_UPGRADER_PHONE_FIXTURE_H

#include "files.h"
#include "fuse_device.h"
#include "isolation.h"
#include "logged.h"
#include "phonesim/init.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/devenv.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport
{

// The kernel is mounted in a private namespace, with a /dev/fuse of its own.
inline ::testing::Environment *const g_phone_isolated =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));
inline ::testing::Environment *const g_phone_fuse =
    ::testing::AddGlobalTestEnvironment(new FuseDeviceEnvironment);

// How many of lines contain needle, at any level.
inline int count_containing(const std::vector<Logged> &lines, const std::string &needle)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const Logged &l) {
        return l.message.find(needle) != std::string::npos;
    }));
}

class PhoneFixture : public ::testing::Test
{
  protected:
    void SetUp() override { profile = phonesim::default_profile(); }
    void TearDown() override { kernel.reset(); } // unmounted before the root goes

    // Makes the telephone from profile (with /bin copied to /tmp/bin, as the
    // program does), lets before_mount change its state, and starts the
    // kernel. The table then holds the windows as the device environment
    // would; the log starts empty.
    void boot(const std::function<void()> &before_mount = {})
    {
        paths.root = root.path();
        std::string error;
        ASSERT_EQ(phonesim::init_telephone(paths.root, profile, phonesim::InitOptions(), &error), 0)
            << error;
        ASSERT_EQ(system(("cp -rf " + at("/bin") + " " + at("/tmp/")).c_str()), 0);
        if (before_mount)
            before_mount();
        kernel.reset(new phonesim::Kernel(paths, profile, phonesim::KernelEvents()));
        ASSERT_EQ(kernel->mount(&error), 0) << error;
        for (int i = 0; i < phonesim::kPartitions; ++i) {
            snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
            table[i].start_addr = profile.mtd[i].start;
            table[i].end_addr = profile.mtd[i].end;
        }
        snprintf(table[phonesim::kPartitions].name, sizeof(table[0].name), "RomVersion");
        logged();
    }

    std::string at(const std::string &rel) const { return root / rel; }

    ScopedRoot root;
    phonesim::Profile profile;
    phonesim::Paths paths;
    std::unique_ptr<phonesim::Kernel> kernel;
    env_info table[ENV_TABLE_SIZE] = {};
};

} // namespace testsupport

#endif
