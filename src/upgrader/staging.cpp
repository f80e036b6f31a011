#include "upgrader/staging.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/flash.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

namespace
{

const int kPartitionCount = 10;
const uint32_t kBlock = FLASH_BLOCK_SIZE;

// The order in which partitions are tried for the area: outside the boot
// chain first, whose partitions a cut would leave unbootable.
const int kStageOrder[] = {5, 6, 7, 8, 9, 2, 1, 0};

bool overlaps(uint32_t start, uint32_t end, const mtd_layout_entry &w)
{
    return start < w.end_addr && w.start_addr < end;
}

UniqueFd open_mtd(int n, char (&name)[32])
{
    snprintf(name, sizeof(name), "/dev/mtd%d", n);
    return UniqueFd(platform_open(name, O_RDWR | O_CLOEXEC));
}

// Both saved copies, mtd4's first, as this run made them.
bool read_saved(uint8_t *area)
{
    const struct {
        const char *path;
        size_t size;
    } saved[] = {{MTDBLOCK4_SAVE, MTDBLOCK4_SIZE}, {MTDBLOCK3_SAVE, MTDBLOCK3_SIZE}};
    size_t at = 0;
    for (const auto &s : saved) {
        UniqueFd file(platform_open_private(s.path));
        if (!file.valid() || !flash_read_exact(file.get(), 0, area + at, s.size)) {
            rl_log_err("%s: cannot read the saved block to stage it\n", s.path);
            return false;
        }
        at += s.size;
    }
    return true;
}

// Writes one image into a private file (for mtd_write, which takes only
// files this run made).
bool save_image(const char *path, const uint8_t *data, size_t size)
{
    UniqueFd file(platform_create_private(path, 0600));
    if (!file.valid() || flash_write_all(file.get(), data, size) != 0) {
        rl_log_err("%s could not be made\n", path);
        return false;
    }
    return true;
}

struct Record {
    uint32_t start, crc4, crc3;
    mtd_layout_entry mtd3, mtd4;
};

bool window_ok(uint32_t start, uint32_t end)
{
    return start >= MTD_FLASH_BASE && end <= MTD_FLASH_END && flash_whole_blocks(start, end);
}

bool parse_record(const char *text, Record *r)
{
    int used = 0;
    unsigned v[7];
    if (sscanf(text, "%x,%x,%x,%x,%x,%x,%x%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
               &used) != 7 ||
        text[used] != '\0')
        return false;
    r->start = v[0];
    r->crc4 = v[1];
    r->crc3 = v[2];
    r->mtd3 = {"mtd3", v[3], v[4]};
    r->mtd4 = {"mtd4", v[5], v[6]};
    return window_ok(r->start, r->start + MTD_STAGING_SIZE) && r->start + MTD_STAGING_SIZE > r->start &&
           window_ok(v[3], v[4]) && v[4] - v[3] >= MTDBLOCK3_SIZE && window_ok(v[5], v[6]) &&
           v[6] - v[5] >= MTDBLOCK4_SIZE && !overlaps(v[3], v[4], r->mtd4);
}

// Brings partition n (mtd3 or mtd4) to the record's window, in the kernel
// and in the boot environment, when it is elsewhere.
int complete_move(const env_info *table, const mtd_layout_entry &want)
{
    unsigned int index = 0;
    if (get_mtd_info(table, want.name, &index) != 0)
        return -1;
    if (table[index].start_addr == want.start_addr && table[index].end_addr == want.end_addr)
        return 0;
    const int n = want.name[3] - '0';
    char value[32];
    snprintf(value, sizeof value, "%x,%x", unsigned(want.start_addr), unsigned(want.end_addr));
    if (mtd_addr_repair(n, want.start_addr - MTD_FLASH_BASE, want.end_addr - want.start_addr) != 0 ||
        do_set_env(want.name, value) != 0) {
        rl_log_err("%s could not be brought to %s, where the staged layout has it\n", want.name,
                   value);
        return -1;
    }
    rl_log_info("%s moved to %s, completing the recorded layout\n", want.name, value);
    return 0;
}

// The partition whose current window holds [start, end), or -1.
int holder(const env_info *table, uint32_t start, uint32_t end, uint32_t *window_start)
{
    for (int n = 0; n < kPartitionCount; ++n) {
        char name[8];
        snprintf(name, sizeof name, "mtd%d", n);
        unsigned int index = 0;
        if (get_mtd_info(table, name, &index) == 0 && table[index].start_addr <= start &&
            end <= table[index].end_addr) {
            *window_start = table[index].start_addr;
            return n;
        }
    }
    return -1;
}

} // namespace

