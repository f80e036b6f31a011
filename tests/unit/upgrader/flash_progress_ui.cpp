// Linked in place of the basicui library: only what the flash writer and
// its tests call is defined, so any new use of the facade shows as a link
// error rather than as an unrecorded screen.
#include "flash_progress_ui.h"

#include "basicui/basicUI.h"

std::vector<int> &progress_seen()
{
    static std::vector<int> seen;
    return seen;
}

CBasicUI::CBasicUI() {}

CBasicUI::~CBasicUI() {}

int CBasicUI::SetUpgradingProgressBar(int percent)
{
    progress_seen().push_back(percent);
    return 0;
}

int burn_pack(const std::vector<PackPart> &parts, env_info *table, TestPack *pack)
{
    pack->headers.assign(parts.size(), Partition_Header());
    pack->bytes.assign(64, 0);
    std::vector<int> flags;
    for (size_t i = 0; i < parts.size(); ++i) {
        pack->headers[i].partition_id = uint32_t(parts[i].id);
        pack->headers[i].partition_size = parts[i].size;
        pack->headers[i].partition_offset = uint32_t(pack->bytes.size());
        for (uint32_t b = 0; b < parts[i].size; ++b)
            pack->bytes.push_back(uint8_t(b * 13 + (b >> 9) + parts[i].id * 41));
        flags.push_back(parts[i].flag);
    }
    CBasicUI ui;
    return upgrader_burn_flash(pack->bytes.data(), table, int(parts.size()), pack->headers.data(),
                               flags.data(), &ui);
}
