#include "log/rl_log.h"

#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

int g_log_level = LOG_DEBUG;
int g_nFlag = 0;
char g_module_name[15] = "";
int g_pid = 0;

namespace {

constexpr size_t kLineSize = 4096;

// The composed prefix becomes part of a format string for vsyslog, so a '%'
// in the module name is doubled to print as itself instead of being taken
// for a conversion that would read arguments the caller never passed.
void escape_percent(const char *in, char *out, size_t size)
{
    size_t n = 0;
    for (const char *p = in; *p != '\0' && n + 2 < size; ++p) {
        if (*p == '%')
            out[n++] = '%';
        out[n++] = *p;
    }
    out[n] = '\0';
}

void rl_log_common(int level, const char *format, va_list args)
{
    char line[kLineSize];
    memset(line, 0, sizeof(line));
    char name[2 * sizeof(g_module_name)];
    escape_percent(g_module_name, name, sizeof(name));
    int tid = static_cast<int>(syscall(SYS_gettid));
    // The caller's format is copied unexpanded; vsyslog expands it with the
    // caller's arguments. snprintf cuts anything beyond 4095 characters.
    snprintf(line, sizeof(line), "%s pid%d,tid%d,l%d: %s", name, g_pid, tid, level, format);
    vsyslog(level, line, args);
}

} // namespace

int rl_log_init(const char *module_name, int level)
{
    if (g_nFlag == 1)
        return 0;
    g_nFlag = 1;
    closelog();
    strncpy(g_module_name, module_name != nullptr ? module_name : "", sizeof(g_module_name));
    g_module_name[sizeof(g_module_name) - 1] = '\0';
    g_pid = static_cast<int>(getpid());
    g_log_level = level;
    openlog("", LOG_NDELAY, LOG_USER);
    return 0;
}

void rl_log_deinit(void)
{
    if (g_nFlag == 0)
        return;
    g_nFlag = 0;
    closelog();
}

void rl_log_reset_level(int level) { g_log_level = level; }

#define RL_LOG_LEVEL_FUNCTION(name, level)                                                         \
    void name(const char *format, ...)                                                             \
    {                                                                                              \
        if (format == nullptr || format[0] == '\0' || g_log_level < (level))                       \
            return;                                                                                \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        rl_log_common((level), format, args);                                                      \
        va_end(args);                                                                              \
    }

RL_LOG_LEVEL_FUNCTION(rl_log_emerg, LOG_EMERG)
RL_LOG_LEVEL_FUNCTION(rl_log_alert, LOG_ALERT)
RL_LOG_LEVEL_FUNCTION(rl_log_crit, LOG_CRIT)
RL_LOG_LEVEL_FUNCTION(rl_log_err, LOG_ERR)
RL_LOG_LEVEL_FUNCTION(rl_log_warn, LOG_WARNING)
RL_LOG_LEVEL_FUNCTION(rl_log_notice, LOG_NOTICE)
RL_LOG_LEVEL_FUNCTION(rl_log_info, LOG_INFO)
RL_LOG_LEVEL_FUNCTION(rl_log_debug, LOG_DEBUG)
