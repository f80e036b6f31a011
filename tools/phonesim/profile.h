// What a simulated telephone is: its flash layout, boot environment,
// versions, hardware, and the behaviour of its scripts and kernel. Read from a
// JSON profile; every field has a default, so an empty profile "{}" makes a
// plausible telephone.
#ifndef PHONESIM_PROFILE_H
#define PHONESIM_PROFILE_H

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace phonesim {

// The simulated chip's geometry is its own, not taken from the program's
// headers (MTD_FLASH_BASE, FLASH_BLOCK_SIZE): a wrong value there must show
// as a failure against this telephone instead of being copied into it.
constexpr uint32_t kFlashBase = 0x90000000u;
constexpr uint32_t kFlashSize = 0x00800000u; // one 8 MiB NOR chip
constexpr uint32_t kEraseSize = 0x10000u;    // 64 KiB erase blocks
constexpr int kPartitions = 10;              // mtd0..mtd9

// A partition window: flash addresses of its first byte and of the byte
// after its last.
struct Window {
    uint32_t start = 0;
    uint32_t end = 0;
};

// A fault the kernel injects. kind: "open" (opening /dev/mtdN fails),
// "erase" (MEMERASE fails), "write" (a write fails), "short_write" (a write
// stores half of what was asked). block: the 64 KiB block of the partition
// the fault applies to, -1 for any.
struct Fault {
    int partition = 0;
    std::string kind;
    int block = -1;
};

// Where the power fails during a run: at the op-th flash operation (from
// 1), or that many seconds after the start (real time); 0 leaves either out,
// and whichever comes first cuts.
struct PowerCut {
    uint64_t op = 0;
    double seconds = 0;
    bool any() const { return op > 0 || seconds > 0; }
};

// How long the telephone's flash takes, for the estimate phonesim reports
// and the waits it can make. The defaults are the typical figures of an
// 8 MiB (64 Mbit) parallel NOR chip of the S29GL064N class: 0.5 s per 64 KiB
// sector erase, 240 us per 32-byte write buffer (7.5 ms per KiB), 90 ns per
// 16-bit read access (0.046 ms per KiB).
struct FlashTiming {
    double erase_ms = 500;           // one 64 KiB sector
    double program_ms_per_kib = 7.5; // bytes stored by writes
    double read_ms_per_kib = 0.046;  // bytes read
    // Makes the kernel wait that long times this scale for each request
    // (1 = the telephone's pace); 0 waits not at all.
    double delay = 0;
};

struct Profile {
    Window mtd[kPartitions];
    // Boot environment variables besides mtd0..mtd9, in order (MID_VERSION,
    // SW_OEM, SW_protect, Mtd2Version by default).
    std::vector<std::pair<std::string, std::string>> bootenv;
    std::string hwver = "59.1.0.1.2.0.0.0";   // /proc/misc/hwver
    std::string software = "1.0.0.1,phonesim"; // /proc/ver/software
    // [Version] keys of the version files.
    std::string rom_version = "2.143.6.200"; // /app/version.conf RomVersion
    std::string mtd6_version = "6.0.0.1";    // /app/version.conf Mtd6Version
    std::string mtd5_version = "5.0.0.1";    // /basic/version.conf Mtd5Version
    std::string mtd0_version = "0.0.0.1";    // /version.conf Mtd0Version
    // Whether the kernel answers the partition query and moves partitions.
    bool mtd_move_supported = true;
    int killapps_status = 0; // exit status of /app/scripts/killapps.sh
    int umount_status = 0;   // exit status of the umount stand-in
    std::vector<Fault> faults;
    PowerCut power_cut; // none by default
    FlashTiming flash_timing;
    // For people and for the fleet rehearsal, never for the telephone: what
    // this telephone is, and whether a pack rehearsed on it is expected to be
    // "upgraded" (taken, or already installed) or "refused" by its check.
    std::string comment;
    std::string expect = "upgraded";
};

// The defaults: mtd0..mtd9 on 64 KiB boundaries inside the chip, mtd3 64 KiB
// and mtd4 512 KiB.
Profile default_profile();

// Reads a JSON profile over the defaults. false with *error naming the
// offending field when the file cannot be read or a field is malformed.
bool load_profile(const std::string &path, Profile *profile, std::string *error);
bool parse_profile(const std::string &json_text, Profile *profile, std::string *error);
std::string profile_to_json(const Profile &profile);

// The path ("mtd.mtd3.start", "partitions[1].id") of the first key that an
// object of the JSON text gives twice; nothing when there is none or the
// text is not JSON. The JSON reader would silently keep the last value,
// and a key written twice is as much a mistake as a misspelt one.
std::optional<std::string> duplicate_json_key(const std::string &json_text);

// The files a telephone root holds because of its profile, relative to the
// root, with their contents: proc/avalanche/env (the boot environment),
// proc/misc/hwver and proc/ver/software as the running kernel shows them,
// and the [Version] files app/version.conf, basic/version.conf and
// version.conf. One list, so that a telephone described by a profile is
// the same wherever it is made.
using DeviceFiles = std::vector<std::pair<std::string, std::string>>;
DeviceFiles device_files(const Profile &profile);

// The state files in DIR/.phonesim, written by init and kept up to date by
// the kernel.
//   bootenv: one "NAME VALUE" line per variable, in order; the partition
//            windows as "mtdN start,end" in bare hex ("mtd3 90320000,90330000"),
//            as the boot loader keeps them.
//   layout:  the kernel's current windows, "mtdN 0xSTART 0xEND" per line,
//            made anew from bootenv at each boot.
using Variables = std::vector<std::pair<std::string, std::string>>;
// The boot environment of a new telephone: the profile's variables, then
// mtd0..mtd9 from its windows.
Variables initial_bootenv(const Profile &profile);
std::string format_bootenv(const Variables &vars);
std::string format_layout(const Window (&mtd)[kPartitions]);
// false unless all ten partitions are given.
bool parse_layout(const std::string &text, Window (&mtd)[kPartitions]);

// Paths of a telephone root DIR. State that the simulated kernel keeps lives
// in DIR/.phonesim, outside the paths the program uses.
struct Paths {
    std::string root;
    std::string state() const { return root + "/.phonesim"; }
    std::string profile() const { return state() + "/profile.json"; }
    std::string flash() const { return state() + "/flash.img"; }     // 8 MiB chip
    std::string bootenv() const { return state() + "/bootenv"; }     // "NAME VALUE" lines
    std::string layout() const { return state() + "/layout"; }       // "mtdN start end" hex lines
    std::string kernel() const { return state() + "/kernel"; }       // FUSE mount point
    std::string control() const { return state() + "/control"; }     // FIFO: reboot requests
    std::string records() const { return state() + "/records"; }     // kill script / umount runs
    std::string last_run() const { return state() + "/last-run"; }   // report of the last run
    std::string power_cut() const { return state() + "/power-cut"; } // the last run lost power
    std::string unmounted() const { return state() + "/unmounted"; } // file systems umount took away
};

} // namespace phonesim

#endif