uint32_t staging_crc32(const uint8_t *data, size_t len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

int mtd_staging_needed(const mtd_layout_plan *plan)
{
    for (int a = 3; a <= 4; ++a) {
        if (!mtd_layout_moves(plan, a))
            continue;
        for (int b = 3; b <= 4; ++b) {
            if (overlaps(plan->next[a].start_addr, plan->next[a].end_addr, plan->prev[b]))
                return 1;
        }
    }
    return 0;
}

int mtd_staging_choose(const Partition_Header *partitions, const int *flags, int count,
                       mtd_layout_plan *plan)
{
    plan->stage_mtd = -1;
    plan->stage_start = 0;
    if (plan->moves == 0 || !mtd_staging_needed(plan))
        return 0;
    for (int n : kStageOrder) {
        bool burnt = false;
        for (int i = 0; partitions != nullptr && flags != nullptr && i < count; ++i)
            burnt = burnt || (flags[i] == 1 && partitions[i].partition_id == uint32_t(n));
        if (!burnt)
            continue;
        // Burnt whole in both layouts: the part the old and new windows share.
        const uint32_t from = plan->prev[n].start_addr > plan->next[n].start_addr
                                  ? plan->prev[n].start_addr
                                  : plan->next[n].start_addr;
        const uint32_t to = plan->prev[n].end_addr < plan->next[n].end_addr ? plan->prev[n].end_addr
                                                                             : plan->next[n].end_addr;
        for (uint32_t at = from; to >= MTD_STAGING_SIZE && at <= to - MTD_STAGING_SIZE; at += kBlock) {
            const uint32_t end = at + MTD_STAGING_SIZE;
            if (overlaps(at, end, plan->prev[3]) || overlaps(at, end, plan->prev[4]) ||
                overlaps(at, end, plan->next[3]) || overlaps(at, end, plan->next[4]))
                continue;
            plan->stage_mtd = n;
            plan->stage_start = at;
            if (n <= 2)
                rl_log_info("staging in %s, of the boot chain: no other partition the pack "
                            "writes has room\n",
                            plan->next[n].name);
            rl_log_info("mtd3/mtd4 staged at %x in %s while they are written back\n", unsigned(at),
                        plan->next[n].name);
            return 0;
        }
    }
    rl_log_err("mtd3/mtd4 move over their old places, and no partition the pack writes whole "
               "has %x bytes outside their windows to stage them in\n",
               unsigned(MTD_STAGING_SIZE));
    return -1;
}

int mtd_staging_write(const mtd_layout_plan *plan)
{
    if (plan == nullptr || plan->stage_mtd < 0 || plan->stage_mtd >= kPartitionCount)
        return -1;
    std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[MTD_STAGING_SIZE]);
    std::unique_ptr<uint8_t[]> back(new (std::nothrow) uint8_t[MTD_STAGING_SIZE]);
    if (!area || !back || !read_saved(area.get()))
        return -1;
    // Staging happens before anything moves: the area's partition is still
    // at its old window.
    const mtd_layout_entry &in = plan->prev[plan->stage_mtd];
    const uint32_t offset = plan->stage_start - in.start_addr;
    char name[32];
    UniqueFd device = open_mtd(plan->stage_mtd, name);
    if (!device.valid()) {
        rl_log_err("%s open failed!\n", name);
        return -1;
    }
    if (non_region_erase(device.get(), int(offset), int(MTD_STAGING_SIZE / kBlock)) != 0 ||
        lseek(device.get(), off_t(offset), SEEK_SET) != off_t(offset) ||
        flash_write_all(device.get(), area.get(), MTD_STAGING_SIZE) != 0) {
        rl_log_err("%s: staging the blocks at offset %x failed\n", name, unsigned(offset));
        return -1;
    }
    if (!flash_read_exact(device.get(), offset, back.get(), MTD_STAGING_SIZE) ||
        memcmp(area.get(), back.get(), MTD_STAGING_SIZE) != 0) {
        rl_log_err("%s: the staged blocks at offset %x do not read back\n", name, unsigned(offset));
        return -1;
    }
    const mtd_layout_entry &m3 = plan->next[3], &m4 = plan->next[4];
    char value[ENV_VALUE_SIZE];
    snprintf(value, sizeof value, "%x,%x,%x,%x,%x,%x,%x", unsigned(plan->stage_start),
             unsigned(staging_crc32(area.get(), MTDBLOCK4_SIZE)),
             unsigned(staging_crc32(area.get() + MTDBLOCK4_SIZE, MTDBLOCK3_SIZE)),
             unsigned(m3.start_addr), unsigned(m3.end_addr), unsigned(m4.start_addr),
             unsigned(m4.end_addr));
    if (do_set_env(MTD_STAGING_VAR, value) != 0) {
        rl_log_err("the staging area could not be recorded\n");
        return -1;
    }
    return 0;
}

