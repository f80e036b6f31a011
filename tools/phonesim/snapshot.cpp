#include "phonesim/snapshot.h"

#include "common/hosttool.h"
#include "platform/unique_fd.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace phonesim
{

using Json = nlohmann::ordered_json;

// Straight into a string of the file's size: a stream copy of the chip (8
// MiB) cost a run more than everything else it does.
bool read_file(const std::string &path, std::string *out, off_t from)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return false;
    out->clear();
    if (S_ISREG(st.st_mode) && st.st_size > from)
        out->reserve(static_cast<size_t>(st.st_size - from));
    char buf[65536];
    off_t at = from;
    for (;;) {
        ssize_t n = pread(fd.get(), buf, sizeof(buf), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        out->append(buf, static_cast<size_t>(n));
        at += n;
    }
}

namespace
{

off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

} // namespace

std::vector<std::string> non_empty_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

namespace
{

void snapshot_tree(const std::string &root, const std::string &rel,
                   std::map<std::string, FileInfo> *tree)
{
    std::string dir = root + rel;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &name : names) {
        std::string r = rel + "/" + name;
        struct stat st;
        if (lstat((root + r).c_str(), &st) != 0)
            continue;
        FileInfo info;
        if (S_ISDIR(st.st_mode)) {
            info.type = 'd';
            (*tree)[r] = info;
            snapshot_tree(root, r, tree);
            continue;
        }
        info.size = static_cast<uint64_t>(st.st_size);
        if (S_ISREG(st.st_mode)) {
            std::string error; // an unreadable file keeps no digest
            hosttool::sha256_file(root + r, &info.sha256, &error);
        } else if (S_ISLNK(st.st_mode)) {
            info.type = 'l';
            char target[4096];
            ssize_t n = readlink((root + r).c_str(), target, sizeof(target));
            if (n > 0)
                info.sha256 = hosttool::sha256_hex(target, static_cast<size_t>(n));
        } else {
            info.type = 'o';
        }
        (*tree)[r] = info;
    }
}

std::vector<std::pair<std::string, std::string>> parse_bootenv(const std::string &text)
{
    std::vector<std::pair<std::string, std::string>> vars;
    for (const std::string &line : non_empty_lines(text)) {
        size_t sp = line.find(' ');
        if (sp == std::string::npos)
            vars.emplace_back(line, "");
        else
            vars.emplace_back(line.substr(0, sp), line.substr(sp + 1));
    }
    return vars;
}

// The layout file holds "mtdN start end" lines in hex; partitions it does not
// name keep the profile's windows.
void read_layout(const Paths &paths, const Profile &profile, Window *windows)
{
    for (int i = 0; i < kPartitions; ++i)
        windows[i] = profile.mtd[i];
    std::string text;
    if (!read_file(paths.layout(), &text))
        return;
    for (const std::string &line : non_empty_lines(text)) {
        std::istringstream in(line);
        std::string name, start, end;
        if (!(in >> name >> start >> end) || name.compare(0, 3, "mtd") != 0)
            continue;
        int n = atoi(name.c_str() + 3);
        if (n < 0 || n >= kPartitions)
            continue;
        windows[n].start = static_cast<uint32_t>(strtoul(start.c_str(), nullptr, 16));
        windows[n].end = static_cast<uint32_t>(strtoul(end.c_str(), nullptr, 16));
    }
}

void read_records(const Paths &paths, Snapshot *s)
{
    if (DIR *d = opendir(paths.records().c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
                s->records[name] = file_size(paths.records() + "/" + name);
        }
        closedir(d);
    }
}

} // namespace

Snapshot take_snapshot(const Paths &paths, const Profile &profile, bool digests)
{
    Snapshot s;
    std::string text;
    if (read_file(paths.bootenv(), &text))
        s.bootenv = parse_bootenv(text);
    read_layout(paths, profile, s.windows);
    if (!digests) {
        s.misc_size = file_size(paths.root + "/dev/misc0");
        read_records(paths, &s);
        return s;
    }
    // The chip is hashed where it lies: mapped, not copied.
    const char *flash = "";
    size_t flash_size = 0;
    UniqueFd fd(open(paths.flash().c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    void *map = MAP_FAILED;
    if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && st.st_size > 0) {
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd.get(), 0);
        if (map != MAP_FAILED) {
            flash = static_cast<const char *>(map);
            flash_size = static_cast<size_t>(st.st_size);
        }
    }
    for (int i = 0; i < kPartitions; ++i) {
        uint64_t start = s.windows[i].start >= kFlashBase ? s.windows[i].start - kFlashBase : 0;
        uint64_t end = s.windows[i].end >= kFlashBase ? s.windows[i].end - kFlashBase : 0;
        start = std::min<uint64_t>(start, flash_size);
        end = std::min<uint64_t>(std::max(end, start), flash_size);
        s.sha256[i] = hosttool::sha256_hex(flash + start, static_cast<size_t>(end - start));
    }
    if (map != MAP_FAILED)
        munmap(map, flash_size);
    s.misc_size = file_size(paths.root + "/dev/misc0");
    read_records(paths, &s);
    snapshot_tree(paths.root, "/tmp", &s.files);
    snapshot_tree(paths.root, "/config", &s.files);
    return s;
}

// The upgrade's System V objects as a peer finds them when the run ends
// (the program still alive when it asked for the reboot): each lock's value
// (1 free, 0 taken; null when it was never made) and whether the shared
// upgrade memory is still there.
Json sysv_snapshot()
{
    Json locks = Json::object();
    const std::pair<const char *, key_t> keys[] = {{"upgrader_process", 0xC002},
                                                   {"upgrader_tool_process", 0xC003},
                                                   {"memory_semid", 0xA130},
                                                   {"cfg_semid", 0xB012},
                                                   {"burn_flash_semid", 0xC004}};
    for (const auto &k : keys) {
        int id = semget(k.second, 0, 0);
        int value = id < 0 ? -1 : semctl(id, 0, GETVAL);
        locks[k.first] = value < 0 ? Json() : Json(value);
    }
    return {{"locks", locks}, {"upgrade_memory", shmget(0xA130, 0, 0) >= 0}};
}

} // namespace phonesim
