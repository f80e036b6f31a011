#include "benchphone.h"

#include "upgrader/flash.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

extern char **environ;

using namespace phonesim;

namespace benchphone
{

namespace
{

// The MTD tools live in the administrator's directories.
bool have_tool(const char *name)
{
    std::string path =
        std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
    setenv("PATH", path.c_str(), 1);
    return run({"sh", "-c", std::string("command -v ") + name + " >/dev/null"});
}

bool pread_all(const std::string &path, uint32_t at, uint8_t *data, size_t size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = pread(fd, data, size, off_t(at));
    close(fd);
    return n == ssize_t(size);
}

bool pwrite_all(const std::string &path, uint32_t at, const uint8_t *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = pwrite(fd, data, size, off_t(at));
    close(fd);
    return n == ssize_t(size);
}

} // namespace

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int rounds_arg(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    return rounds < 1 ? 1 : rounds;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double lowest(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

bool put(const std::string &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char *>(data), std::streamsize(size));
    return bool(out);
}

bool run(const std::vector<std::string> &args, bool quiet)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool prepare(const char *who)
{
    if (geteuid() != 0) {
        fprintf(stderr, "%s mounts the simulated kernel: run it as root\n", who);
        return false;
    }
    if (!have_tool("flashcp")) {
        fprintf(stderr, "%s: flashcp not found: install mtd-utils\n", who);
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "%s: private mount namespace: %s\n", who, strerror(errno));
        return false;
    }
    return true;
}

bool Phone::make(const char *who, uint8_t fill)
{
    std::string pattern = std::string("/tmp/") + who + ".XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr)
        return false;
    root = dir.data();
    paths.root = root;
    mkdir(paths.state().c_str(), 0755);
    mkdir((root + "/dev").c_str(), 0755);
    std::vector<uint8_t> chip(kFlashSize, fill);
    std::string layout = format_layout(profile.mtd);
    std::vector<uint8_t> fb(1056, 0);
    if (!put(paths.flash(), chip.data(), chip.size()) ||
        !put(paths.layout(), layout.data(), layout.size()) || !put(paths.bootenv(), "", 0) ||
        !put(root + "/dev/fb0", fb.data(), fb.size()) || !put(root + "/dev/misc0", "", 0))
        return false;
    if (symlink(".phonesim/kernel/proc", (root + "/proc").c_str()) != 0)
        return false;
    for (int i = 0; i < kPartitions; ++i) {
        std::string link = "../.phonesim/kernel/dev/mtd" + std::to_string(i);
        if (symlink(link.c_str(), device(i).c_str()) != 0)
            return false;
    }
    memset(table, 0, sizeof(table));
    for (int i = 0; i < kPartitions; ++i) {
        snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
        table[i].start_addr = profile.mtd[i].start;
        table[i].end_addr = profile.mtd[i].end;
    }
    return true;
}

void Phone::remove()
{
    if (root.empty())
        return;
    if (!run({"rm", "-rf", root}))
        fprintf(stderr, "could not remove %s\n", root.c_str());
    root.clear();
}

std::unique_ptr<Kernel> Phone::boot(KernelEvents events)
{
    setenv("UPGRADER_ROOT", root.c_str(), 1);
    std::unique_ptr<Kernel> kernel(new Kernel(paths, profile, std::move(events)));
    std::string error;
    if (kernel->mount(&error) != 0) {
        fprintf(stderr, "mount: %s\n", error.c_str());
        return nullptr;
    }
    return kernel;
}

bool Phone::read_chip(std::vector<uint8_t> *chip) const
{
    chip->resize(kFlashSize);
    return pread_all(paths.flash(), 0, chip->data(), chip->size());
}

bool Phone::write_chip(const std::vector<uint8_t> &chip) const
{
    return chip.size() == kFlashSize && pwrite_all(paths.flash(), 0, chip.data(), chip.size());
}

bool Phone::read_window(int id, std::vector<uint8_t> *data) const
{
    data->resize(size(id));
    return pread_all(paths.flash(), offset(id), data->data(), data->size());
}

bool Phone::write_window(int id, const std::vector<uint8_t> &data) const
{
    return data.size() == size(id) &&
           pwrite_all(paths.flash(), offset(id), data.data(), data.size());
}

void Pack::make(const Phone &phone, uint32_t seed)
{
    bytes.assign(64, 0); // where the pack's own headers would be
    headers.clear();
    flags.clear();
    total = 0;
    Random random{seed};
    for (int id : kIds) {
        Partition_Header h;
        memset(&h, 0, sizeof(h));
        h.partition_id = uint32_t(id);
        h.partition_size = phone.size(id) - kShort;
        h.partition_offset = uint32_t(bytes.size());
        for (uint32_t b = 0; b < h.partition_size; ++b)
            bytes.push_back(uint8_t(random.next()));
        headers.push_back(h);
        flags.push_back(1);
        total += h.partition_size;
    }
}

std::vector<uint8_t> Pack::image(const Phone &phone, int i) const
{
    std::vector<uint8_t> data(payload(i), payload(i) + headers[size_t(i)].partition_size);
    data.resize(phone.size(kIds[i]), 0xFF);
    return data;
}

bool Pack::save(const Phone &phone, const std::string &name, bool padded,
                std::vector<std::string> *files) const
{
    files->clear();
    for (int i = 0; i < kCount; ++i) {
        std::string file = phone.root + "/" + name + std::to_string(kIds[i]);
        bool saved = padded ? put(file, image(phone, i).data(), phone.size(kIds[i]))
                            : put(file, payload(i), headers[size_t(i)].partition_size);
        if (!saved)
            return false;
        files->push_back(file);
    }
    return true;
}

int Pack::burn(Phone &phone, CBasicUI *ui) const
{
    return upgrader_burn_flash(bytes.data(), phone.table, kCount, headers.data(), flags.data(), ui);
}

bool holds(const Phone &phone, const Pack &pack, const char *way)
{
    std::vector<uint8_t> got;
    for (int i = 0; i < kCount; ++i) {
        int id = kIds[i];
        if (!phone.read_window(id, &got) || got != pack.image(phone, i)) {
            fprintf(stderr, "%s: mtd%d does not hold its payload\n", way, id);
            return false;
        }
    }
    return true;
}

bool flashcp(const Phone &phone, const std::vector<std::string> &options,
             const std::vector<std::string> &files)
{
    for (int i = 0; i < kCount; ++i) {
        std::vector<std::string> args = {"flashcp"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(files[size_t(i)]);
        args.push_back(phone.device(kIds[i]));
        if (!run(args)) {
            fprintf(stderr, "flashcp failed on mtd%d\n", kIds[i]);
            return false;
        }
    }
    return true;
}

} // namespace benchphone
