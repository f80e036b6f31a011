// libFuzzer harness: arbitrary text as a phonesim profile. A profile is
// accepted or refused with a message, never with an exception; an accepted
// one is written back out and must read again as the same telephone, and
// its boot environment and layout texts must parse back to its windows.
#include "phonesim/profile.h"

#include <stdlib.h>

#include <string>

namespace
{

bool same(const phonesim::Profile &a, const phonesim::Profile &b)
{
    for (int i = 0; i < phonesim::kPartitions; ++i)
        if (a.mtd[i].start != b.mtd[i].start || a.mtd[i].end != b.mtd[i].end)
            return false;
    if (a.faults.size() != b.faults.size())
        return false;
    for (size_t i = 0; i < a.faults.size(); ++i)
        if (a.faults[i].partition != b.faults[i].partition ||
            a.faults[i].kind != b.faults[i].kind || a.faults[i].block != b.faults[i].block)
            return false;
    return a.bootenv == b.bootenv && a.hwver == b.hwver && a.software == b.software &&
           a.rom_version == b.rom_version && a.mtd6_version == b.mtd6_version &&
           a.mtd5_version == b.mtd5_version && a.mtd0_version == b.mtd0_version &&
           a.mtd_move_supported == b.mtd_move_supported && a.killapps_status == b.killapps_status &&
           a.umount_status == b.umount_status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    phonesim::Profile profile;
    std::string error;
    if (!phonesim::parse_profile(text, &profile, &error)) {
        if (error.empty())
            abort(); // refused without saying why
        return 0;
    }
    phonesim::Profile again;
    if (!phonesim::parse_profile(phonesim::profile_to_json(profile), &again, &error) ||
        !same(profile, again))
        abort(); // the written profile is another telephone
    phonesim::Window windows[phonesim::kPartitions];
    if (!phonesim::parse_layout(phonesim::format_layout(profile.mtd), windows))
        abort();
    for (int i = 0; i < phonesim::kPartitions; ++i)
        if (windows[i].start != profile.mtd[i].start || windows[i].end != profile.mtd[i].end)
            abort();
    phonesim::format_bootenv(phonesim::initial_bootenv(profile));
    return 0;
}
