#define FUSE_USE_VERSION 35
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "phonesim/kernel.h"
#include "common/text.h"

#include <fuse_lowlevel.h>
#include <mtd/mtd-user.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace phonesim
{

namespace
{

std::string errno_text(const std::string &what)
{
    return what + ": " + strerror(errno);
}

bool read_file(const std::string &path, std::string *text)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    text->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

// Written beside and renamed over, so a run killed midway leaves either the
// old or the new state, never half of it.
bool replace_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".new";
    {
        UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0)
            return false;
        if (platform_write_all(fd.get(), text.data(), text.size()) != text.size())
            return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

enum class Kind { Dir, Env, Hwver, Software, Refresh, Mtd, MtdBlock };

struct Node {
    fuse_ino_t ino;
    fuse_ino_t parent;
    std::string name;
    Kind kind;
    int partition; // Mtd, MtdBlock
};

// Fixed inodes: the tree never changes while mounted.
std::vector<Node> make_tree()
{
    std::vector<Node> t = {
        {FUSE_ROOT_ID, FUSE_ROOT_ID, "", Kind::Dir, -1},
        {2, FUSE_ROOT_ID, "proc", Kind::Dir, -1},
        {3, 2, "avalanche", Kind::Dir, -1},
        {4, 3, "env", Kind::Env, -1},
        {5, 2, "misc", Kind::Dir, -1},
        {6, 5, "hwver", Kind::Hwver, -1},
        {7, 2, "ver", Kind::Dir, -1},
        {8, 7, "software", Kind::Software, -1},
        {9, 2, "glcd", Kind::Dir, -1},
        {10, 9, "refresh", Kind::Refresh, -1},
        {11, FUSE_ROOT_ID, "dev", Kind::Dir, -1},
        {12, 11, "mtdblock", Kind::Dir, -1},
        {13, 12, "3", Kind::MtdBlock, 3},
        {14, 12, "4", Kind::MtdBlock, 4},
    };
    for (int i = 0; i < kPartitions; ++i)
        t.push_back({static_cast<fuse_ino_t>(20 + i), 11, "mtd" + std::to_string(i), Kind::Mtd, i});
    return t;
}

bool parse_hex32(std::string text, uint32_t *value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.erase(0, 2);
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = uint32_t(strtoul(text.c_str(), nullptr, 16));
    return true;
}

// A window as the boot loader passes it, "START,END". Only a window the
// chip cannot hold as a partition is refused: the boot loader does not look
// for overlaps, and neither does the kernel.
bool parse_env_window(const std::string &value, Window *w)
{
    size_t comma = value.find(',');
    Window v;
    if (comma == std::string::npos || !parse_hex32(value.substr(0, comma), &v.start) ||
        !parse_hex32(value.substr(comma + 1), &v.end))
        return false;
    if (v.start % kEraseSize != 0 || v.end % kEraseSize != 0 || v.start < kFlashBase ||
        uint64_t(v.end) > uint64_t(kFlashBase) + kFlashSize || v.end <= v.start)
        return false;
    *w = v;
    return true;
}

} // namespace

struct Kernel::Impl {
    Paths paths;
    Profile profile;
    KernelEvents events;
    std::vector<Node> tree = make_tree();
    Window win[kPartitions];
    std::vector<std::pair<std::string, std::string>> env;
    uint32_t env_lines = 0; // lines written to the environment since the boot
    uint8_t *chip = nullptr;
    fuse_session *se = nullptr;
    std::thread loop;
    timespec mounted_at{};
    // Held while a request changes the chip, the environment or the layout,
    // so that power_off() falls between two requests.
    std::mutex power;
    std::atomic<bool> off{false};
    uint64_t operations = 0;
    mutable std::mutex counting; // counts are read from other threads
    FlashCounts counts{};
    std::condition_variable powered_off; // ends a wait for the chip

    // Counted as the request is served, whether or not it is answered.
    void account(int p, const FlashCount &c)
    {
        std::lock_guard<std::mutex> lock(counting);
        counts[size_t(p)] += c;
    }

    // When the profile asks for it, the telephone's time for c, scaled,
    // before the request is answered. Taken without the power lock, so
    // that the end of a run never waits for the chip: the power going off
    // ends the wait early, and true then says the requester must not learn
    // how its request went.
    bool pace(const FlashCount &c)
    {
        double scale = profile.flash_timing.delay;
        double ms = scale > 0 ? flash_time_ms(profile.flash_timing, c) * scale : 0;
        if (!(ms > 0))
            return false;
        // Beyond a day is as good as for ever, and keeps the wait's
        // arithmetic in range.
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::duration<double, std::milli>(std::min(ms, 86400e3)));
        std::unique_lock<std::mutex> lock(counting);
        return powered_off.wait_for(lock, wait, [this] { return off.load(); });
    }

    ~Impl()
    {
        if (chip != nullptr)
            munmap(chip, kFlashSize);
    }

    // --- state ---------------------------------------------------------

    // A boot: the chip and the environment as they were left, and the
    // partition table the boot loader passes in its mtdN variables.
    bool load(std::string *error)
    {
        if (!load_chip(error) || !load_env(error))
            return false;
        for (int i = 0; i < kPartitions; ++i) {
            win[i] = profile.mtd[i];
            std::string name = "mtd" + std::to_string(i);
            auto it = std::find_if(env.begin(), env.end(),
                                   [&](const auto &var) { return var.first == name; });
            if (it != env.end())
                parse_env_window(it->second, &win[i]);
        }
        if (!replace_file(paths.layout(), format_layout(win)))
            return *error = errno_text(paths.layout()), false;
        return true;
    }

    bool load_chip(std::string *error)
    {
        if (chip != nullptr)
            return true;
        std::string path = paths.flash();
        if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
            // A chip nobody has written yet: erased.
            if (!replace_file(path, std::string(kFlashSize, '\xff')))
                return *error = errno_text(path), false;
        }
        UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (fd.get() < 0)
            return *error = errno_text(path), false;
        struct stat st;
        if (fstat(fd.get(), &st) != 0)
            return *error = errno_text(path), false;
        if (st.st_size != off_t(kFlashSize))
            return *error = path + ": " + std::to_string(st.st_size) + " bytes, not 8 MiB", false;
        void *m = mmap(nullptr, kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (m == MAP_FAILED)
            return *error = errno_text("mmap " + path), false;
        chip = static_cast<uint8_t *>(m);
        return true;
    }

    bool load_env(std::string *error)
    {
        env.clear();
        std::string text;
        if (!read_file(paths.bootenv(), &text)) {
            if (errno != ENOENT)
                return *error = errno_text(paths.bootenv()), false;
            env = initial_bootenv(profile);
            return true;
        }
        for (std::string line : text_lines(text)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            size_t blank = line.find_first_of(" \t");
            if (blank == std::string::npos || blank == 0)
                continue; // the boot loader keeps no variable without a value
            env.emplace_back(line.substr(0, blank), line.substr(blank + 1));
        }
        return true;
    }

    std::string env_text() const
    {
        std::string text;
        for (const auto &var : env)
            text += var.first + " " + var.second + "\n";
        return text;
    }

    uint32_t window_size(int p) const { return win[p].end - win[p].start; }
    uint8_t *window_data(int p) const { return chip + (win[p].start - kFlashBase); }

    // Whether a fault of this kind is set for partition p and, when a block
    // range is given, for a block inside [first, last].
    bool fault(int p, const char *kind, uint32_t first = 0, uint32_t last = UINT32_MAX) const
    {
        for (const Fault &f : profile.faults)
            if (f.partition == p && f.kind == kind &&
                (f.block < 0 || (uint32_t(f.block) >= first && uint32_t(f.block) <= last)))
                return true;
        return false;
    }

    // Numbers an operation and tells whether the power fails during it.
    bool operation(FlashOp op)
    {
        op.n = ++operations;
        op.cut = profile.power_cut.op == op.n;
        if (events.on_flash_op)
            events.on_flash_op(op);
        return op.cut;
    }

    // After the cut operation's partial effect: nothing more gets through.
    int cut()
    {
        off = true;
        if (events.on_power_cut)
            events.on_power_cut();
        return EIO;
    }

    const Node *node(fuse_ino_t ino) const
    {
        for (const Node &n : tree)
            if (n.ino == ino)
                return &n;
        return nullptr;
    }

    struct stat attr(const Node &n) const
    {
        struct stat st {
        };
        st.st_ino = n.ino;
        st.st_uid = geteuid();
        st.st_gid = getegid();
        st.st_atim = st.st_mtim = st.st_ctim = mounted_at;
        st.st_blksize = kEraseSize;
        switch (n.kind) {
        case Kind::Dir:
            st.st_mode = S_IFDIR | 0755;
            st.st_nlink = 2;
            break;
        case Kind::Hwver:
        case Kind::Software:
            st.st_mode = S_IFREG | 0444;
            break;
        case Kind::MtdBlock:
            st.st_mode = S_IFREG | 0444;
            st.st_size = window_size(n.partition);
            break;
        case Kind::Mtd:
            st.st_mode = S_IFREG | 0644;
            st.st_size = window_size(n.partition);
            break;
        default:
            st.st_mode = S_IFREG | 0644; // procfs files read as empty-sized
            break;
        }
        if (st.st_mode & S_IFREG)
            st.st_nlink = 1;
        return st;
    }

    // --- requests ------------------------------------------------------

    static Impl *of(fuse_req_t req) { return static_cast<Impl *>(fuse_req_userdata(req)); }

    static void op_init(void *, fuse_conn_info *conn)
    {
        // A shell's ">" then arrives as an open with O_TRUNC, not a resize.
        if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC)
            conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    }

    static void reply_entry(fuse_req_t req, const Impl *k, const Node &n)
    {
        fuse_entry_param e{};
        e.ino = n.ino;
        e.attr = k->attr(n);
        // No caching: window sizes change with moves.
        e.attr_timeout = 0;
        e.entry_timeout = 0;
        fuse_reply_entry(req, &e);
    }

    static void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
    {
        Impl *k = of(req);
        for (const Node &n : k->tree)
            if (n.parent == parent && n.ino != FUSE_ROOT_ID && n.name == name)
                return reply_entry(req, k, n);
        fuse_reply_err(req, ENOENT);
    }

    static void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
    {
        Impl *k = of(req);
        const Node *n = k->node(ino);
        if (n == nullptr)
            return void(fuse_reply_err(req, ENOENT));
        struct stat st = k->attr(*n);
        fuse_reply_attr(req, &st, 0);
    }

    // Resizes (a shell's ">" without atomic truncation) and mode changes mean
    // nothing to kernel files: accepted and ignored, as procfs and device
    // nodes do.
    static void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi)
    {
        op_getattr(req, ino, fi);
    }

    static void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
    {
        Impl *k = of(req);
        const Node *dir = k->node(ino);
        if (dir == nullptr || dir->kind != Kind::Dir)
            return void(fuse_reply_err(req, ENOTDIR));
        std::vector<std::pair<std::string, const Node *>> entries = {{".", dir},
                                                                     {"..", k->node(dir->parent)}};
        for (const Node &n : k->tree)
            if (n.parent == ino && n.ino != FUSE_ROOT_ID)
                entries.emplace_back(n.name, &n);
        std::vector<char> buf(size);
        size_t used = 0;
        for (size_t i = size_t(off); i < entries.size(); ++i) {
            struct stat st = k->attr(*entries[i].second);
            size_t need = fuse_add_direntry(req, buf.data() + used, size - used,
                                            entries[i].first.c_str(), &st, off_t(i + 1));
            if (need > size - used)
                break;
            used += need;
        }
        fuse_reply_buf(req, buf.data(), used);
    }

    static void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
    {
        Impl *k = of(req);
        const Node *n = k->node(ino);
        if (n == nullptr)
            return void(fuse_reply_err(req, ENOENT));
        if (k->off)
            return void(fuse_reply_err(req, EIO));
        bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
        switch (n->kind) {
        case Kind::Dir:
            return void(fuse_reply_err(req, EISDIR));
        case Kind::Hwver:
        case Kind::Software:
            if (writing)
                return void(fuse_reply_err(req, EACCES));
            break;
        case Kind::MtdBlock:
            if (writing)
                return void(fuse_reply_err(req, EROFS));
            break;
        case Kind::Mtd:
            if (k->fault(n->partition, "open"))
                return void(fuse_reply_err(req, EIO));
            break;
        default:
            break;
        }
        // Every read and write reaches us, unbuffered, like a device's.
        fi->direct_io = 1;
        fi->keep_cache = 0;
        fuse_reply_open(req, fi);
    }

    static void reply_slice(fuse_req_t req, const uint8_t *data, size_t total, size_t size,
                            off_t off)
    {
        if (off < 0 || size_t(off) >= total)
            return void(fuse_reply_buf(req, nullptr, 0));
        fuse_reply_buf(req, reinterpret_cast<const char *>(data) + off,
                       std::min(size, total - size_t(off)));
    }

    static void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
    {
        Impl *k = of(req);
        const Node *n = k->node(ino);
        if (n == nullptr)
            return void(fuse_reply_err(req, ENOENT));
        if (k->off)
            return void(fuse_reply_err(req, EIO));
        std::string text;
        switch (n->kind) {
        case Kind::Mtd:
        case Kind::MtdBlock: {
            FlashCount c;
            uint32_t total = k->window_size(n->partition);
            if (off >= 0 && uint64_t(off) < total)
                c.read = std::min<uint64_t>(size, total - uint64_t(off));
            k->account(n->partition, c);
            if (k->pace(c))
                return void(fuse_reply_err(req, EIO));
            return reply_slice(req, k->window_data(n->partition), total, size, off);
        }
        case Kind::Env:
            text = k->env_text();
            break;
        case Kind::Hwver:
            text = k->profile.hwver + "\n";
            break;
        case Kind::Software:
            text = k->profile.software + "\n";
            break;
        default:
            break;
        }
        reply_slice(req, reinterpret_cast<const uint8_t *>(text.data()), text.size(), size, off);
    }

    // Each line "NAME VALUE" sets a variable, "NAME" alone removes it. Lines
    // before a cut or a failed line are kept, as the environment takes them
    // one by one. An env_write fault fails the line of its number (counted
    // from 0 since the boot, the partition not looked at).
    int write_env(const std::string &data)
    {
        auto saved = env;
        std::vector<std::string> written;
        bool cut_here = false, refused = false;
        for (const std::string &raw : text_lines(data)) {
            std::string line = raw;
            while (!line.empty() && is_blank(line.back()))
                line.pop_back();
            size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos)
                continue;
            FlashOp op;
            op.kind = "env";
            op.text = raw;
            if (operation(op)) {
                cut_here = true;
                break;
            }
            const uint32_t number = env_lines++;
            refused =
                std::any_of(profile.faults.begin(), profile.faults.end(), [&](const Fault &f) {
                    return f.kind == "env_write" && (f.block < 0 || uint32_t(f.block) == number);
                });
            if (refused)
                break;
            size_t blank = line.find_first_of(" \t", start);
            std::string name =
                line.substr(start, blank == std::string::npos ? blank : blank - start);
            std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
            auto it = std::find_if(env.begin(), env.end(),
                                   [&](const auto &var) { return var.first == name; });
            if (value.empty()) {
                if (it != env.end())
                    env.erase(it);
            } else if (it != env.end()) {
                it->second = value;
            } else {
                env.emplace_back(name, value);
            }
            written.push_back(raw);
        }
        if (!written.empty() && !replace_file(paths.bootenv(), env_text())) {
            env = saved;
            return cut_here ? cut() : EIO;
        }
        if (events.on_env_write)
            for (const std::string &line : written)
                events.on_env_write(line);
        return cut_here ? cut() : refused ? EIO : 0;
    }

    int refresh()
    {
        std::string bytes;
        if (!read_file(paths.root + "/dev/fb0", &bytes))
            return EIO;
        if (events.on_refresh)
            events.on_refresh(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        return 0;
    }

    // NOR programming: a write can only clear bits; only an erase sets them.
    static void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off,
                         fuse_file_info *)
    {
        Impl *k = of(req);
        const Node *n = k->node(ino);
        if (n == nullptr)
            return void(fuse_reply_err(req, ENOENT));
        if (k->off)
            return void(fuse_reply_err(req, EIO));
        std::unique_lock<std::mutex> lock(k->power, std::defer_lock);
        if (n->kind == Kind::Env || n->kind == Kind::Mtd) {
            lock.lock();
            if (k->off)
                return void(fuse_reply_err(req, EIO));
        }
        int err = 0;
        FlashCount programmed;
        switch (n->kind) {
        case Kind::Env:
            err = k->write_env(std::string(buf, size));
            break;
        case Kind::Refresh:
            if (size > 0 && buf[0] == '1')
                err = k->refresh();
            break;
        case Kind::Mtd: {
            int p = n->partition;
            uint32_t total = k->window_size(p);
            if (size == 0)
                return void(fuse_reply_write(req, 0));
            // Like mtdchar: a write from the end on has no room, one that
            // runs past the end is cut there.
            if (off < 0 || uint64_t(off) >= total)
                return void(fuse_reply_err(req, ENOSPC));
            size = std::min<size_t>(size, total - uint64_t(off));
            uint32_t first = uint32_t(off) / kEraseSize;
            uint32_t last = uint32_t(off + size - 1) / kEraseSize;
            bool refused = k->fault(p, "write", first, last);
            bool shortened = !refused && k->fault(p, "short_write", first, last);
            FlashOp op;
            op.kind = "write";
            op.mtd = p;
            op.offset = uint32_t(off);
            op.length = uint32_t(size);
            op.fault = refused || shortened;
            bool cut_here = k->operation(op);
            FlashCount c;
            if (refused) {
                k->account(p, c);
                return void(fuse_reply_err(req, cut_here ? k->cut() : EIO));
            }
            if (shortened)
                size = std::max<size_t>(1, size / 2);
            uint8_t *dst = k->window_data(p) + off;
            c.programmed = cut_here ? size / 2 : size;
            for (size_t i = 0; i < c.programmed; ++i)
                dst[i] &= uint8_t(buf[i]);
            k->account(p, c);
            programmed = c;
            if (cut_here)
                err = k->cut();
            break;
        }
        default:
            err = EBADF;
            break;
        }
        if (lock.owns_lock())
            lock.unlock();
        if (k->pace(programmed) && err == 0)
            err = EIO;
        if (err != 0)
            return void(fuse_reply_err(req, err));
        fuse_reply_write(req, size);
    }

    static void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *, fuse_file_info *,
                         unsigned, const void *in_buf, size_t in_bufsz, size_t)
    {
        Impl *k = of(req);
        const Node *n = k->node(ino);
        if (n == nullptr || n->kind != Kind::Mtd)
            return void(fuse_reply_err(req, ENOTTY));
        int p = n->partition;
        std::unique_lock<std::mutex> lock(k->power);
        if (k->off)
            return void(fuse_reply_err(req, EIO));
        if (cmd == MEMGETINFO) {
            mtd_info_user info{};
            info.type = MTD_NORFLASH;
            info.flags = MTD_CAP_NORFLASH;
            info.size = k->window_size(p);
            info.erasesize = kEraseSize;
            info.writesize = 1;
            return void(fuse_reply_ioctl(req, 0, &info, sizeof(info)));
        }
        if (cmd == MEMERASE) {
            erase_info_user e{};
            if (in_bufsz < sizeof(e))
                return void(fuse_reply_err(req, EFAULT));
            memcpy(&e, in_buf, sizeof(e));
            uint64_t end = uint64_t(e.start) + e.length;
            if (e.length == 0 || e.start % kEraseSize != 0 || e.length % kEraseSize != 0 ||
                end > k->window_size(p))
                return void(fuse_reply_err(req, EINVAL));
            FlashOp op;
            op.kind = "erase";
            op.mtd = p;
            op.offset = e.start;
            op.length = e.length;
            op.fault = k->fault(p, "erase", e.start / kEraseSize, uint32_t((end - 1) / kEraseSize));
            bool cut_here = k->operation(op);
            FlashCount c;
            c.erases = 1;
            if (!op.fault) {
                c.erased = cut_here ? e.length / 2 : e.length;
                memset(k->window_data(p) + e.start, 0xFF, c.erased);
            }
            k->account(p, c);
            int err = cut_here ? k->cut() : op.fault ? EIO : 0;
            lock.unlock();
            if (k->pace(c) && err == 0)
                err = EIO;
            if (err != 0)
                return void(fuse_reply_err(req, err));
            return void(fuse_reply_ioctl(req, 0, nullptr, 0));
        }
        if (cmd == uint32_t(kMtdRepairQuery) || cmd == uint32_t(kMtdAddrRepair)) {
            if (!k->profile.mtd_move_supported)
                return void(fuse_reply_err(req, ENOTTY));
            // The query's argument is a null pointer: the answer must carry
            // no data, or the kernel would copy it to address 0.
            if (cmd == uint32_t(kMtdRepairQuery))
                return void(fuse_reply_ioctl(req, 0, nullptr, 0));
            MtdRepairArg a{};
            if (in_bufsz < sizeof(a))
                return void(fuse_reply_err(req, EFAULT));
            memcpy(&a, in_buf, sizeof(a));
            if (a.size == 0 || a.offset % kEraseSize != 0 || a.size % kEraseSize != 0 ||
                uint64_t(a.offset) + a.size > kFlashSize)
                return void(fuse_reply_err(req, EINVAL));
            FlashOp op;
            op.kind = "move";
            op.mtd = p;
            op.offset = a.offset;
            op.length = a.size;
            if (k->operation(op))
                return void(fuse_reply_err(req, k->cut()));
            Window moved[kPartitions];
            std::copy(k->win, k->win + kPartitions, moved);
            moved[p] = Window{kFlashBase + a.offset, kFlashBase + a.offset + a.size};
            if (!replace_file(k->paths.layout(), format_layout(moved)))
                return void(fuse_reply_err(req, EIO));
            k->win[p] = moved[p];
            return void(fuse_reply_ioctl(req, 0, nullptr, 0));
        }
        fuse_reply_err(req, ENOTTY);
    }

    static const fuse_lowlevel_ops &ops()
    {
        static const fuse_lowlevel_ops o = [] {
            fuse_lowlevel_ops x{};
            x.init = op_init;
            x.lookup = op_lookup;
            x.getattr = op_getattr;
            x.setattr = op_setattr;
            x.readdir = op_readdir;
            x.open = op_open;
            x.read = op_read;
            x.write = op_write;
            x.ioctl = op_ioctl;
            return x;
        }();
        return o;
    }
};

