// Tests that mount phonesim's kernel inside an isolated environment: its
// private /dev lacks /dev/fuse, so the node is made there with the number of
// the host's, looked up when the environment is registered (before the
// isolation replaces /dev).
#ifndef TESTS_SUPPORT_FUSE_DEVICE_H
#define TESTS_SUPPORT_FUSE_DEVICE_H

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace testsupport
{

class FuseDeviceEnvironment : public ::testing::Environment
{
  public:
    FuseDeviceEnvironment() : have_fuse_(stat("/dev/fuse", &host_fuse_) == 0) {}

    void SetUp() override
    {
        ASSERT_TRUE(have_fuse_) << "no /dev/fuse on this machine";
        ASSERT_EQ(mknod("/dev/fuse", S_IFCHR | 0666, host_fuse_.st_rdev), 0) << strerror(errno);
    }

  private:
    struct stat host_fuse_;
    bool have_fuse_;
};

} // namespace testsupport

#endif
