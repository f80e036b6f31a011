// The request numbers must be the telephone's: on MIPS the direction bits
// sit elsewhere than on the PC, so the values are only fixed for that build;
// elsewhere their fields must still say the same thing.
#include "upgrader/requests.h"

#include <gtest/gtest.h>

TEST(Requests, TakeTheTelephonesValues)
{
    // request, its value on MIPS, direction, number, size
    const unsigned long all[][5] = {{MEMGETINFO, 0x40204D01u, _IOC_READ, 0x01, 32},
                                    {MEMERASE, 0x80084D02u, _IOC_WRITE, 0x02, 8},
                                    {MTD_REPAIR_QUERY, 0x40044D12u, _IOC_READ, 0x12, 4},
                                    {MTD_ADDR_REPAIR, 0x80084D11u, _IOC_WRITE, 0x11, 8},
                                    {MISC_IOCS_WATCHDOG, 0x80044D05u, _IOC_WRITE, 0x05, 4}};
    for (const auto &e : all) {
#if defined(__mips__)
        EXPECT_EQ(e[0], e[1]);
#endif
        unsigned long fields[] = {_IOC_TYPE(e[0]), _IOC_DIR(e[0]), _IOC_NR(e[0]), _IOC_SIZE(e[0])};
        EXPECT_EQ(std::vector<unsigned long>(fields, fields + 4),
                  (std::vector<unsigned long>{'M', e[2], e[3], e[4]}));
    }
}
