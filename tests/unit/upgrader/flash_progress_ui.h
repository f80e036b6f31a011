// The progress bar as the flash tests see it: a stand-in for the upgrade
// UI's facade that records every percentage instead of drawing it, so that
// the bar's exact course can be compared (the drawn fill loses precision:
// several percentages give the same number of pixels). And the packs those
// tests burn.
#ifndef TESTS_FLASH_PROGRESS_UI_H
#define TESTS_FLASH_PROGRESS_UI_H

#include "upgrader/flash.h"

#include <stdint.h>

#include <vector>

// Every value given to CBasicUI::SetUpgradingProgressBar, in order.
std::vector<int> &progress_seen();

// One partition of a pack under test.
struct PackPart {
    int id;
    uint32_t size;
    int flag = 1;
};

// A pack holding its partitions' payloads one after another, each byte
// telling its place and partition, behind room for the pack's headers.
struct TestPack {
    std::vector<uint8_t> bytes;
    std::vector<Partition_Header> headers;
    std::vector<uint8_t> payload(size_t i) const
    {
        auto from = bytes.begin() + headers[i].partition_offset;
        return std::vector<uint8_t>(from, from + headers[i].partition_size);
    }
};

// Builds *pack from parts and burns it with table, the bar recorded.
int burn_pack(const std::vector<PackPart> &parts, env_info *table, TestPack *pack);

#endif
