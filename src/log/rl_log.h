// Logging to the system log.
//
// Every line reads: module name, " pid<pid>,tid<tid>,l<level>: ", then the
// caller's message. A message of level L is sent only while the threshold is
// at least L. The functions may be called from any thread, but only
// rl_log_signal_safe from a signal handler: the others go through the C
// library's syslog, which takes a lock and formats with stdio, so a signal
// that comes while its own thread is inside it would deadlock or corrupt the
// line.
#ifndef LOG_RL_LOG_H
#define LOG_RL_LOG_H

#include <stdarg.h>
#include <stdint.h>

#define RL_LOG_FORMAT(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))

extern int g_log_level;        // threshold; 7 (debug) before rl_log_init
extern int g_nFlag;            // 1 between rl_log_init and rl_log_deinit
extern char g_module_name[15]; // at most 14 characters and the NUL
extern int g_pid;              // process ID taken by rl_log_init

// Initialises the logger with a module name and the threshold; always 0.
// A second call while initialised changes nothing.
int rl_log_init(const char *module_name, int level);
// Closes the system log connection; logging still works afterwards.
void rl_log_deinit(void);
void rl_log_reset_level(int level);

void rl_log_emerg(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_alert(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_crit(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_err(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_warn(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_notice(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_info(const char *format, ...) RL_LOG_FORMAT(1);
void rl_log_debug(const char *format, ...) RL_LOG_FORMAT(1);

// The same line as the level functions send, for a signal handler: no lock,
// no heap, no stdio, only system calls that are safe there. It goes as one
// datagram on the socket rl_log_init connected to the log daemon (or, when
// that fails, on a socket of its own). The format knows only %d (an int) and
// %%; the line is cut at 1023 bytes with its header.
void rl_log_signal_safe(int level, const char *format, ...) RL_LOG_FORMAT(2);

// Addresses are logged as 32-bit words ("%x"): the telephone's pointers are
// 32 bits, and the log formats carry no pointer-sized conversions.
inline unsigned rl_log_addr(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

#endif
