// The pictures the telephone's LCD must hold, drawn by the UI library on a
// plain root with the default telephone's hardware version, to compare with
// the frames of a run.
#ifndef TESTS_INTEGRATION_SCREENS_H
#define TESTS_INTEGRATION_SCREENS_H

#include "files.h"
#include "isolation.h"
#include "lcd_root.h"
#include "phonesim_run.h"

#include "basicui/basicUI.h"
#include "log/rl_log.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport
{

using Screen = std::function<void(CBasicUI &)>;

inline Screen progress_screen(int percent)
{
    return [percent](CBasicUI &ui) { ui.SetUpgradingProgressBar(percent); };
}

inline Screen failed_screen(const char *text, int id)
{
    return [text, id](CBasicUI &ui) { ui.ShowUpgradingFailedInfoWithID(text, id); };
}

inline Screen countdown_screen(int id, int seconds)
{
    return [id, seconds](CBasicUI &ui) { ui.ShowUpgradingAutop2FailedInfoWithID(id, seconds); };
}

inline Screen rebooting_screen()
{
    return [](CBasicUI &ui) { ui.DispNoticeInfo("Rebooting..."); };
}

// The LCD (hex) after each of the screens, drawn one after the other as the
// program draws them. The UI keeps one dialog and one mapped frame buffer per
// process, so the drawing happens in a child of its own, from a fresh start.
inline std::vector<std::string> drawn_screens(const std::vector<Screen> &screens)
{
    TempDir out;
    std::string pictures = out.path() + "/pictures";
    pid_t pid = fork();
    if (pid == 0) {
        int rc = 1;
        {
            // No private namespaces here (phonesim needs the host's FUSE),
            // so the drawing keeps quiet instead of writing to the host's log.
            rl_log_reset_level(-1);
            ScopedRoot root;
            make_lcd_root(root, "59.1.0.1.2.0.0.0\n");
            CBasicUI ui;
            if (ui.Init() >= 0) {
                std::string text;
                for (const Screen &show : screens) {
                    show(ui);
                    text += to_hex(slurp(root / "/dev/fb0")) + "\n";
                }
                ui.Deinit();
                put(pictures, text);
                rc = 0;
            }
        }
        _exit(rc);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {"no picture drawn"};
    std::vector<std::string> hex;
    std::string text = slurp(pictures);
    for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        hex.push_back(text.substr(pos, nl - pos));
    return hex;
}

// The screen of every frame of the run, with repeats of the same picture in
// a row taken out: what a person watching the LCD saw change.
inline std::vector<std::string> screen_changes(const nlohmann::json &report)
{
    std::vector<std::string> out;
    if (report.is_object() && report.contains("frames"))
        for (const nlohmann::json &f : report["frames"]) {
            std::string s = screen_hex(report, f);
            if (out.empty() || out.back() != s)
                out.push_back(s);
        }
    return out;
}

} // namespace testsupport

#endif
