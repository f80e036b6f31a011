#include "faults/layouts.h"

#include "common/hosttool.h"

#include <nlohmann/json.hpp>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <random>

namespace faults
{

namespace
{

using phonesim::kEraseSize;
using phonesim::kFlashBase;
using phonesim::kFlashSize;
using phonesim::kPartitions;

constexpr int kRelations = 8;
constexpr int kChipBlocks = int(kFlashSize / kEraseSize);

// Windows in erase blocks from the chip's start.
struct Blocks {
    int start = 0, end = 0;
};

// A draw from [lo, hi] that is the same on every machine for a seed (the
// standard distributions are not).
int draw(std::mt19937 &rng, int lo, int hi)
{
    return lo + int(rng() % uint32_t(hi - lo + 1));
}

// The new windows of one layout: mtd3 and mtd4 placed by the relation, the
// partitions between mtd2 and mtd5 stretched or shrunk around them, mtd0,
// mtd1 and mtd6..mtd9 kept. Empty when the telephone's own layout leaves no
// room for the relation.
std::vector<Blocks> make_layout(const phonesim::Profile &phone, int relation, std::mt19937 &rng)
{
    std::vector<Blocks> old(kPartitions), next;
    for (int n = 0; n < kPartitions; ++n)
        old[size_t(n)] = {int((phone.mtd[n].start - kFlashBase) / kEraseSize),
                          int((phone.mtd[n].end - kFlashBase) / kEraseSize)};
    const int o3 = old[3].start, o4end = old[4].end;
    // The blocks keep their sizes: the campaign finds them whole only in
    // windows that hold exactly them.
    const int size3 = old[3].end - old[3].start, size4 = old[4].end - old[4].start;
    int s3 = o3, s4 = 0;
    bool swapped = false;
    switch (relation) {
    case 0: s3 = o3 - size3 - size4 - draw(rng, 1, 4); break;        // disjoint below
    case 1: s3 = o4end + draw(rng, 1, std::max(1, std::min(4, old[6].start - 1 - o4end - size3 - size4)));
        break; // disjoint above
    case 2: s3 = o3 - size3 - size4; break;                           // adjacent, just below
    case 3: s3 = o4end - draw(rng, 1, 2); break;                      // overlapping old mtd4
    case 4: s3 = o3 - size3 - draw(rng, 0, 1); break;                 // mtd4 over both
    case 5: s3 = o3 - draw(rng, 1, 3); break;                         // sliding down
    case 6: s3 = o3 + draw(rng, 1, 3); break;                         // sliding up
    default: swapped = true; break;                                   // mtd4 first, then mtd3
    }
    if (swapped) {
        s4 = o3;
        s3 = s4 + size4;
    } else {
        s4 = s3 + size3;
    }
    const int low = std::min(s3, s4), high = swapped ? s3 + size3 : s4 + size4;
    // mtd2 ends where the moved pair begins, mtd5 runs from its end to
    // mtd6; both keep at least one block.
    if (low < old[2].start + 1 || high > old[6].start - 1 || high > kChipBlocks)
        return next;
    next = old;
    next[2].end = low;
    next[3] = {s3, s3 + size3};
    next[4] = {s4, s4 + size4};
    next[5] = {high, old[6].start};
    return next;
}

std::string hex_window(const Blocks &b)
{
    char text[32];
    snprintf(text, sizeof text, "%x,%x", unsigned(kFlashBase + uint32_t(b.start) * kEraseSize),
             unsigned(kFlashBase + uint32_t(b.end) * kEraseSize));
    return text;
}

} // namespace

bool parse_layouts_option(const std::string &option, uint32_t *seed, int *count, std::string *error)
{
    unsigned long s = 0, c = 0;
    int used = 0;
    if (sscanf(option.c_str(), "random:%lu:%lu%n", &s, &c, &used) != 2 ||
        used != int(option.size()) || s > 0xFFFFFFFFul || c < 1 || c > 10000) {
        *error = "--layouts " + option + ": expected random:SEED:COUNT, a seed of 0..4294967295 "
                                       "and 1..10000 layouts";
        return false;
    }
    *seed = uint32_t(s);
    *count = int(c);
    return true;
}

const char *layout_relation(int i)
{
    static const char *const kNames[kRelations] = {
        "disjoint below",   "disjoint above", "adjacent",   "overlapping one",
        "overlapping both", "sliding down",   "sliding up", "swapped"};
    return kNames[i % kRelations];
}

bool write_random_layouts(const phonesim::Profile &phone, uint32_t seed, int count,
                          const std::string &dir, std::vector<std::string> *manifests,
                          std::string *error)
{
    // Packs the telephone takes: its model, variant and OEM.
    struct {
        unsigned device = 0, variant = 0, oem = 0;
    } target;
    unsigned hw[5] = {};
    if (sscanf(phone.hwver.c_str(), "%u.%u.%u.%u.%u", &hw[0], &hw[1], &hw[2], &hw[3], &hw[4]) != 5) {
        *error = "the profile's hwver " + phone.hwver + " has no model and variant";
        return false;
    }
    target.device = hw[0] & 0xFF;
    target.variant = hw[4] & 0x0F;
    for (const auto &var : phone.bootenv)
        if (var.first == "SW_OEM")
            target.oem = unsigned(strtoul(var.second.c_str(), nullptr, 10));
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
        const int relation = i % kRelations;
        std::vector<Blocks> next = make_layout(phone, relation, rng);
        if (next.empty()) {
            *error = std::string("the telephone's layout leaves no room to move mtd3 and mtd4 ") +
                     layout_relation(relation);
            return false;
        }
        const std::string name = "random-" + std::to_string(seed) + "-" + std::to_string(i + 1);
        std::string conf = "[mtd]\n";
        for (int n = 0; n < kPartitions; ++n)
            conf += "mtd" + std::to_string(n) + "=" + hex_window(next[size_t(n)]) + "\n";
        // basic (mtd5) and applications (mtd6) always, resources (mtd7)
        // now and then: payloads that fill part of the new windows.
        nlohmann::ordered_json parts = nlohmann::ordered_json::array();
        parts.push_back({{"id", 255}, {"type", 2}, {"version", "2.143.7.1"},
                         {"payload", name + "-mtd.conf"}});
        for (int n : {5, 6, 7}) {
            if (n == 7 && draw(rng, 0, 1) == 0)
                continue;
            const int blocks = next[size_t(n)].end - next[size_t(n)].start;
            const int size = draw(rng, 1, std::min(blocks, 6)) * int(kEraseSize) - draw(rng, 0, 4095);
            parts.push_back({{"id", n},
                             {"version", "2.143.7.1"},
                             {"payload",
                              {{"size", size}, {"pattern", "random:" + std::to_string(rng() % 100000)}}}});
        }
        nlohmann::ordered_json manifest = {
            {"comment", std::string("Random layout ") + std::to_string(i + 1) + " of seed " +
                            std::to_string(seed) + ": mtd3 and mtd4 " + layout_relation(relation)},
            {"device_id", target.device},
            {"oem_id", target.oem},
            {"version", "2.143.7.1"},
            {"match_id", {target.variant}},
            {"scramble_key", 17},
            {"partitions", parts}};
        const std::string path = dir + "/" + name + ".json";
        if (!hosttool::write_output(dir + "/" + name + "-mtd.conf", conf, error) ||
            !hosttool::write_output(path, manifest.dump(2) + "\n", error))
            return false;
        manifests->push_back(path);
    }
    return true;
}

} // namespace faults
