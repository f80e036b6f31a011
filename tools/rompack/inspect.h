// "rompack info" and "rompack verify": reading a pack with the program's
// own code, and running the program's own check against a device profile.
// Both produce a JSON report (printed as is with --json) and a text
// rendering of it.
#ifndef ROMPACK_INSPECT_H
#define ROMPACK_INSPECT_H

#include <nlohmann/json.hpp>

#include <stdint.h>

#include <string>
#include <vector>

namespace rompack
{

// What a partition is, from its id and type: "flash mtd5", "upgrade
// program", "MTD layout", "config modification" or "unknown".
std::string partition_kind(uint32_t id, uint32_t type);

// Reads and validates the pack with rompack_read_rom_header and
// rompack_read_partition_header. The report holds "code" and "name" (the
// first refusal, or 0), "header" and "partitions" with every field as far as
// reading got, and the checksums computed over the bytes beside the stored
// ones.
nlohmann::json inspect_pack(const std::vector<uint8_t> &pack);
std::string render_info(const nlohmann::json &report);

// The telephone a pack is checked against: a telephone root (proc/, the
// version files), a phonesim JSON profile, or a telephone made by
// "phonesim init" (read outside a run).
struct Device {
    enum class Kind { root, profile, phone } kind = Kind::root;
    std::string path;
};

// Runs upgrader_rompack_check on the pack against a scratch copy of the
// telephone; the description itself is never written. Returns
// hosttool::kExitOk with *report filled, kExitUsage when the description
// is broken (a file the check needs is missing or garbled; *error names
// it), kExitFailed when the tool could not make the copy. keep: leave the
// copy in place and name it in the report.
int verify_pack(const std::vector<uint8_t> &pack, const Device &device, bool keep,
                nlohmann::json *report, std::string *error);
std::string render_verify(const nlohmann::json &report);

} // namespace rompack

#endif
