// The flash writer against stand-in MTD devices: plain files under the
// platform root whose ioctl and write requests this test answers as NOR
// flash would (an erase sets bytes to 0xFF, a write only clears bits), with
// faults asked for by the rows of tests/data/flash_burn.rows. The progress
// bar is recorded value by value by a stand-in of the UI facade: the drawn
// fill would lose precision.
#include "upgrader/flash.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "upgrader/requests.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr uint32_t kBlock = 0x10000;
constexpr int kParts = 10;
const uint32_t kBlocks[kParts] = {2, 4, 4, 1, 2, 2, 2, 2, 2, 2};

// What the stand-in devices do and what was asked of them.
struct Fakes {
    ino_t ino[kParts] = {};
    dev_t dev = 0;
    int fault_on = -1;
    std::string fault;
    int index = -1;
    int erases[kParts] = {}, writes[kParts] = {}; // requests so far
} g_fake;

std::vector<int> g_progress;

int fake_of(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != g_fake.dev)
        return -1;
    for (int n = 0; n < kParts; ++n)
        if (g_fake.ino[n] != 0 && st.st_ino == g_fake.ino[n])
            return n;
    return -1;
}

bool fault(int n, const char *kind, int index = -1)
{
    return n == g_fake.fault_on && g_fake.fault == kind && (index < 0 || index == g_fake.index);
}

} // namespace

// Every ioctl and write of the process passes here; those on a stand-in
// device are answered, the others go on to the C library.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int n = fake_of(fd);
    if (n < 0) {
        using Real = int (*)(int, unsigned long, ...);
        static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, arg);
    }
    if (request == MEMGETINFO && !fault(n, "info")) {
        mtd_info_user info = {};
        info.erasesize = kBlock;
        memcpy(arg, &info, sizeof(info));
        return 0;
    }
    if (request == MEMERASE && !fault(n, "erase", g_fake.erases[n]++)) {
        erase_info_user e;
        memcpy(&e, arg, sizeof(e));
        std::string ff(e.length, '\xff');
        return pwrite(fd, ff.data(), ff.size(), e.start) == ssize_t(ff.size()) ? 0 : -1;
    }
    errno = request == MEMGETINFO || request == MEMERASE ? EIO : ENOTTY;
    return -1;
}

extern "C" ssize_t write(int fd, const void *buf, size_t len)
{
    using Real = ssize_t (*)(int, const void *, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    int n = fake_of(fd);
    if (n < 0)
        return real(fd, buf, len);
    if (fault(n, "write", g_fake.writes[n]++)) {
        errno = EIO;
        return -1;
    }
    if (fault(n, "short"))
        len = (len + 1) / 2;
    off_t at = lseek(fd, 0, SEEK_CUR);
    std::string cells(len, '\0');
    ssize_t got = pread(fd, &cells[0], len, at);
    if (got < 0)
        return -1;
    cells.resize(size_t(got));
    for (size_t i = 0; i < cells.size(); ++i)
        cells[i] = char(cells[i] & static_cast<const char *>(buf)[i]);
    ssize_t done = pwrite(fd, cells.data(), cells.size(), at);
    if (done > 0)
        lseek(fd, done, SEEK_CUR);
    return done;
}

// The facade as the flash writer uses it: only what it calls is defined, so
// any new use shows as a link error rather than as an unrecorded screen.
CBasicUI::CBasicUI() {}
CBasicUI::~CBasicUI() {}
int CBasicUI::SetUpgradingProgressBar(int percent)
{
    g_progress.push_back(percent);
    return 0;
}

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

std::vector<std::string> words(const std::string &text, char by = ' ')
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; std::getline(in, w, by);)
        if (!w.empty())
            out.push_back(w);
    return out;
}

class FlashBurn : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_fake = Fakes();
        g_progress.clear();
        mkdir((root / "/dev").c_str(), 0755);
        uint32_t start = 0x90000000;
        for (int n = 0; n < kParts; ++n) {
            std::string name = "mtd" + std::to_string(n);
            testsupport::put(device(n), old(n));
            struct stat st;
            ASSERT_EQ(stat(device(n).c_str(), &st), 0);
            g_fake.ino[n] = st.st_ino;
            g_fake.dev = st.st_dev;
            strcpy(table[n].name, name.c_str());
            table[n].start_addr = start;
            table[n].end_addr = start += kBlocks[n] * kBlock;
        }
    }
    void TearDown() override { g_fake = Fakes(); }
    std::string device(int n) const { return root / ("/dev/mtd" + std::to_string(n)); }
    // What partition n holds before the burn.
    static std::string old(int n)
    {
        std::string c(kBlocks[n] * kBlock, '\0');
        for (uint32_t at = 0; at < c.size(); ++at)
            c[at] = char(at * 7 + (at >> 16) + n + 1);
        return c;
    }
    static std::string payload(int id, uint32_t size)
    {
        std::string p(size, '\0');
        for (uint32_t b = 0; b < size; ++b)
            p[b] = char(b * 13 + (b >> 9) + id * 41);
        return p;
    }

    testsupport::ScopedRoot root;
    env_info table[ENV_TABLE_SIZE] = {};
};

