// Shows each screen of the upgrade UI once, the way the upgrade does (through
// CBasicUI), on a temporary root whose frame buffer is a regular file, and
// writes what reached the frame buffer as DIR/NAME.png, four times the LCD's
// size, so that a reader sees the UI without a telephone:
//   screensheet docs/screens
// The user-setting screen is typed into through a FIFO in place of the
// keypad and pictured halfway through the entry.
#include "basicui/basicUI.h"
#include "common/png_out.h"

#include "basicui/key.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr int kWidth = 132, kHeight = 64, kScale = 4;
constexpr png_byte kInk = 0x18, kPaper = 0xD8;

bool put(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return fclose(f) == 0 && ok;
}

std::string slurp(const std::string &path)
{
    std::string data;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof(chunk), f)) > 0;)
            data.append(chunk, n);
        fclose(f);
    }
    return data;
}

// The frame buffer file as a picture (bit y * 132 + x, least significant bit
// first, 1 = ink).
bool write_png(const std::string &fb, const std::string &path)
{
    if (fb.size() < size_t(kWidth * kHeight / 8)) {
        fprintf(stderr, "screensheet: short frame buffer\n");
        return false;
    }
    const int width = kWidth * kScale, height = kHeight * kScale;
    std::vector<png_byte> pixels(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int bit = (y / kScale) * kWidth + x / kScale;
            pixels[size_t(y) * width + x] =
                (static_cast<unsigned char>(fb[bit / 8]) >> (bit % 8)) & 1 ? kInk : kPaper;
        }
    std::string error;
    if (png_out_write(path, pixels.data(), width, height, nullptr, 0, &error))
        return true;
    fprintf(stderr, "screensheet: %s\n", error.c_str());
    return false;
}

int ink(const std::string &fb)
{
    int count = 0;
    for (unsigned char c : fb)
        count += __builtin_popcount(c);
    return count;
}

void press(int fifo, int code)
{
    unsigned char event[KEY_EVENT_SIZE] = {};
    event[8] = 1; // EV_KEY
    event[KEY_EVENT_CODE_OFFSET] = static_cast<unsigned char>(code);
    event[KEY_EVENT_VALUE_OFFSET] = KEY_VALUE_PRESS;
    if (write(fifo, event, sizeof(event)) != ssize_t(sizeof(event)))
        fprintf(stderr, "screensheet: key %d not sent\n", code);
    // The keypad keeps only the last press between two polls of the screen.
    usleep(200 * 1000);
}

bool make_root(const std::string &root)
{
    for (const char *dir : {"/dev", "/dev/input", "/proc", "/proc/glcd", "/proc/misc"})
        if (mkdir((root + dir).c_str(), 0755) != 0)
            return false;
    return put(root + "/dev/fb0", std::string(kWidth * kHeight / 8, '\0')) &&
           put(root + "/proc/glcd/refresh", "") &&
           put(root + "/proc/misc/hwver", "60.0.0.1.0.0.0.0\n") &&
           mkfifo((root + KEY_DEVICE).c_str(), 0600) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: screensheet <output directory>\n");
        return 2;
    }
    const std::string out = argv[1];
    char temp[] = "/tmp/screensheet.XXXXXX";
    if (mkdtemp(temp) == nullptr || !make_root(temp)) {
        fprintf(stderr, "screensheet: cannot set up a root under /tmp\n");
        return 1;
    }
    const std::string root = temp;
    setenv(UPGRADER_ROOT_ENV, temp, 1);
    setenv(UPGRADER_PAUSE_SCALE_ENV, "1", 1);
    // Held open for reading and writing, so the keypad thread's open does
    // not wait and the presses stay in the pipe until it reads them.
    const int fifo = open((root + KEY_DEVICE).c_str(), O_RDWR);

    CBasicUI ui;
    bool ok = fifo >= 0 && ui.Init() >= 0;
    auto shot = [&](const char *name) {
        ok = write_png(slurp(root + "/dev/fb0"), out + "/" + name + ".png") && ok;
    };

    ui.SetUpgradingProgressBar(50);
    shot("progress");
    ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74);
    shot("failed");
    ui.ShowUpgradingAutop2FailedInfoWithID(-74, 60);
    shot("autop_failed");
    ui.ShowUpgradingExtFailed();
    shot("ext_failed");
    ui.ShowUpgradingExtInfo(2);
    shot("ext_upgrading");
    ui.ShowUpgradedExtInfo(3);
    shot("ext_upgraded");
    const char *const lines[] = {"Upgrade Status", "Firmware 2.0.0.15", nullptr, "Checking ROM..."};
    ui.ShowInfo(lines, 4);
    shot("info");
    ui.DispNoticeInfo("Rebooting...");
    shot("notice");

    char user[32], password[32];
    // The sheet shows the screen; what it returns is not part of the picture.
    std::thread screen(
        [&] { (void)ui.OpenUserSetting(user, sizeof(user), password, sizeof(password)); });
    usleep(700 * 1000); // the keypad thread's first start
    for (int code : {KPAD_2, KPAD_RIGHT, KPAD_5, KPAD_5, KPAD_5, KPAD_RIGHT, KPAD_NEXT, KPAD_SOFT2,
                     KPAD_1, KPAD_2, KPAD_RIGHT})
        press(fifo, code);
    // The caret blinks; of the frames over more than two blinks, keep the
    // one showing it (the most ink), so that a remake gives the same picture.
    std::string caret;
    for (int i = 0; i < 30; ++i, usleep(50 * 1000)) {
        const std::string fb = slurp(root + "/dev/fb0");
        if (ink(fb) > ink(caret))
            caret = fb;
    }
    ok = write_png(caret, out + "/user_setting.png") && ok;
    press(fifo, KPAD_SOFT1);
    screen.join();

    ui.Deinit();
    close(fifo);
    for (const char *file : {"/dev/fb0", "/proc/glcd/refresh", "/proc/misc/hwver", KEY_DEVICE})
        unlink((root + file).c_str());
    for (const char *dir : {"/dev/input", "/dev", "/proc/glcd", "/proc/misc", "/proc", ""})
        rmdir((root + dir).c_str());
    return ok ? 0 : 1;
}
