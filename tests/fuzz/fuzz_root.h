// A private platform root for a harness: made once per process under
// $TMPDIR, named by UPGRADER_ROOT, removed at exit. Optionally a copy of
// tests/data/device and the program's own copies of /bin tools in /tmp/bin.
// And input bytes as a stream, for the readers of files.
#ifndef TESTS_FUZZ_FUZZ_ROOT_H
#define TESTS_FUZZ_FUZZ_ROOT_H

#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>

namespace fuzzroot
{

namespace fs = std::filesystem;

inline fs::path &root()
{
    static fs::path path;
    return path;
}

inline fs::path make_root(const char *name, const char *device_dir = nullptr,
                          std::initializer_list<const char *> tools = {})
{
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-fuzz.XXXXXX";
    if (!mkdtemp(dir.data()))
        abort();
    root() = fs::path(dir) / "root";
    atexit([] {
        std::error_code gone;
        fs::remove_all(root().parent_path(), gone);
    });
    std::error_code ec;
    if (device_dir != nullptr)
        fs::copy(device_dir, root(), fs::copy_options::recursive, ec);
    fs::create_directories(root() / "tmp/bin", ec);
    for (const char *tool : tools)
        fs::copy_file(fs::path("/bin") / tool, root() / "tmp/bin" / tool,
                      fs::copy_options::overwrite_existing, ec);
    if (ec)
        abort(); // the root could not be laid out
    setenv(UPGRADER_ROOT_ENV, root().c_str(), 1);
    return root();
}

// The bytes as a reader gets a file, NUL bytes and all.
inline FILE *stream(const void *data, size_t size)
{
    FILE *f = fmemopen(const_cast<void *>(data), size, "r");
    if (f == nullptr)
        abort();
    return f;
}

inline std::string read(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void put(const fs::path &path, const void *data, size_t size)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
}

} // namespace fuzzroot

#endif
