// What every desk tool does the same way: exit statuses, --version, errors
// that name the path and the system's reason, inputs and outputs where "-"
// is the standard stream, outputs that appear whole or not at all, scratch
// directories that go on every exit, and SHA-256 digests people can check
// with sha256sum.
#ifndef TOOLS_COMMON_HOSTTOOL_H
#define TOOLS_COMMON_HOSTTOOL_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace CLI
{
class App;
}

namespace hosttool
{

// The exit statuses of rompack, faults and the tools after them.
constexpr int kExitOk = 0;     // success, or the pack is accepted
constexpr int kExitFailed = 1; // refused, or the work failed
constexpr int kExitUsage = 2;  // bad command line or bad input

// The project version, as `TOOL --version` prints it.
const char *project_version();

// Adds --version to app (prints "NAME VERSION").
void add_version_flag(CLI::App &app);

// Parses argv; on --help or --version prints and sets *exit_code to 0, on a
// usage error prints CLI11's message and sets it to kExitUsage. Returns true
// when the tool should go on.
bool parse_command_line(CLI::App &app, int argc, char **argv, int *exit_code);

// "PATH: WHAT: REASON" with REASON the text of err.
std::string path_error(const std::string &path, const std::string &what, int err);

// Reads a whole input: "-" is standard input. Anything but a regular file or
// a stream (a directory, a device) is refused before reading, and so is more
// than limit bytes, counted while reading. false with *error naming the path.
bool read_input(const std::string &path, uint64_t limit, std::vector<uint8_t> *out,
                std::string *error);
bool read_input(const std::string &path, uint64_t limit, std::string *out, std::string *error);

// Writes a whole output: "-" is standard output; a file is written to a
// temporary name beside it, synced and renamed over PATH, so a full disk or
// a crash never leaves a half-written PATH. mode applies to a new file.
bool write_output(const std::string &path, const void *data, size_t size, mode_t mode,
                  std::string *error);
bool write_output(const std::string &path, const std::string &text, std::string *error);

// True when output (which may not exist yet) names the same file as input.
bool same_file(const std::string &output, const std::string &input);

// A scratch directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes, and also when the tool is ended by SIGINT, SIGTERM,
// SIGHUP or SIGQUIT. SIGPIPE is ignored once one exists, so a closed pipe
// ends the tool through its write errors and the destructors run.
class ScratchDir
{
  public:
    explicit ScratchDir(const char *prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }
    // Leaves the directory for the user (--keep).
    void keep();

  private:
    std::string path_, error_;
    int slot_ = -1;
};

// Lower-case hex SHA-256 (libcrypto).
std::string sha256_hex(const void *data, size_t size);
// Of a file's bytes, read in pieces; false with *error naming the path.
bool sha256_file(const std::string &path, std::string *hex, std::string *error);

} // namespace hosttool

#endif
