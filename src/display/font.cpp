#include "display/font.h"

#include <string.h>

namespace
{

// Header fields are big-endian words; read byte-wise so the table's
// alignment does not matter.
uint16_t header_field(int offset)
{
    uint16_t raw;
    memcpy(&raw, ascii_12_Arial + offset, sizeof(raw));
    return NTOHS(raw);
}

} // namespace

uint16_t NTOHS(uint16_t value)
{
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

const unsigned char *font_get_data(int code, uint8_t /*size*/)
{
    // Text reaches here as signed chars, so bytes from 0x80 up arrive
    // negative; they and anything past 128 draw as a space.
    if (code < 0 || code > 128)
        code = ' ';
    const int first_code = header_field(6);
    const int record_size = header_field(10);
    const int first_record = header_field(12);
    return ascii_12_Arial + (code - first_code) * record_size + first_record;
}
