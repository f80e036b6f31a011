#include "common/hosttool.h"

#include <CLI/CLI.hpp>
#include <openssl/evp.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

namespace hosttool
{

const char *project_version() { return UPGRADER_PROJECT_VERSION; }

void add_version_flag(CLI::App &app)
{
    app.set_version_flag("--version", app.get_name() + " " + project_version(),
                         "Print the version and exit");
}

bool parse_command_line(CLI::App &app, int argc, char **argv, int *exit_code)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // CLI11's own codes (105, 106, ...) are not ours: every refusal of
        // the command line is a usage error.
        *exit_code = app.exit(e) == 0 ? kExitOk : kExitUsage;
        return false;
    }
    return true;
}

std::string path_error(const std::string &path, const std::string &what, int err)
{
    return path + ": " + what + ": " + strerror(err);
}

namespace
{

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd > 2)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// Feeds what fd gives, 64 KiB at a time, to take until the end; false when
// a read fails (*error names shown) or take says stop (it sets *error).
template <typename Take>
bool read_chunks(int fd, const std::string &shown, std::string *error, Take take)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = path_error(shown, "cannot read", errno);
            return false;
        }
        if (n == 0)
            return true;
        if (!take(buf, static_cast<size_t>(n)))
            return false;
    }
}

const char *display(const std::string &path) { return path == "-" ? "standard input" : path.c_str(); }

template <typename Buffer>
bool read_all(const std::string &path, uint64_t limit, Buffer *out, std::string *error)
{
    out->clear();
    Fd in(path == "-" ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.fd < 0) {
        *error = path_error(path, "cannot open", errno);
        return false;
    }
    struct stat st;
    if (fstat(in.fd, &st) != 0) {
        *error = path_error(display(path), "cannot read", errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) {
        *error = std::string(display(path)) + ": not a regular file";
        return false;
    }
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) {
        *error = std::string(display(path)) + ": " + std::to_string(st.st_size) +
                 " bytes, more than the " + std::to_string(limit) + " allowed";
        return false;
    }
    if (S_ISREG(st.st_mode))
        out->reserve(static_cast<size_t>(st.st_size)); // one allocation for a pack
    // Opened without blocking so that a FIFO with no writer cannot hang the
    // open; reads block again.
    int flags = fcntl(in.fd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK); // a failure shows as EAGAIN below
    return read_chunks(in.fd, display(path), error, [&](const char *buf, size_t n) {
        // Counted as it comes: a stream or a growing file never makes us
        // hold more than the limit.
        if (out->size() + n > limit) {
            *error = std::string(display(path)) + ": more than the " + std::to_string(limit) +
                     " bytes allowed";
            out->clear();
            return false;
        }
        out->insert(out->end(), buf, buf + n);
        return true;
    });
}

bool write_fd(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool read_input(const std::string &path, uint64_t limit, std::vector<uint8_t> *out,
                std::string *error)
{
    return read_all(path, limit, out, error);
}

bool read_input(const std::string &path, uint64_t limit, std::string *out, std::string *error)
{
    return read_all(path, limit, out, error);
}

bool write_output(const std::string &path, const void *data, size_t size, mode_t mode,
                  std::string *error)
{
    if (path == "-") {
        if (!write_fd(1, data, size)) {
            *error = path_error("standard output", "cannot write", errno);
            return false;
        }
        return true;
    }
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    Fd out(mkostemp(name.data(), O_CLOEXEC));
    if (out.fd < 0) {
        *error = path_error(path, "cannot create", errno);
        return false;
    }
    tmp = name.data();
    // A file we replace keeps its mode; a new one gets mode less the umask.
    struct stat st;
    mode_t want = mode;
    if (stat(path.c_str(), &st) == 0) {
        want = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        want = mode & ~mask;
    }
    int err = 0;
    if (!write_fd(out.fd, data, size) || fsync(out.fd) != 0)
        err = errno;
    else if (fchmod(out.fd, want) != 0)
        err = errno;
    else if (rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        unlink(tmp.c_str());
        *error = path_error(path, "cannot write", err);
        return false;
    }
    return true;
}

bool write_output(const std::string &path, const std::string &text, std::string *error)
{
    return write_output(path, text.data(), text.size(), 0644, error);
}

bool same_file(const std::string &output, const std::string &input)
{
    if (output == "-" || input == "-")
        return false;
    struct stat a, b;
    if (stat(output.c_str(), &a) == 0 && stat(input.c_str(), &b) == 0)
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    return false;
}

namespace
{

// The scratch directories alive now, for the signal handler: fixed slots of
// plain characters, filled before a signal can need them.
constexpr int kSlots = 8;
char g_scratch[kSlots][PATH_MAX];
volatile sig_atomic_t g_used[kSlots];

// Runs "rm -rf" on every live scratch directory, then dies of the signal
// as it would have. fork, execve and waitpid are async-signal-safe; walking
// the tree here would not be.
void on_fatal_signal(int sig)
{
    for (int i = 0; i < kSlots; ++i) {
        if (!g_used[i])
            continue;
        pid_t pid = fork();
        if (pid == 0) {
            char rm[] = "/bin/rm", rf[] = "-rf", dd[] = "--";
            char *argv[] = {rm, rf, dd, g_scratch[i], nullptr};
            char *envp[] = {nullptr};
            execve(rm, argv, envp);
            _exit(127);
        }
        if (pid > 0) {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_handlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace

ScratchDir::ScratchDir(const char *prefix)
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                       prefix + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (name.size() > PATH_MAX || mkdtemp(name.data()) == nullptr) {
        error_ = path_error(tmpl, "cannot create a scratch directory",
                            name.size() > PATH_MAX ? ENAMETOOLONG : errno);
        return;
    }
    path_ = name.data();
    install_handlers();
    for (int i = 0; i < kSlots; ++i) {
        if (!g_used[i]) {
            memcpy(g_scratch[i], path_.c_str(), path_.size() + 1);
            g_used[i] = 1;
            slot_ = i;
            break;
        }
    }
}

void ScratchDir::keep()
{
    if (slot_ >= 0)
        g_used[slot_] = 0;
    slot_ = -1;
    path_.clear();
}

ScratchDir::~ScratchDir()
{
    if (slot_ >= 0)
        g_used[slot_] = 0;
    if (path_.empty())
        return;
    // The scratch copy may hold read-only directories and FIFOs; rm copes
    // with both where a recursive delete in-process would need to chmod.
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/rm", "rm", "-rf", "--", path_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

namespace
{
std::string hex_of(const unsigned char *md, unsigned int len)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}
} // namespace

std::string sha256_hex(const void *data, size_t size)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data, size, md, &len, EVP_sha256(), nullptr) != 1)
        return "";
    return hex_of(md, len);
}

bool sha256_file(const std::string &path, std::string *hex, std::string *error)
{
    Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) {
        *error = path_error(path, "cannot open", errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        *error = path + ": SHA-256 is not available";
        return false;
    }
    if (!read_chunks(in.fd, path, error, [&](const char *buf, size_t n) {
            return EVP_DigestUpdate(ctx.get(), buf, n) == 1 ||
                   (*error = path + ": SHA-256 failed", false);
        }))
        return false;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) {
        *error = path + ": SHA-256 failed";
        return false;
    }
    *hex = hex_of(md, len);
    return true;
}

} // namespace hosttool
