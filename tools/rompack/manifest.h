// The JSON manifest of "rompack create": what a pack holds and, for the
// deliberately broken packs of the tests, what to do to its bytes after
// making it.
//
//   {
//     "comment": "free text, ignored (allowed in every object)",
//     "rom_type": 1, "process_type": 0,       // process_type 1 = forced
//     "device_id": 59, "oem_id": 7,
//     "version": "2.143.6.200",               // A.B.C.D, each 0..255
//     "match_id": [2, 3],                     // up to 16 variants, rest 0
//     "mid_version": 0, "sw_protect": 0,
//     "layout": "current",                    // or "older" (header_size 124)
//     "header_size": 128,                     // instead of "layout"
//     "scramble_key": 17,                     // current layout only
//     "partitions": [
//       { "id": 5, "type": 0, "process_type": 0, "data_type": 0,
//         "version": "1.0.0.3",
//         "payload": "payloads/basic.bin",    // relative to the manifest
//         "payload": { "size": 4096, "pattern": "counter" },  // or generated
//         "offset": 1024,                     // optional, else packed
//         "header_size": 32 }                 // optional
//     ],
//     "corrupt": {                            // optional, applied in order:
//       "patch": [ { "offset": 104, "hex": "00ff" } ],
//       "truncate": 300,                      // new length
//       "fix": "none" | "header" | "body",    // re-balance the header word,
//                                             // or the body checksum too
//       "unchecked": true                     // make partitions the check
//     }                                       // refuses (see below)
//   }
//
// Numbers are JSON integers or strings in C notation ("0xff"). Only
// "version" and "device_id" are required at the top, "id", "version" and
// "payload" in a partition; everything else defaults to 0 / current layout.
// Unknown fields and keys given twice are errors, so a misspelt field never
// goes unnoticed.
//
// Partitions the telephone's check refuses are refused here too, naming
// the field: more than 16, an id that is neither a flash partition (0..9,
// type 0) nor a payload kept off flash (255 and above), the same id twice.
// Only "corrupt": {"unchecked": true} makes them, for the test packs that
// show the check's refusals.
#ifndef ROMPACK_MANIFEST_H
#define ROMPACK_MANIFEST_H

#include "rompack/packmaker.h"

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace rompack
{

// One byte patch applied to the made pack.
struct Patch {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

// Changes to a made pack, in this order: patches, truncation, then the
// checksum repair that lets a later check see the damage.
struct Corruption {
    std::vector<Patch> patches;
    std::optional<uint64_t> truncate; // new length, at most the pack's length
    enum class Fix { none, header, body } fix = Fix::none;
    bool unchecked = false; // partitions the check refuses are made
};

struct Manifest {
    PackSpec pack;
    Corruption corrupt;
    std::vector<std::string> payload_files; // as opened, for "-o" checks
};

// Reads the manifest at path ("-": standard input); payload files are named
// relative to the manifest's directory (to the current one for standard
// input). Payload files must be regular files or streams of at most 256
// MiB. On failure returns false and sets *error to a message naming the
// file and the offending field.
bool load_manifest(const std::string &path, Manifest *out, std::string *error);

// Whether bytes given as a pack are a manifest (JSON) instead: packs start
// with their magic, manifests with "{".
bool looks_like_manifest(const std::vector<uint8_t> &bytes);

// make_pack followed by the manifest's corruption; false with *error when a
// patch or truncation lies outside the pack or the pack outgrows 32-bit
// offsets.
bool build_pack(const Manifest &manifest, std::vector<uint8_t> *pack, std::string *error);

} // namespace rompack

#endif
