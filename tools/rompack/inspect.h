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

// Runs upgrader_rompack_check on the pack against a copy of the telephone
// root device_dir; device_dir itself is never written. On a failure of the
// tool itself (the profile cannot be copied, ...) returns false with *error.
// keep: leave the copy in place and name it in the report.
bool verify_pack(const std::vector<uint8_t> &pack, const std::string &device_dir, bool keep,
                 nlohmann::json *report, std::string *error);
std::string render_verify(const nlohmann::json &report);

} // namespace rompack

#endif