// Rows: name | partitions | fault | code | progress | what each holds.
TEST_F(FlashBurn, Rows)
{
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/flash_burn.rows")) {
        SCOPED_TRACE(r[0]);
        SetUp();
        std::vector<uint8_t> pack(64, 0);
        std::vector<Partition_Header> headers;
        std::vector<int> flags;
        for (const std::string &p : words(r[1])) {
            std::vector<std::string> f = words(p, ':');
            Partition_Header h = {};
            h.partition_id = uint32_t(std::stoul(f[0]));
            h.partition_size = uint32_t(std::stoul(f[1]));
            h.partition_offset = uint32_t(pack.size());
            std::string bytes = payload(int(h.partition_id), h.partition_size);
            pack.insert(pack.end(), bytes.begin(), bytes.end());
            headers.push_back(h);
            flags.push_back(f.size() > 2 ? std::stoi(f[2]) : 1);
        }
        std::vector<std::string> f = words(r[2], ':');
        if (f.size() == 1 && f[0] == "kernel_only")
            upgrader_kernel_only = 1;
        else if (!f.empty()) {
            g_fake.fault_on = std::stoi(f[0]);
            g_fake.fault = f[1];
            g_fake.index = f.size() > 2 ? int(std::stoul(f[2], nullptr, 0)) : -1;
            if (f[1] == "open")
                unlink(device(g_fake.fault_on).c_str());
            if (f[1] == "noenv")
                table[g_fake.fault_on].name[0] = '\0';
            if (f[1] == "window")
                table[g_fake.fault_on].end_addr = uint32_t(g_fake.index);
        }
        CBasicUI ui;
        int code = upgrader_burn_flash(pack.data(), table, int(headers.size()), headers.data(),
                                       flags.data(), &ui);
        upgrader_kernel_only = 0;
        EXPECT_EQ(code, std::stoi(r[3]));
        std::vector<int> progress;
        for (const std::string &p : words(r[4]))
            progress.push_back(std::stoi(p));
        EXPECT_EQ(g_progress, progress);
        std::vector<std::string> holds = words(r[5]);
        ASSERT_EQ(holds.size(), headers.size());
        std::vector<bool> listed(kParts);
        for (size_t i = 0; i < headers.size(); ++i) {
            int n = int(headers[i].partition_id);
            uint32_t size = headers[i].partition_size, to = size, erased = kBlocks[n] * kBlock;
            listed[size_t(n)] = true;
            if (holds[i] == "-")
                continue;
            if (holds[i] == "o")
                to = erased = 0;
            else if (holds[i] != "w")
                to = uint32_t(std::stoul(words(holds[i], ':')[0], nullptr, 0)),
                erased = uint32_t(std::stoul(words(holds[i], ':')[1], nullptr, 0));
            std::string want = old(n), p = payload(n, size);
            std::fill(want.begin(), want.begin() + erased, '\xff');
            for (uint32_t a = 0; a < to; ++a)
                want[a] = char(want[a] & p[a]);
            EXPECT_TRUE(testsupport::slurp(device(n)) == want) << "mtd" << n;
        }
        for (int n = 0; n < kParts; ++n)
            if (!listed[size_t(n)]) {
                EXPECT_TRUE(testsupport::slurp(device(n)) == old(n)) << "mtd" << n;
            }
        TearDown();
    }
}

// Missing arguments are refused before the bar moves; no partitions to
// burn finish the bar at once.
TEST_F(FlashBurn, NothingToBurn)
{
    CBasicUI ui;
    uint8_t byte[100] = {};
    int flag = 1;
    Partition_Header part = {};
    EXPECT_EQ(upgrader_burn_flash(nullptr, table, 1, &part, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, table, 1, &part, nullptr, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, table, 1, &part, &flag, nullptr), -1);
    EXPECT_TRUE(g_progress.empty());
    EXPECT_EQ(upgrader_burn_flash(byte, table, 0, &part, &flag, &ui), 0);
    EXPECT_EQ(g_progress, std::vector<int>{100});
}

} // namespace
