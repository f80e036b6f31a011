// The upgrade UI as the upgrade control and the flash writer see it: each
// method fills one screen request of simpleui with fixed texts and the
// caller's values and shows it. The class holds no state of its own (the
// dialog record, the LCD buffer and the last key are the screen UI's
// globals), so any number of instances may exist.
//
// Only OpenUserSetting waits for keys; a caller that needs a key after a
// failure screen reads it with GetKeyPressed (the "Reboot" label stands
// above keypad code 35).
#ifndef BASICUI_BASICUI_H
#define BASICUI_BASICUI_H

#define BASICUI_MODULE_NAME "basicUI"
#define BASICUI_VERSION "2.0.0.15"

// Lines an information screen can show: the title and four lines.
#define BASICUI_INFO_LINES 5

class CBasicUI
{
  public:
    // Nothing to set up or release: the state is the screen UI's.
    CBasicUI();
    ~CBasicUI();

    // Creates the dialog record and brings up the LCD. Always 0: a missing
    // LCD is logged and the screens then draw nothing, so that an upgrade
    // is not given up only because it cannot be watched.
    [[nodiscard]] int Init();
    // Releases the LCD; the dialog record stays for a later Init.
    void Deinit();
    // Logs the banner with this unit's build date and time.
    void ShowVersion();

    // Title lines[0], then lines[1] to lines[count - 1] (at most four); a
    // null entry is a blank line. A null array or a count below 1 is
    // logged and shows nothing.
    void ShowInfo(const char *const *lines, int count);
    // "Upgrade Status" with "message:id" (the message alone for id 0) and a
    // "Reboot" soft key. 0.
    int ShowUpgradingFailedInfo(const char *message, int id);
    // Forwards to ShowUpgradingFailedInfo. 0.
    int ShowUpgradingFailedInfoWithID(const char *message, int id);
    // "Upgrading Expansion Status": the expansion's upgrade failed, check the
    // ROM file; a "Reboot" soft key. 0.
    int ShowUpgradingExtFailed();
    // "Upgrading Expansion Status": connect an expansion, count upgraded so
    // far, please wait; no soft key. 0.
    int ShowUpgradingExtInfo(int count);
    // The same without the waiting line, with "Start" and "Reboot" soft
    // keys. 0.
    int ShowUpgradedExtInfo(int count);
    // One frame of the auto-provision countdown: the failure code and the
    // seconds left. 0.
    int ShowUpgradingAutop2FailedInfoWithID(int code, int seconds);
    // Progress screen; the fill is percent * 98 / 100 pixels, at most 98. 0,
    // also when the LCD could not be refreshed (logged): the upgrade goes on
    // without a screen, and the next call draws again.
    int SetUpgradingProgressBar(int percent);
    // User-setting screen; waits for confirm (1) or cancel (2). The texts
    // are copied as strncpy does (NUL-padded, unterminated when they fill
    // the buffer). -1 for a null buffer.
    [[nodiscard]] int OpenUserSetting(char *user, int userSize, char *password, int passwordSize);
    // The text alone, centred on the middle line; null leaves the screen.
    void DispNoticeInfo(const char *text);
    // The last key press, 0 when none; no screen.
    int GetKeyPressed();
};

#endif
