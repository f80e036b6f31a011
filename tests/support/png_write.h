// A small PNG writer for pictures that tests leave behind for a person to
// look at: 8-bit greyscale, no compression (stored deflate blocks), so it
// needs nothing but the standard library.
#ifndef TESTS_SUPPORT_PNG_WRITE_H
#define TESTS_SUPPORT_PNG_WRITE_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace testsupport
{

namespace png_detail
{

inline uint32_t crc32(const uint8_t *data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void put_be32(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline void put_chunk(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &data)
{
    put_be32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, crc32(body.data(), body.size()));
}

// zlib stream of stored blocks (at most 65535 bytes each) with its Adler-32.
inline std::vector<uint8_t> zlib_stored(const std::vector<uint8_t> &raw)
{
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(z, (b << 16) | a);
    return z;
}

} // namespace png_detail

// Writes a greyscale picture (width x height values, row-major, 0 black to
// 255 white), each pixel drawn as a scale x scale square. False when the
// file cannot be written.
inline bool png_write_gray(const std::string &path, int width, int height,
                           const std::vector<uint8_t> &pixels, int scale = 1)
{
    if (width <= 0 || height <= 0 || scale <= 0 ||
        pixels.size() != static_cast<size_t>(width) * height)
        return false;
    const uint32_t w = static_cast<uint32_t>(width * scale);
    const uint32_t h = static_cast<uint32_t>(height * scale);
    std::vector<uint8_t> raw;
    raw.reserve((w + 1) * h);
    for (uint32_t y = 0; y < h; ++y) {
        raw.push_back(0); // filter: none
        for (uint32_t x = 0; x < w; ++x)
            raw.push_back(pixels[(y / scale) * width + x / scale]);
    }
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    png_detail::put_be32(ihdr, w);
    png_detail::put_be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0}); // 8-bit grey, deflate, no interlace
    png_detail::put_chunk(out, "IHDR", ihdr);
    png_detail::put_chunk(out, "IDAT", png_detail::zlib_stored(raw));
    png_detail::put_chunk(out, "IEND", {});
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    return fclose(f) == 0 && ok;
}

} // namespace testsupport

#endif
