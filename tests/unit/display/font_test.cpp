#include "display/font.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

namespace
{

const unsigned char *record(int code)
{
    return ascii_12_Arial + 14 + code * FONT_RECORD_SIZE;
}

bool ink(const unsigned char *rec, int col, int row)
{
    const int bit = row * rec[0] + col;
    return (rec[2 + bit / 8] >> (bit % 8)) & 1;
}

bool row_has_ink(const unsigned char *rec, int row)
{
    for (int col = 0; col < rec[0]; ++col)
        if (ink(rec, col, row))
            return true;
    return false;
}

int lowest_ink_row(const unsigned char *rec)
{
    for (int row = FONT_HEIGHT - 1; row >= 0; --row)
        if (row_has_ink(rec, row))
            return row;
    return -1;
}

bool is_control(int code)
{
    return code < 32 || (code >= 128 && code < 160);
}

} // namespace

TEST(FontTable, HeaderAndWidths)
{
    EXPECT_EQ(sizeof(ascii_12_Arial), 7182u);
    const unsigned char header[] = {0xe0, 0xe1, 0x1c, 0x0e, 0xa2, 0x20, 0x00,
                                    0x00, 0x00, 0xff, 0x00, 0x1c, 0x00, 0x0e};
    EXPECT_EQ(memcmp(ascii_12_Arial, header, sizeof(header)), 0);

    // The text layout measures strings with these widths alone.
    const int widths[96] = {3, 3, 3, 5, 5, 8, 6, 2, 3, 3, 4, 5, 3, 5, 3, 3,  //
                            5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 3, 3, 5, 5, 5, 5,  //
                            9, 6, 6, 6, 6, 5, 5, 6, 6, 4, 5, 6, 5, 6, 6, 6,  //
                            6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 3, 3, 3, 3, 5,  //
                            3, 5, 5, 5, 5, 5, 4, 5, 5, 2, 3, 5, 2, 8, 5, 5,  //
                            5, 5, 3, 5, 4, 5, 6, 6, 6, 6, 6, 3, 3, 3, 5, 5};
    for (int code = 0; code < 256; ++code) {
        const int want = is_control(code) ? 7 : code < 128 ? widths[code - 32] : -1;
        if (want > 0) {
            EXPECT_EQ(record(code)[0], want) << "code " << code;
        }
        EXPECT_EQ(record(code)[1], FONT_HEIGHT) << "code " << code;
    }
}

TEST(FontTable, EveryGlyphKeepsItsMargins)
{
    for (int code = 0; code < 256; ++code) {
        const unsigned char *rec = record(code);
        const int width = rec[0];
        ASSERT_GE(width, 1);
        ASSERT_LE(width * FONT_HEIGHT, 26 * 8) << "code " << code;
        for (int row : {0, 1, 11})
            EXPECT_FALSE(row_has_ink(rec, row)) << "code " << code << " row " << row;
        for (int bit = width * FONT_HEIGHT; bit < 26 * 8; ++bit)
            EXPECT_FALSE((rec[2 + bit / 8] >> (bit % 8)) & 1) << "code " << code << " bit " << bit;
        if (!is_control(code)) {
            for (int row = 0; row < FONT_HEIGHT; ++row)
                EXPECT_FALSE(ink(rec, width - 1, row)) << "code " << code << " spacing column";
        }
    }
}

TEST(FontTable, BaselineDescendersAndBlanks)
{
    for (int code = '0'; code <= 'Z'; ++code)
        if (code <= '9' || code >= 'A') {
            EXPECT_EQ(lowest_ink_row(record(code)), 8) << "code " << code;
        }
    for (int code : {'g', 'j', 'p', 'q', 'y'})
        EXPECT_EQ(lowest_ink_row(record(code)), 10) << "code " << code;
    for (int code : {'a', 'x', 'm'})
        EXPECT_EQ(lowest_ink_row(record(code)), 8) << "code " << code;
    for (int code : {32, 127, 160})
        EXPECT_EQ(lowest_ink_row(record(code)), -1) << "code " << code;
}

TEST(FontTable, ControlCodesShowABoxOrNothing)
{
    for (int code = 0; code < 160; ++code) {
        if (!is_control(code))
            continue;
        const bool blank = code == 9 || code == 10 || code == 13 || (code >= 28 && code <= 31) ||
                           code == 133;
        for (int row = 0; row < FONT_HEIGHT; ++row)
            for (int col = 0; col < 7; ++col) {
                const bool inside = row >= 3 && row <= 8 && col >= 1 && col <= 5;
                const bool outline = inside && (row == 3 || row == 8 || col == 1 || col == 5);
                EXPECT_EQ(ink(record(code), col, row), outline && !blank)
                    << "code " << code << " col " << col << " row " << row;
            }
    }
}

TEST(FontTable, RecordOfCapitalAAndTheWholeTableAreFixed)
{
    const unsigned char a[28] = {6, 12, 0x00, 0x40, 0x28, 0x4A, 0xF4, 0x45, 0x11};
    EXPECT_EQ(memcmp(record('A'), a, sizeof(a)), 0);

    // FNV-1a over the table: the cross build must hold the same bytes as the
    // host build. Update the constant when the drawings change on purpose.
    uint32_t hash = 2166136261u;
    for (unsigned char byte : ascii_12_Arial)
        hash = (hash ^ byte) * 16777619u;
    EXPECT_EQ(hash, 0xa1039df2u);
}

TEST(FontGetData, MapsCodesToRecords)
{
    EXPECT_EQ(font_get_data(65, 12), ascii_12_Arial + 1834);
    EXPECT_EQ(font_get_data(65, 12)[0], 6);
    EXPECT_EQ(font_get_data(0, 12), record(0));
    EXPECT_EQ(font_get_data(0, 12)[0], 7);
    EXPECT_EQ(font_get_data(127, 12), record(127));
    EXPECT_EQ(font_get_data(128, 12), record(128));
    EXPECT_TRUE(ink(font_get_data(128, 12), 1, 3));
    for (int code : {129, 255, 1000, -1, -128}) {
        EXPECT_EQ(font_get_data(code, 12), record(32)) << "code " << code;
        EXPECT_EQ(font_get_data(code, 12)[0], 3);
    }
    for (uint8_t size : {0, 8, 16, 255})
        EXPECT_EQ(font_get_data('g', size), record('g')) << "size " << int(size);
    EXPECT_EQ(NTOHS(0x1c0e), 0x0e1c);
}
