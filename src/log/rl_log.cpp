#include "log/rl_log.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

int g_log_level = LOG_DEBUG;
int g_nFlag = 0;
char g_module_name[15] = "";
int g_pid = 0;

namespace {

constexpr size_t kLineSize = 4096;

// For rl_log_signal_safe: the datagram socket connected by rl_log_init, and
// the offset of local time from UTC then (a handler cannot ask for the time
// zone: that takes the C library's lock).
int g_signal_fd = -1;
long g_utc_offset = 0;

const char kLogSocket[] = "/dev/log";

sockaddr_un log_address()
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, kLogSocket, sizeof(kLogSocket));
    return addr;
}

// A line composed without stdio; what does not fit is dropped.
struct SafeLine {
    char text[1024];
    size_t size = 0;

    void put(char c)
    {
        if (size < sizeof(text))
            text[size++] = c;
    }
    void put(const char *s)
    {
        while (*s != '\0')
            put(*s++);
    }
    // Decimal, at least width digits, padded on the left with pad.
    void put(long long value, int width = 1, char pad = '0')
    {
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0)
            put('-');
        for (int i = n; i < width; ++i)
            put(pad);
        while (n > 0)
            put(digits[--n]);
    }
};

// The C library's header: "<priority>Mmm dd hh:mm:ss " and the empty
// identity's ": ", the date computed from the clock alone.
void put_header(SafeLine *line, int level)
{
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long long secs = static_cast<long long>(now.tv_sec) + g_utc_offset;
    long long days = secs / 86400, of_day = secs % 86400;
    // Days since 1970-01-01 to month and day, in 400-year eras from March.
    long long z = days + 719468, era = z / 146097, doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    long long day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 2 : mp - 10;

    line->put('<');
    line->put(static_cast<long long>(LOG_USER | level));
    line->put('>');
    for (int i = 0; i < 3; ++i)
        line->put(kMonths[month * 3 + i]);
    line->put(' ');
    line->put(day, 2, ' ');
    line->put(' ');
    line->put(of_day / 3600, 2);
    line->put(':');
    line->put(of_day / 60 % 60, 2);
    line->put(':');
    line->put(of_day % 60, 2);
    line->put(" : ");
}

// Once per process: a handler may use the socket at any moment, so it is
// never closed, and a daemon that is not there yet is tried again by the
// sender.
void connect_signal_socket()
{
    if (g_signal_fd >= 0)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un addr = log_address();
    connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    // A daemon that stops reading must not hold a crashing program.
    timeval limit = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    g_signal_fd = fd;

    time_t t = time(nullptr);
    struct tm local;
    if (localtime_r(&t, &local) != nullptr)
        g_utc_offset = local.tm_gmtoff;
}

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
    connect_signal_socket();
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

void rl_log_signal_safe(int level, const char *format, ...)
{
    if (format == nullptr || format[0] == '\0' || g_log_level < level)
        return;
    SafeLine line;
    put_header(&line, level);
    line.put(g_module_name);
    line.put(" pid");
    line.put(static_cast<long long>(g_pid));
    line.put(",tid");
    line.put(static_cast<long long>(syscall(SYS_gettid)));
    line.put(",l");
    line.put(static_cast<long long>(level));
    line.put(": ");
    va_list args;
    va_start(args, format);
    for (const char *p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'd')
            line.put(static_cast<long long>(va_arg(args, int))), ++p;
        else if (p[0] == '%' && p[1] == '%')
            line.put('%'), ++p;
        else
            line.put(*p);
    }
    va_end(args);

    if (g_signal_fd >= 0 && send(g_signal_fd, line.text, line.size, MSG_NOSIGNAL) >= 0)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un addr = log_address();
    sendto(fd, line.text, line.size, MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    close(fd);
}
