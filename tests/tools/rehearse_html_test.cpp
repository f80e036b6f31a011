// The rehearsal's page: text from profiles and logs cannot become markup,
// runs differ only on the times line, and a screen is drawn as phonesim
// stores it.
#include "rehearse/html.h"

#include <gtest/gtest.h>
#include <png.h>
#include <string.h>

#include <sstream>

namespace
{
using nlohmann::json;

std::string without_times_line(const std::string &page)
{
    std::istringstream in(page);
    std::string line, out;
    int times = 0;
    while (std::getline(in, line)) {
        if (line.find("id=\"times\"") != std::string::npos)
            ++times;
        else
            out += line + "\n";
    }
    EXPECT_EQ(times, 1);
    return out;
}

TEST(RehearsePage, HostileTextStaysText)
{
    const std::string evil = "x\"><script>alert(1)</script><img src=y onerror=z>&amp;'";
    json t = {{"name", evil},
              {"reason", evil},
              {"profile", {{"comment", evil}, {"hwver", evil}}},
              {"upgrade", {{"errors", {evil, "</pre>" + evil}}, {"judged", {evil}}}},
              {"cuts", {{"results", {{{"outcome", evil}, {"detail", evil}}}}}}};
    json report = {{"pack", {{"file", evil}}}, {"telephones", {t}}, {"times", {{"wall_s", evil}}}};
    std::string page = rehearse::render_html(report);
    for (const char *markup : {"<script", "<img src=y", "</pre><", "x\"><", "&amp;'"})
        EXPECT_EQ(page.find(markup), std::string::npos) << markup;
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("&amp;amp;&#39;"), std::string::npos);
}

TEST(RehearsePage, TwoRunsDifferOnlyOnTheTimesLine)
{
    json report = {{"pack", {{"file", "p.json"}}},
                   {"telephones", {{{"name", "a"}, {"outcome", "upgraded"}}}},
                   {"times", {{"wall_s", 12.3}}}};
    std::string first = rehearse::render_html(report);
    report["times"] = {{"wall_s", 7.5}, {"jobs", 3}};
    std::string second = rehearse::render_html(report);
    EXPECT_NE(first, second);
    EXPECT_EQ(without_times_line(first), without_times_line(second));
}

// Pixel (1, 0) is bit 1 of byte 0; pixel (131, 63), the last, is bit 7 of
// byte 1055; everything else is paper.
TEST(RehearsePage, ScreenPixelsAreLsbFirstRowsWithSetBitsInk)
{
    std::string hex(2112, '0');
    hex[1] = '2';
    hex[2110] = '8';
    std::string png = rehearse::screen_png(hex, 2);
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
    image.format = PNG_FORMAT_RGB;
    ASSERT_EQ(image.width, 264u);
    ASSERT_EQ(image.height, 128u);
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    auto at = [&](int x, int y) { return int(rgb[size_t(y * 264 + x) * 3]); };
    const int ink = 0x10, paper = 0xC8;
    for (int y : {0, 1})
        for (int x : {2, 3})
            EXPECT_EQ(at(x, y), ink) << x << "," << y;
    for (int y : {126, 127})
        for (int x : {262, 263})
            EXPECT_EQ(at(x, y), ink) << x << "," << y;
    for (auto p : {std::make_pair(0, 0), {1, 1}, {4, 0}, {2, 2}, {261, 127}, {263, 125}, {131, 32}})
        EXPECT_EQ(at(p.first, p.second), paper) << p.first << "," << p.second;
    EXPECT_TRUE(rehearse::screen_png("0g", 2).empty());
}

} // namespace