Kernel::Kernel(const Paths &paths, const Profile &profile, KernelEvents events) : impl_(new Impl)
{
    impl_->paths = paths;
    impl_->profile = profile;
    impl_->events = std::move(events);
}

Kernel::~Kernel()
{
    unmount();
}

int Kernel::mount(std::string *error)
{
    std::string dummy;
    if (error == nullptr)
        error = &dummy;
    Impl &k = *impl_;
    if (k.se != nullptr)
        return *error = "already mounted", -1;
    std::string mnt = k.paths.kernel();
    for (const std::string &dir : {k.paths.root, k.paths.state(), mnt})
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return *error = errno_text(dir), -1;
    if (!k.load(error))
        return -1;
    reset_flash_counts();
    clock_gettime(CLOCK_REALTIME, &k.mounted_at);

    std::string opts = "fsname=phonesim,subtype=phonesim";
    if (geteuid() == 0)
        opts += ",allow_other";
    const char *argv[] = {"phonesim", "-o", opts.c_str()};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    fuse_session *se = fuse_session_new(&args, &Impl::ops(), sizeof(fuse_lowlevel_ops), &k);
    fuse_opt_free_args(&args);
    if (se == nullptr)
        return *error = "cannot create the FUSE session", -1;
    if (fuse_session_mount(se, mnt.c_str()) != 0) {
        fuse_session_destroy(se);
        return *error = "cannot mount the kernel at " + mnt + " (is /dev/fuse there?)", -1;
    }
    k.se = se;
    k.loop = std::thread([se] { fuse_session_loop(se); });
    return 0;
}

