// The pack maker: lays a ROM pack out byte by byte from a PackSpec.
//
// Order of work in make_pack: payloads, then partition headers (checksums
// balanced), then the body checksum over everything after the ROM header,
// then the ROM header (clear words, scrambling), and last the ROM header's
// balancing word over the bytes as stored.
#include "rompack/packmaker.h"

#include "upgrader/aes.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace rompack
{

namespace
{

constexpr uint32_t kRomMagic = 0x52524F4Du;  // "RROM"
constexpr uint32_t kPartMagic = 0x52504154u; // "RPAT"
constexpr uint32_t kRecordLen = 140;         // the in-memory ROM header record
constexpr uint32_t kPartRecordLen = 44;      // the defined part of a partition header

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// XOR of n little-endian words from p.
uint32_t xor_words(const uint8_t *p, uint64_t n)
{
    uint32_t x = 0;
    for (uint64_t i = 0; i < n; ++i)
        x ^= get32(p + 4 * i);
    return x;
}

// Sets the word at offset 8 of a header so that the XOR of the
// (size >> 2) + 1 words from offset 8 is 0; the words must lie in h[0, avail).
void balance_header(uint8_t *h, uint32_t size, uint64_t avail)
{
    uint64_t n = (static_cast<uint64_t>(size) >> 2) + 1;
    if (avail < 8)
        return;
    n = std::min<uint64_t>(n, (avail - 8) / 4);
    if (n == 0)
        return;
    put32(h + 8, 0);
    put32(h + 8, xor_words(h + 8, n));
}

// splitmix64: small, well known, the same bytes on every host.
uint64_t splitmix64(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool parse_u64(const std::string &text, uint64_t *out)
{
    if (text.empty() || text.size() > 20)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

} // namespace

bool parse_version(const std::string &text, uint32_t *word)
{
    uint32_t v = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        size_t digits = 0;
        uint32_t n = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            n = n * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || n > 255)
            return false;
        v = v << 8 | n;
        if (part < 3) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
    }
    if (pos != text.size())
        return false;
    if (word)
        *word = v;
    return true;
}

void scramble(uint8_t key, uint8_t *data, int len)
{
    if (!data || len <= 0)
        return;
    // The inverse of the reader's table, built from it so there is one table.
    uint8_t inverse[256];
    for (int i = 0; i < 256; ++i)
        inverse[decrypt[i]] = static_cast<uint8_t>(i);
    for (int i = 0; i < len; ++i)
        data[i] = inverse[data[i]];
    // The reader rotates left by key mod len; undo it with a right rotation.
    int r = key % len;
    if (r)
        std::rotate(data, data + (len - r), data + len);
}

bool generate_payload(uint32_t size, const std::string &pattern, std::vector<uint8_t> *out)
{
    if (!out)
        return false;
    std::vector<uint8_t> data;
    if (pattern == "zero") {
        data.assign(size, 0x00);
    } else if (pattern == "ff") {
        data.assign(size, 0xFF);
    } else if (pattern == "counter") {
        data.resize(size);
        for (uint32_t i = 0; i < size; ++i)
            data[i] = static_cast<uint8_t>(i & 255);
    } else if (pattern.compare(0, 7, "random:") == 0) {
        uint64_t state = 0;
        if (!parse_u64(pattern.substr(7), &state))
            return false;
        data.resize(size);
        uint64_t word = 0;
        for (uint32_t i = 0; i < size; ++i) {
            if (i % 8 == 0)
                word = splitmix64(&state);
            data[i] = static_cast<uint8_t>(word >> (8 * (i % 8)));
        }
    } else {
        return false;
    }
    out->swap(data);
    return true;
}

void fix_rom_header_checksum(std::vector<uint8_t> &pack)
{
    if (pack.size() < 12)
        return;
    uint32_t size = get32(pack.data() + 4);
    uint64_t header_len = std::min<uint64_t>(pack.size(), 12ull + size);
    balance_header(pack.data(), size, header_len);
}

namespace
{

// Where every partition header and payload goes, and the pack's length.
struct Layout {
    std::vector<uint64_t> header_at;
    std::vector<uint64_t> payload_at;
    uint64_t end = 0;
};

Layout lay_out(const PackSpec &recipe)
{
    Layout l;
    l.header_at.resize(recipe.partitions.size());
    l.payload_at.resize(recipe.partitions.size());
    uint64_t pos = 12ull + recipe.header_size;
    for (size_t i = 0; i < recipe.partitions.size(); ++i) {
        l.header_at[i] = pos;
        pos += 12ull + recipe.partitions[i].header_size;
    }
    l.end = pos;
    for (size_t i = 0; i < recipe.partitions.size(); ++i) {
        const PartitionSpec &p = recipe.partitions[i];
        l.payload_at[i] = p.offset ? *p.offset : pos;
        pos = l.payload_at[i] + p.payload.size();
        l.end = std::max(l.end, pos);
    }
    return l;
}

// Above header_size 132 the scrambled region reaches the words at 108..119,
// where the scrambled words of 20, 36 and 40 are stored. The reader moves
// them back to 20, 36 and 40 but also unscrambles them where they are, in
// place of the region's own bytes there. A header reads back only if the
// region holds equal bytes in both places of each pair; each place comes
// from one plain byte (through the rotation), so where one of the two plain
// bytes is not a field it is set to the other. When both are fields the
// pair cannot be matched and the header reads back with one field mixed
// into the other: no header of the format in use is that long.
void match_moved_words(uint8_t *h, int len, uint8_t key)
{
    const int r = key % len;
    auto plain_at = [&](int off) { return 12 + ((off - 12 - r) % len + len) % len; };
    // How freely a plain byte may be changed: 2 never read (reserved, or
    // overwritten by the copies), 1 read only into the copies (the clear
    // values go back at 20..23 and 36..43), 0 a field.
    auto freedom = [](int off) {
        if ((off >= 68 && off < 104) || (off >= 108 && off < 124))
            return 2;
        return (off >= 20 && off < 24) || (off >= 36 && off < 44) ? 1 : 0;
    };
    // The 24 places are distinct, so no plain byte belongs to two pairs.
    const int pairs[3][2] = {{20, 108}, {36, 116}, {40, 112}};
    for (const auto &pair : pairs) {
        for (int j = 0; j < 4; ++j) {
            if (pair[1] + j >= 12 + len)
                continue;
            const int a = plain_at(pair[0] + j), b = plain_at(pair[1] + j);
            if (freedom(a) >= freedom(b) && freedom(a) > 0)
                h[a] = h[b];
            else if (freedom(b) > 0)
                h[b] = h[a];
        }
    }
}

} // namespace

uint64_t pack_length(const PackSpec &recipe)
{
    return lay_out(recipe).end;
}

void fix_rom_checksum(std::vector<uint8_t> &pack)
{
    if (pack.size() < 44)
        return;
    const uint64_t body = 12ull + get32(pack.data() + 4);
    const uint64_t words = get32(pack.data() + 36) >> 2;
    uint64_t n = 0;
    if (body < pack.size())
        n = std::min<uint64_t>(words, (pack.size() - body) / 4);
    put32(pack.data() + 40, n ? xor_words(pack.data() + body, n) : 0);
    fix_rom_header_checksum(pack);
}

std::vector<uint8_t> make_pack(const PackSpec &recipe)
{
    const uint32_t hs = recipe.header_size;
    const bool current = hs >= 128;
    const uint64_t rom_header_len = 12ull + hs;
    const Layout layout = lay_out(recipe);
    const std::vector<uint64_t> &header_at = layout.header_at;
    const std::vector<uint64_t> &payload_at = layout.payload_at;
    const uint64_t end = layout.end;
    // The ROM header record is 140 bytes even when the stored header is
    // shorter; keep room for it while building.
    std::vector<uint8_t> pack(std::max<uint64_t>(end, kRecordLen), 0);

    for (size_t i = 0; i < recipe.partitions.size(); ++i) {
        const PartitionSpec &p = recipe.partitions[i];
        if (!p.payload.empty())
            memcpy(pack.data() + payload_at[i], p.payload.data(), p.payload.size());
    }

    for (size_t i = 0; i < recipe.partitions.size(); ++i) {
        const PartitionSpec &p = recipe.partitions[i];
        const uint64_t stored = 12ull + p.header_size;
        std::vector<uint8_t> h(std::max<uint64_t>(stored, kPartRecordLen), 0);
        put32(&h[0], kPartMagic);
        put32(&h[4], p.header_size);
        put32(&h[12], p.type);
        put32(&h[16], p.process_type);
        put32(&h[20], p.data_type);
        put32(&h[24], p.id);
        put32(&h[28], p.version);
        put32(&h[32], static_cast<uint32_t>(p.payload.size()));
        put32(&h[36], xor_words(p.payload.data(), p.payload.size() >> 2));
        put32(&h[40], static_cast<uint32_t>(payload_at[i]));
        balance_header(h.data(), p.header_size, stored);
        memcpy(pack.data() + header_at[i], h.data(), stored);
    }

    const uint64_t body_len = end > rom_header_len ? end - rom_header_len : 0;
    const uint32_t rom_size = static_cast<uint32_t>(body_len);
    const uint32_t rom_checksum =
        body_len ? xor_words(pack.data() + rom_header_len, body_len >> 2) : 0;
    const uint32_t partition_num = static_cast<uint32_t>(recipe.partitions.size());

    // The plain header record, then the scrambling of the current layout.
    uint8_t h[kRecordLen] = {};
    put32(h + 0, kRomMagic);
    put32(h + 4, hs);
    put32(h + 12, recipe.rom_type);
    put32(h + 16, recipe.process_type);
    put32(h + 20, partition_num);
    put32(h + 24, recipe.device_id);
    put32(h + 28, recipe.oem_id);
    put32(h + 32, recipe.version);
    put32(h + 36, rom_size);
    put32(h + 40, rom_checksum);
    memcpy(h + 44, recipe.match_id, 16);
    put32(h + 60, recipe.mid_version);
    put32(h + 64, recipe.sw_protect);
    if (current) {
        put32(h + 104, kRomMagic);
        h[124] = recipe.scramble_key;
        // The region runs from 12 for header_size - 36 bytes; the reader
        // only unscrambles inside its 140-byte record, and so do we.
        const int region = static_cast<int>(std::min<uint32_t>(hs - 36, kRecordLen - 12));
        uint8_t key = recipe.scramble_key;
        match_moved_words(h, region, key);
        scramble(key, h + 12, region);
        // The scrambled words of 20, 36 and 40 go to 108, 116 and 112;
        // the clear values take their place.
        memcpy(h + 108, h + 20, 4);
        memcpy(h + 116, h + 36, 4);
        memcpy(h + 112, h + 40, 4);
        put32(h + 20, partition_num);
        put32(h + 36, rom_size);
        put32(h + 40, rom_checksum);
    }
    // Bytes past the stored header length do not exist on disk.
    memcpy(pack.data(), h, std::min<uint64_t>(rom_header_len, kRecordLen));
    pack.resize(end);
    balance_header(pack.data(), hs, std::min<uint64_t>(rom_header_len, pack.size()));
    return pack;
}

} // namespace rompack
