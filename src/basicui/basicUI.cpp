#include "basicui/basicUI.h"

#include <stdio.h>
#include <string.h>

#include "basicui/simpleui.h"
#include "log/rl_log.h"

namespace
{

// Request texts hold at most 63 characters and their NUL.
void set_text(char (&dst)[SIMPLEUI_TEXT_SIZE], const char *src)
{
    snprintf(dst, sizeof(dst), "%s", src ? src : "");
}

// The request is never null here, and the screen has nothing to report: a
// failed refresh is logged where it happens.
void show(const update_info_t &info)
{
    (void)basicui_open_update_info(&info);
}

// strncpy semantics on purpose: callers size their buffers for the screen's
// 64-byte texts and expect the rest padded with NUL bytes.
void copy_out(char *dst, int size, const char *src)
{
    if (size > 0)
        strncpy(dst, src, static_cast<size_t>(size));
}

} // namespace

CBasicUI::CBasicUI() {}

CBasicUI::~CBasicUI() {}

int CBasicUI::Init()
{
    int ret = basicui_init();
    if (ret < 0)
        rl_log_err("%s: LCD init failed (%d), going on without a screen.", "Init", ret);
    return 0;
}

void CBasicUI::Deinit()
{
    basicui_deinit();
}

void CBasicUI::ShowVersion()
{
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", BASICUI_MODULE_NAME,
                BASICUI_VERSION, __DATE__, __TIME__);
}

void CBasicUI::ShowInfo(const char *const *lines, int count)
{
    if (lines == nullptr || count < 1) {
        rl_log_err("%s: invalid params.", "ShowInfo");
        return;
    }
    if (count > BASICUI_INFO_LINES)
        count = BASICUI_INFO_LINES;
    update_info_t info;
    memset(&info, 0, sizeof(info));
    char(*fields[BASICUI_INFO_LINES])[SIMPLEUI_TEXT_SIZE] = {&info.title, &info.line1, &info.line2,
                                                             &info.line3, &info.line4};
    for (int k = 0; k < count; ++k)
        set_text(*fields[k], lines[k]);
    show(info);
}

int CBasicUI::ShowUpgradingFailedInfo(const char *message, int id)
{
    rl_log_debug("Do %s", "ShowUpgradingFailedInfo");
    update_info_t info;
    memset(&info, 0, sizeof(info));
    set_text(info.title, "Upgrade Status");
    if (id != 0)
        snprintf(info.line1, sizeof(info.line1), "%s:%d", message ? message : "", id);
    else
        set_text(info.line1, message);
    set_text(info.softkey4, "Reboot");
    show(info);
    return 0;
}

int CBasicUI::ShowUpgradingFailedInfoWithID(const char *message, int id)
{
    return ShowUpgradingFailedInfo(message, id);
}

int CBasicUI::ShowUpgradingExtFailed()
{
    rl_log_debug("Do %s", "ShowUpgradingExtFailed");
    update_info_t info;
    memset(&info, 0, sizeof(info));
    set_text(info.title, "Upgrading Expansion Status");
    set_text(info.line1, "Upgrade Expansion failed,");
    set_text(info.line2, "Please check the ROM file!");
    set_text(info.softkey4, "Reboot");
    show(info);
    return 0;
}

int CBasicUI::ShowUpgradingExtInfo(int count)
{
    rl_log_debug("Do %s", "ShowUpgradingExtInfo");
    update_info_t info;
    memset(&info, 0, sizeof(info));
    set_text(info.title, "Upgrading Expansion Status");
    set_text(info.line2, "Please connect Expansion..");
    snprintf(info.line3, sizeof(info.line3), "Upgraded count:%d", count);
    set_text(info.line4, "Upgrading, Please wait...");
    show(info);
    return 0;
}

int CBasicUI::ShowUpgradedExtInfo(int count)
{
    rl_log_debug("Do %s", "ShowUpgradedExtInfo");
    update_info_t info;
    memset(&info, 0, sizeof(info));
    set_text(info.title, "Upgrading Expansion Status");
    set_text(info.line2, "Please connect Expansion..");
    snprintf(info.line3, sizeof(info.line3), "Upgraded count:%d", count);
    set_text(info.softkey1, "Start");
    set_text(info.softkey4, "Reboot");
    show(info);
    return 0;
}

int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int code, int seconds)
{
    rl_log_debug("Do %s", "ShowUpgradingAutop2FailedInfoWithID");
    update_info_t info;
    memset(&info, 0, sizeof(info));
    set_text(info.title, "Upgrade Status");
    snprintf(info.line1, sizeof(info.line1), "Upgrade failed:%d", code);
    set_text(info.line2, "Autoprovision failed,");
    set_text(info.line3, "Please check errors on web");
    snprintf(info.line4, sizeof(info.line4), "%d", seconds);
    set_text(info.softkey4, "Reboot");
    show(info);
    return 0;
}

int CBasicUI::SetUpgradingProgressBar(int percent)
{
    // A bar the LCD did not take must not stop the burn; the screen draws it
    // again at the next call.
    (void)basicui_open_upgrading(percent);
    return 0;
}

int CBasicUI::OpenUserSetting(char *user, int userSize, char *password, int passwordSize)
{
    if (user == nullptr || password == nullptr) {
        rl_log_err("%s:invalid params.", "OpenUserSetting");
        return -1;
    }
    user_setting_t setting;
    memset(&setting, 0, sizeof(setting));
    set_text(setting.title, "User Settings");
    set_text(setting.user_label, "User:");
    set_text(setting.password_label, "Passwd:");
    int result = basicui_open_user_setting(&setting);
    copy_out(user, userSize, setting.user);
    copy_out(password, passwordSize, setting.password);
    return result;
}

void CBasicUI::DispNoticeInfo(const char *text)
{
    basicui_display_updating_line(text);
}

int CBasicUI::GetKeyPressed()
{
    return basicui_get_keypressed();
}
