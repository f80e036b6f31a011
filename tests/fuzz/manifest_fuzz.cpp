// libFuzzer harness: arbitrary text as a "rompack create" manifest beside a
// payload file it may name: accepted, or refused with a message, never
// thrown out of; an accepted one of modest size is made into a pack.
#include "rompack/manifest.h"

#include "fuzz_root.h"

#include <stdlib.h>

#include <string>
#include <vector>

namespace
{

std::string g_manifest;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const fuzzroot::fs::path root = fuzzroot::make_root("manifest");
    fuzzroot::fs::create_directories(root / "payloads");
    const std::string payload(300, 'P');
    fuzzroot::put(root / "payloads/basic.bin", payload.data(), payload.size());
    g_manifest = (root / "pack.json").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzroot::put(g_manifest, data, size);
    rompack::Manifest manifest;
    std::string error;
    if (!rompack::load_manifest(g_manifest, &manifest, &error)) {
        if (error.empty())
            abort(); // refused without saying why
        return 0;
    }
    // A pack of up to 256 MiB is legitimate but would only slow the search.
    if (rompack::pack_length(manifest.pack) > (1u << 20))
        return 0;
    std::vector<uint8_t> pack;
    error.clear();
    if (!rompack::build_pack(manifest, &pack, &error) && error.empty())
        abort();
    return 0;
}
