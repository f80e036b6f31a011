#include "display/lcd_132x64_1Bit_HBYTE.h"

#include "log/rl_log.h"

namespace
{

// Locates pixel (x, y): false when it lies beyond length bytes. The index is
// at most 65535 * 132 + 65535, well inside an int.
bool locate(uint16_t x, uint16_t y, int length, int *byte, int *bit)
{
    int n = static_cast<int>(y) * LCD_WIDTH + static_cast<int>(x);
    *byte = n / 8;
    *bit = n % 8;
    return *byte < length;
}

} // namespace

void SetBitHByte(uint16_t x, uint16_t y, unsigned char *buffer, int length)
{
    int byte, bit;
    if (buffer == nullptr || !locate(x, y, length, &byte, &bit))
        return;
    buffer[byte] = static_cast<unsigned char>(buffer[byte] | (1u << bit));
}

void ClearBitHByte(uint16_t x, uint16_t y, unsigned char *buffer, int length)
{
    int byte, bit;
    if (buffer == nullptr || !locate(x, y, length, &byte, &bit))
        return;
    buffer[byte] = static_cast<unsigned char>(buffer[byte] & ~(1u << bit));
}

int GetBitHByte(uint16_t x, uint16_t y, const unsigned char *buffer, int length)
{
    int byte, bit;
    if (buffer == nullptr)
        return 0;
    if (!locate(x, y, length, &byte, &bit)) {
        rl_log_err("%s failed: byte_offset = %d, size = %d", "GetBitHByte", byte, length);
        return 0;
    }
    return (buffer[byte] >> bit) & 1;
}
