// The font table and its lookup. The whole table is pinned by a hash (the
// cross build must hold the same bytes as the host build); the widths and
// margins that the text layout relies on are checked by name.
#include "display/font.h"

#include "files.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <sstream>

namespace
{

const unsigned char *record(int code) { return ascii_12_Arial + 14 + code * FONT_RECORD_SIZE; }

int bit(const unsigned char *rec, int index) { return (rec[2 + index / 8] >> (index % 8)) & 1; }

} // namespace

TEST(FontTable, WholeTableWidthsAndMargins)
{
    // FNV-1a; update the constant when the drawings change on purpose.
    uint32_t hash = 2166136261u;
    for (unsigned char byte : ascii_12_Arial)
        hash = (hash ^ byte) * 16777619u;
    EXPECT_EQ(hash, 0xa1039df2u);

    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/font_widths.rows")) {
        std::istringstream widths(r[1]);
        int code = atoi(r[0].c_str());
        for (int w; widths >> w; ++code)
            EXPECT_EQ(record(code)[0], w) << "code " << code;
    }
    for (int code = 0; code < 256; ++code) {
        const unsigned char *rec = record(code);
        const int width = rec[0];
        ASSERT_EQ(rec[1], FONT_HEIGHT);
        ASSERT_LE(width * FONT_HEIGHT, (FONT_RECORD_SIZE - 2) * 8) << "code " << code;
        for (int col = 0; col < width; ++col) // rows 0, 1 and 11 stay blank
            EXPECT_EQ(bit(rec, col) + bit(rec, width + col) + bit(rec, 11 * width + col), 0)
                << "code " << code;
        for (int i = width * FONT_HEIGHT; i < (FONT_RECORD_SIZE - 2) * 8; ++i)
            EXPECT_EQ(bit(rec, i), 0) << "code " << code << " bit " << i;
        for (int row = 0; code >= 32 && (code < 128 || code >= 160) && row < FONT_HEIGHT; ++row)
            EXPECT_EQ(bit(rec, row * width + width - 1), 0) << "code " << code << " spacing";
    }
}

TEST(FontGetData, MapsCodesToRecords)
{
    for (int code : {0, 65, 127, 128})
        EXPECT_EQ(font_get_data(code, 12), record(code)) << "code " << code;
    for (int code : {129, 255, 1000, -1, -128})
        EXPECT_EQ(font_get_data(code, 12), record(32)) << "code " << code;
    for (uint8_t size : {0, 8, 16, 255})
        EXPECT_EQ(font_get_data('g', size), record('g')) << "size " << int(size);
    EXPECT_EQ(NTOHS(0x1c0e), 0x0e1c);
}
