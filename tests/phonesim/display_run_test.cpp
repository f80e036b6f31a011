// The display unit against the simulated telephone's kernel: a refresh must
// show the mapped frame buffer, and misc requests must reach the misc device.
#include "isolation.h"
#include "phonesim_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;
using testsupport::phonesim;
using testsupport::screen_hex;
using testsupport::slurp;
using testsupport::TempDir;

namespace
{

std::string pattern_hex(bool inverted)
{
    std::string hex;
    for (unsigned i = 0; i < 1056; ++i) {
        unsigned byte = (i * 13 + 5) & 0xff;
        char text[3];
        snprintf(text, sizeof(text), "%02x", inverted ? 0xff - byte : byte);
        hex += text;
    }
    return hex;
}

} // namespace

TEST(DisplayRun, RefreshesShowTheMappedFrameBufferAndMiscRequestsAreRecorded)
{
    TempDir tmp;
    std::string dir = tmp.path() + "/phone";
    std::string out = tmp.path() + "/out";
    ASSERT_EQ(phonesim({"init", dir}, out), 0) << slurp(out);
    ASSERT_EQ(phonesim({"run", dir, "--time-limit", "20", "--", PHONESIM_DISPLAY_PROBE}, out), 0)
        << slurp(out);

    json r = testsupport::last_report(dir);
    ASSERT_FALSE(r.is_discarded());
    ASSERT_EQ(r["frames"].size(), 2u) << r["frames"].dump();
    EXPECT_EQ(screen_hex(r, r["frames"][0]), pattern_hex(false));
    EXPECT_EQ(screen_hex(r, r["frames"][1]), pattern_hex(true));
    EXPECT_EQ(r["misc"], json({"MISC_IOCS_LED 5", "MISC_IOCS_BKLIGHT 1"})) << r["misc"].dump();
}