int mtd_staging_clear(void)
{
    return do_set_env(MTD_STAGING_VAR, "");
}

int mtd_staging_recover(void)
{
    std::unique_ptr<env_info[]> table(new (std::nothrow) env_info[ENV_TABLE_SIZE]());
    if (!table || read_env(table.get()) != 0)
        return 0; // the check reads it again and says what is wrong
    unsigned int index = 0;
    if (get_mtd_info(table.get(), MTD_STAGING_VAR, &index) != 0)
        return 0;
    Record r;
    if (!parse_record(table[index].value, &r)) {
        rl_log_err("%s %s: not a staging record; the configuration is left as it is\n",
                   MTD_STAGING_VAR, table[index].value);
        return 0;
    }
    uint32_t window = 0;
    const int n = holder(table.get(), r.start, r.start + MTD_STAGING_SIZE, &window);
    std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[MTD_STAGING_SIZE]);
    char name[32] = "";
    UniqueFd device = n >= 0 ? open_mtd(n, name) : UniqueFd();
    if (!area || !device.valid() ||
        !flash_read_exact(device.get(), r.start - window, area.get(), MTD_STAGING_SIZE) ||
        staging_crc32(area.get(), MTDBLOCK4_SIZE) != r.crc4 ||
        staging_crc32(area.get() + MTDBLOCK4_SIZE, MTDBLOCK3_SIZE) != r.crc3) {
        rl_log_err("the blocks staged at %x fail their check; the configuration is left as it "
                   "is\n",
                   unsigned(r.start));
        return 0;
    }
    rl_log_info("restoring mtd3 and mtd4 from the blocks staged at %x\n", unsigned(r.start));
    // A layout recorded halfway: mtd3 and mtd4 are recorded last, so the
    // rest of it is in place, and the record names their windows.
    unsigned int i3 = 0, i4 = 0;
    if (get_mtd_info(table.get(), "mtd3", &i3) != 0 || get_mtd_info(table.get(), "mtd4", &i4) != 0)
        return -1;
    const bool new3 = table[i3].start_addr == r.mtd3.start_addr && table[i3].end_addr == r.mtd3.end_addr;
    const bool new4 = table[i4].start_addr == r.mtd4.start_addr && table[i4].end_addr == r.mtd4.end_addr;
    mtd_layout_entry to3 = {"mtd3", table[i3].start_addr, table[i3].end_addr};
    mtd_layout_entry to4 = {"mtd4", table[i4].start_addr, table[i4].end_addr};
    if (new3 != new4) {
        if (complete_move(table.get(), r.mtd3) != 0 || complete_move(table.get(), r.mtd4) != 0)
            return -1;
        to3 = r.mtd3;
        to4 = r.mtd4;
    }
    if (!save_image(MTDBLOCK4_SAVE, area.get(), MTDBLOCK4_SIZE) ||
        !save_image(MTDBLOCK3_SAVE, area.get() + MTDBLOCK4_SIZE, MTDBLOCK3_SIZE) ||
        mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, to4.end_addr - to4.start_addr) != 0 ||
        mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE, to3.end_addr - to3.start_addr) != 0) {
        rl_log_err("mtd3/mtd4 could not be restored from the staging area\n");
        return -1;
    }
    (void)platform_remove(MTDBLOCK4_SAVE); // this run copies them again if it moves them
    (void)platform_remove(MTDBLOCK3_SAVE);
    if (mtd_staging_clear() != 0)
        rl_log_err("the staging record could not be removed\n");
    rl_log_info("mtd3 and mtd4 restored from the staging area\n");
    return 0;
}
