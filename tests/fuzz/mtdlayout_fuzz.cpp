// libFuzzer harness: arbitrary text as /tmp/mtd.conf, judged for a pack
// burning mtd5 and mtd6, without and with kernel support. A plan that moves
// anything is carried out on plain-file devices, so the first move fails
// and the roll-back runs over whatever the text asked for.
#include "log/rl_log.h"
#include "upgrader/flash.h"
#include "upgrader/inifile.h"
#include "upgrader/mtdlayout.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace
{

char g_text[INI_TEXT_MAX + 1];
// First 64 KiB block and block count of mtd0..mtd9 in the 8 MiB flash.
const uint32_t kBlocks[10][2] = {{0, 2},   {2, 16},  {18, 32}, {50, 1},  {51, 8},
                                 {59, 16}, {75, 32}, {107, 8}, {115, 8}, {123, 5}};

void device_table(env_info (&table)[ENV_TABLE_SIZE])
{
    memset(table, 0, sizeof(table));
    for (int n = 0; n < 10; ++n) {
        snprintf(table[n].name, sizeof(table[n].name), "mtd%d", n);
        table[n].start_addr = MTD_FLASH_BASE + kBlocks[n][0] * 0x10000u;
        table[n].end_addr = table[n].start_addr + kBlocks[n][1] * 0x10000u;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    setenv(UPGRADER_PAUSE_SCALE_ENV, "0", 1);
    const fuzzroot::fs::path root = fuzzroot::make_root("mtdlayout", nullptr, {"cat"});
    fuzzroot::fs::create_directories(root / "dev/mtdblock");
    for (int n = 0; n < 10; ++n)
        fuzzroot::put(root / "dev" / ("mtd" + std::to_string(n)), "", 0);
    const std::string env(MTDBLOCK3_SIZE, 'E');
    const std::string config(MTDBLOCK4_SIZE, 'C');
    fuzzroot::put(root / "dev/mtdblock/3", env.data(), env.size());
    fuzzroot::put(root / "dev/mtdblock/4", config.data(), config.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fuzzroot::stream(data, size); // loaded as mtd_config_check loads the file
    load_ini_stream(f, g_text, nullptr);
    fclose(f);

    Partition_Header parts[2];
    memset(parts, 0, sizeof(parts));
    parts[0].partition_id = 5;
    parts[0].partition_size = 0x100000;
    parts[1].partition_id = 6;
    parts[1].partition_size = 0x180000;
    const int flags[2] = {1, 1};

    for (int support = 0; support < 2; ++support) {
        env_info table[ENV_TABLE_SIZE];
        device_table(table);
        kernel_support = support;
        upgrader_kernel_only = 0;
        env_mtd_write = config_mtd_write = 0;
        mtd_layout_plan plan;
        if (mtd_config_check_text(g_text, table, parts, flags, 2, &plan) != 0)
            continue;
        if (plan.moves < 0 || plan.moves > 10 || (support == 0 && plan.moves != 0))
            abort();
        for (const mtd_layout_entry &e : plan.next)
            if (e.start_addr < MTD_FLASH_BASE || e.end_addr > MTD_FLASH_END ||
                e.start_addr >= e.end_addr)
                abort(); // a window outside the flash passed the check
        for (int n = 0; n < 10; ++n)
            for (int m = 0; m < n; ++m)
                if (plan.next[n].start_addr < plan.next[m].end_addr &&
                    plan.next[m].start_addr < plan.next[n].end_addr)
                    abort(); // overlapping windows passed the check
        if (plan.moves > 0 && mtd_config_deal(&plan, table) == 0)
            abort(); // plain files cannot be moved
        env_info untouched[ENV_TABLE_SIZE];
        device_table(untouched);
        if (memcmp(table, untouched, sizeof(table)) != 0)
            abort(); // a failed deal left the table changed
    }
    return 0;
}