FlashCount &FlashCount::operator+=(const FlashCount &o)
{
    erases += o.erases;
    erased += o.erased;
    programmed += o.programmed;
    read += o.read;
    return *this;
}

double flash_time_ms(const FlashTiming &timing, const FlashCount &c)
{
    return double(c.erased) / kEraseSize * timing.erase_ms +
           double(c.programmed) / 1024 * timing.program_ms_per_kib +
           double(c.read) / 1024 * timing.read_ms_per_kib;
}

FlashCounts Kernel::flash_counts() const
{
    std::lock_guard<std::mutex> lock(impl_->counting);
    return impl_->counts;
}

void Kernel::reset_flash_counts()
{
    std::lock_guard<std::mutex> lock(impl_->counting);
    impl_->counts = FlashCounts{};
}

void Kernel::power_off()
{
    std::lock_guard<std::mutex> lock(impl_->power);
    impl_->off = true;
    // Taken and let go, so that a wait either sees the power off or is
    // already waiting when woken.
    impl_->counting.lock();
    impl_->counting.unlock();
    impl_->powered_off.notify_all();
}

void Kernel::unmount()
{
    Impl &k = *impl_;
    if (k.se == nullptr)
        return;
    fuse_session_exit(k.se);
    // A forced unmount aborts the connection: the loop's pending read on
    // /dev/fuse returns at once even when nothing else would wake it, and
    // anyone still holding a file gets ENOTCONN instead of hanging. A busy
    // mount is then detached.
    std::string mnt = k.paths.kernel();
    if (umount2(mnt.c_str(), MNT_FORCE) != 0)
        umount2(mnt.c_str(), MNT_DETACH);
    if (k.loop.joinable())
        k.loop.join();
    fuse_session_unmount(k.se); // closes the device and frees its records
    fuse_session_destroy(k.se);
    k.se = nullptr;
}

} // namespace phonesim
