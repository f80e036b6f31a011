// libFuzzer harness: arbitrary text as a phonesim profile. A profile is
// accepted or refused with a message, never with an exception; an accepted
// one is written back out and must read again as the same telephone, and
// its boot environment and layout texts must parse back to its windows.
#include "phonesim/profile.h"

#include <stdlib.h>

#include <string>

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
    const std::string written = phonesim::profile_to_json(profile);
    if (!phonesim::parse_profile(written, &again, &error) ||
        phonesim::profile_to_json(again) != written)
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
