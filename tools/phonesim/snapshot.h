// The state of the telephone outside its running processes (boot
// environment, partition windows and their digests, the files under /tmp
// and /config, the misc and record files), taken before and after a run,
// and the System V objects of the upgrade as a peer finds them.
#ifndef PHONESIM_SNAPSHOT_H
#define PHONESIM_SNAPSHOT_H

#include "phonesim/profile.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace phonesim
{

// The whole file from byte from on; false when it cannot be opened.
bool read_file(const std::string &path, std::string *out, off_t from = 0);
// The lines of text that are not empty.
std::vector<std::string> non_empty_lines(const std::string &text);

struct FileInfo {
    char type = 'f'; // f regular, d directory, l symbolic link, o other
    uint64_t size = 0;
    std::string sha256; // of the content, or of a link's target
};

struct Snapshot {
    std::vector<std::pair<std::string, std::string>> bootenv;
    Window windows[kPartitions];
    std::string sha256[kPartitions]; // of each window's bytes in the chip
    off_t misc_size = 0;
    std::map<std::string, off_t> records; // record file name -> size
    std::map<std::string, FileInfo> files;
};

// digests false leaves out what costs: the partitions' and the files'
// SHA-256 (sha256 and files stay empty).
Snapshot take_snapshot(const Paths &paths, const Profile &profile, bool digests = true);

// Each lock of the upgrade (1 free, 0 taken, null when never made) and
// whether the shared upgrade memory exists.
nlohmann::ordered_json sysv_snapshot();

} // namespace phonesim

#endif
