#include "upgrader/shellcmd.h"

#include <gtest/gtest.h>
#include <stdlib.h>

TEST(ShellcmdStatus, OnlyAZeroExitCounts)
{
    EXPECT_EQ(system_return_check(system("exit 0")), 0);
    EXPECT_EQ(system_return_check(system("exit 1")), -1);
    EXPECT_EQ(system_return_check(system("kill -TERM $$")), -1); // ended by a signal
    EXPECT_EQ(system_return_check(-1), -1);                      // system() itself failed
}
