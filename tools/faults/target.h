// The campaign's telephones on a MIPS kernel instead of phonesim: each run
// is one boot of QEMU's Malta board with the guest that scripts/target-check.sh
// makes (tests/target/init, the phoneflash module). The telephone is a
// phonesim telephone directory (made by phonesim init, for its chip and
// boot environment) with the guest's memory beside it in DIR/.target: the
// RAM file whose chip and state area outlive the boot, and what the last
// boot printed.
#ifndef FAULTS_TARGET_H
#define FAULTS_TARGET_H

#include "faults/campaign.h"

#include <string>

namespace faults
{

struct Guest {
    std::string kernel, initramfs; // absolute; empty kernel = run in phonesim
    std::string qemu, timeout;     // absolute
    std::string hwver, software;   // the telephone's, from the profile
    bool on() const { return !kernel.empty(); }
};

// Reads DIR/vmlinuz and DIR/initramfs.cpio as target-check makes them;
// false with *error.
bool find_guest(const std::string &dir, Guest *guest, std::string *error);

// The guest's memory for the telephone dir, from the chip and boot
// environment phonesim init gave it. false with *error.
bool target_seed(const std::string &dir, std::string *error);

// One boot: the pack (absolute path) in mode "file" or "direct", the power
// cut at flash operation cut (0: none). The exit status as "phonesim
// upgrade" would give it (kRebooted, kPowerCut, kNoReboot, kTimeLimit,
// kRunFailed); the console is appended to log.
int target_upgrade(const Guest &guest, const std::string &dir, const std::string &pack,
                   const std::string &mode, int cut, double time_limit, const std::string &log);

// The telephone as the last boot left it: the chip and boot environment
// from the guest's memory, the partition table as the guest printed it
// (empty after a cut).
Telephone target_phone(const std::string &dir);

// The flash operations of the last boot, as the guest numbered them.
bool target_operations(const std::string &dir, std::vector<Operation> *ops, std::string *error);

} // namespace faults

#endif
