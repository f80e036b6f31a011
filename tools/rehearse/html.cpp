#include "rehearse/html.h"

#include <openssl/evp.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace rehearse
{

namespace
{

using Json = nlohmann::json;

// The LCD as phonesim draws it: 132x64 one-bit pixels, pale green-grey
// paper and near-black ink, so that a screen here looks like its PNG there.
constexpr int kLcdWidth = 132;
constexpr int kLcdHeight = 64;
constexpr png_byte kLcdPalette[2][3] = {{0xC8, 0xD8, 0xB0}, {0x10, 0x18, 0x10}};
constexpr int kScreenScale = 2;

// The chip every window lies in.
constexpr double kFlashBase = 0x90000000u;
constexpr double kFlashSize = 0x00800000u;

// Reading the report: a missing field or one of another type reads as
// empty, so that a damaged shard gives a page with gaps instead of none.
const Json &field(const Json &j, const char *key)
{
    static const Json none;
    if (j.is_object()) {
        auto it = j.find(key);
        if (it != j.end())
            return *it;
    }
    return none;
}

const Json &items(const Json &j, const char *key)
{
    static const Json empty = Json::array();
    const Json &v = field(j, key);
    return v.is_array() ? v : empty;
}

std::string plain(const Json &v)
{
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_null())
        return "";
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string text(const Json &j, const char *key)
{
    return plain(field(j, key));
}

bool number(const Json &j, const char *key, double *out)
{
    const Json &v = field(j, key);
    if (!v.is_number())
        return false;
    *out = v.get<double>();
    return true;
}

double count(const Json &j, const char *key)
{
    double v = 0;
    return number(j, key, &v) ? v : 0;
}

std::string format(const char *fmt, double v)
{
    char s[64];
    snprintf(s, sizeof(s), fmt, v);
    return s;
}

// Milliseconds as seconds with one decimal; a dash when not measured.
std::string seconds(const Json &j, const char *key)
{
    double ms = 0;
    return number(j, key, &ms) ? format("%.1f", ms / 1000) : "\u2013";
}

// Everything that comes from the report goes through here: profile comments,
// file names and log lines are written by others. Control characters other
// than tab and newline have no business in a page and are shown replaced.
std::string esc(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
                out += "&#xFFFD;";
            else
                out += c;
        }
    }
    return out;
}

std::string base64(const std::string &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                        reinterpret_cast<const unsigned char *>(bytes.data()), int(bytes.size()));
    out.resize(n < 0 ? 0 : size_t(n));
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool from_hex(const std::string &hex, std::vector<uint8_t> *bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

bool ink(const std::vector<uint8_t> &frame, int x, int y)
{
    size_t n = size_t(y) * kLcdWidth + size_t(x);
    return n / 8 < frame.size() && ((frame[n / 8] >> (n % 8)) & 1) != 0;
}

// ---- the parts of the page

const char kStyle[] = R"(<style>
body{font:14px/1.45 "DejaVu Sans",Arial,sans-serif;color:#222;background:#fff;margin:16px 24px}
h1{font-size:21px;margin:0 0 6px}
h2{font-size:18px;margin:0 0 6px}
h3{font-size:15px;margin:14px 0 4px}
code,pre{font:12px/1.4 "DejaVu Sans Mono",monospace}
p{margin:4px 0}
.pack{color:#444}
.totals{font-size:16px;margin:8px 0}
table{border-collapse:collapse;margin:6px 0}
th,td{border:1px solid #c4c8cc;padding:3px 8px;text-align:left;vertical-align:top}
th{background:#e8ecf0}
#summary th{background:#1f4e79;color:#fff;border-color:#1f4e79;white-space:nowrap}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.pass{background:#dcefd5}
.fail{background:#f6d5d5}
.badge{font-size:13px;padding:1px 8px;border-radius:9px;vertical-align:middle}
section{border-top:3px solid #1f4e79;margin-top:28px;padding-top:8px}
.facts th{width:9em;background:#f2f4f6;font-weight:normal;color:#555}
.screens{display:flex;flex-wrap:wrap;gap:8px;margin:4px 0}
.screens img{display:block;border:2px solid #707868}
.bad-screen{width:264px;height:128px;border:2px dashed #a33;color:#a33;padding:4px;box-sizing:border-box}
.flash{position:relative;height:26px;background:#f4f4f4;border:1px solid #888;width:100%;max-width:1100px}
.flash div{position:absolute;top:0;bottom:0;box-sizing:border-box;border:1px solid #fff;overflow:hidden;font-size:11px;line-height:24px;text-align:center;white-space:nowrap}
.ruler{position:relative;height:16px;font-size:10px;color:#666;width:100%;max-width:1100px}
.ruler span{position:absolute;transform:translateX(-50%)}
.ruler span:first-child{transform:none}
.ruler span:last-child{transform:translateX(-100%)}
.lane{display:flex;align-items:center;gap:8px;margin:2px 0}
.lane b{width:4em;font-weight:normal;color:#555}
.kept{background:#b9c6d3}
.written{background:#e58e2e}
.moved{background-image:repeating-linear-gradient(135deg,rgba(0,0,0,0) 0 5px,rgba(0,0,0,.28) 5px 7px)}
.legend span{display:inline-block;width:22px;height:12px;border:1px solid #888;vertical-align:middle;margin:0 4px 0 14px}
.none{color:#777}
pre.log{background:#fbf1f1;border-left:3px solid #a33;padding:4px 8px;white-space:pre-wrap;margin:4px 0}
</style>
)";

// "9 recovered, 1 configuration lost"
std::string cut_tally(const Json &cuts)
{
    double recovered = 0, lost = 0, unbootable = 0, not_recovered = 0;
    for (const Json &p : items(cuts, "phases")) {
        recovered += count(p, "recovered");
        lost += count(p, "config_lost");
        unbootable += count(p, "unbootable");
        not_recovered += count(p, "not_recovered");
    }
    std::string s = format("%.0f recovered", recovered);
    if (unbootable > 0)
        s += format(", %.0f unbootable", unbootable);
    if (lost > 0)
        s += format(", %.0f configuration lost", lost);
    if (not_recovered > 0)
        s += format(", %.0f not recovered", not_recovered);
    return s;
}

// "10: 9 recovered, 1 configuration lost"
std::string cut_counts(const Json &cuts)
{
    if (!cuts.is_object())
        return "\u2013";
    return format("%.0f", count(cuts, "tried")) + ": " + cut_tally(cuts);
}

// "refused -95 UPD_MSG_MACHINE_ID_ERR"
std::string check_words(const Json &verify)
{
    std::string s = text(verify, "decision");
    std::string code = text(verify, "code"), name = text(verify, "name");
    if (!code.empty())
        s += " " + code;
    if (!name.empty())
        s += " " + name;
    return s;
}

std::string pass_class(const Json &t)
{
    return field(t, "passed") == true ? "pass" : "fail";
}

std::string anchor(const Json &t)
{
    return "t-" + text(t, "name");
}

void headline(const Json &report, std::string &out)
{
    const Json &pack = field(report, "pack");
    const Json &summary = field(report, "summary");
    out += "<h1>Rehearsal of <code>" + esc(text(pack, "file")) + "</code> " +
           esc(text(pack, "version")) + "</h1>\n";
    out += "<p class=\"pack\">" + esc(text(pack, "bytes")) + " bytes, SHA-256 <code>" +
           esc(text(pack, "sha256")) + "</code>; device " + esc(text(pack, "device_id")) +
           ", OEM " + esc(text(pack, "oem_id")) + ", variants " + esc(text(pack, "match_id")) +
           "</p>\n<p class=\"pack\">Partitions:";
    const char *sep = " ";
    for (const Json &p : items(pack, "partitions")) {
        out += sep;
        out += "mtd" + esc(text(p, "id")) + " " + esc(text(p, "version")) + " (" +
               esc(text(p, "bytes")) + " bytes, <code title=\"" + esc(text(p, "sha256")) + "\">" +
               esc(text(p, "sha256").substr(0, 12)) + "</code>)";
        sep = "; ";
    }
    out += "</p>\n";
    double passed = count(summary, "passed"), failed = count(summary, "failed");
    out += "<p class=\"totals\"><b>" + format("%.0f telephones", count(summary, "telephones")) +
           ": " + format("%.0f passed", passed) + ", " + format("%.0f failed", failed) + "</b>";
    sep = " \u2014 ";
    for (const Json &o : items(summary, "outcomes")) {
        out += sep + esc(text(o, "telephones")) + " " + esc(text(o, "outcome"));
        sep = ", ";
    }
    out += "</p>\n<p class=\"pack\">Fleet <code>" + esc(text(report, "fleet")) + "</code>, " +
           esc(text(report, "cuts")) + " power cuts per upgrading telephone; rehearse " +
           esc(text(report, "rehearse")) + "</p>\n";
    // The one line that differs between two runs of the same rehearsal.
    std::string times;
    const Json &t = field(report, "times");
    if (t.is_object() && t.contains("wall_s")) {
        times = "wall time " + plain(t["wall_s"]) + " s";
        if (t.contains("shards") && t["shards"].is_number() && t["shards"].get<double>() > 1)
            times += " (the longest of " + plain(t["shards"]) + " shards)";
    }
    for (char &c : times)
        if (c == '\n' || c == '\r')
            c = ' ';
    out += "<p id=\"times\" class=\"pack\">Rehearsed in " + esc(times) + "</p>\n";
}

void summary_table(const Json &report, std::string &out)
{
    out += "<table id=\"summary\">\n<thead><tr><th>Telephone</th><th>Hardware</th>"
           "<th>Expected</th><th>Check</th><th>Outcome</th><th>Passed</th>"
           "<th>Flash s</th><th>Down s</th><th>Power cuts</th></tr></thead>\n<tbody>\n";
    for (const Json &t : items(report, "telephones")) {
        const Json &profile = field(t, "profile");
        const Json &time = field(field(t, "upgrade"), "time");
        out += "<tr class=\"" + pass_class(t) + "\"><td><a href=\"#" + esc(anchor(t)) + "\">" +
               esc(text(t, "name")) + "</a></td><td>" + esc(text(profile, "hwver")) + "</td><td>" +
               esc(text(t, "expect")) + "</td><td>" + esc(check_words(field(t, "verify"))) +
               "</td><td>" + esc(text(t, "outcome")) + "</td><td>" +
               (field(t, "passed") == true ? "yes" : "no") + "</td><td class=\"n\">" +
               seconds(time, "flash_ms") + "</td><td class=\"n\">" + seconds(time, "down_ms") +
               "</td><td>" + esc(cut_counts(field(t, "cuts"))) + "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";
    std::string reasons;
    for (const Json &t : items(report, "telephones")) {
        std::string reason = text(t, "reason");
        if (!reason.empty())
            reasons += "<li><a href=\"#" + esc(anchor(t)) + "\">" + esc(text(t, "name")) +
                       "</a>, " + esc(text(t, "outcome")) + ": " + esc(reason) + "</li>\n";
    }
    if (!reasons.empty())
        out += "<ul class=\"reasons\">\n" + reasons + "</ul>\n";
}

void facts(const Json &t, std::string &out)
{
    const Json &profile = field(t, "profile");
    const Json &verify = field(t, "verify");
    const Json &upgrade = field(t, "upgrade");
    const Json &time = field(upgrade, "time");
    auto row = [&out](const char *name, const std::string &html) {
        out += "<tr><th>" + std::string(name) + "</th><td>" + html + "</td></tr>\n";
    };
    out += "<table class=\"facts\">\n";
    row("Profile", "<code>" + esc(text(profile, "file")) + "</code> SHA-256 <code>" +
                       esc(text(profile, "sha256")) + "</code>");
    row("Telephone", "hardware " + esc(text(profile, "hwver")) + ", software " +
                         esc(text(profile, "software")) + ", ROM " +
                         esc(text(profile, "rom_version")));
    row("Expected", esc(text(t, "expect")));
    row("Check", esc(check_words(verify)) + (text(verify, "text").empty() ? "" : ": ") +
                     esc(text(verify, "text")));
    std::string ending =
        esc(text(upgrade, "ending")) + ", exit status " + esc(text(upgrade, "exit_status"));
    const Json &screen = field(upgrade, "failure_screen");
    if (screen.is_object())
        ending += "; failure screen \u201c" + esc(text(screen, "text")) + "\u201d (ID " +
                  esc(text(screen, "id")) + ")";
    row("Upgrade", ending);
    std::string judged;
    for (const Json &j : items(upgrade, "judged"))
        judged += (judged.empty() ? "" : "; ") + esc(plain(j));
    if (!judged.empty())
        row("Found wrong", judged);
    row("Time", "flash " + seconds(time, "flash_ms") + " s, applications down " +
                    seconds(time, "down_ms") + " s; " + esc(text(time, "erases")) +
                    " blocks erased, " + esc(text(time, "programmed")) + " bytes programmed");
    out += "</table>\n";
}

void screens(const Json &upgrade, std::string &out)
{
    const Json &list = items(upgrade, "screens");
    out += "<h3>Screens (" + std::to_string(list.size()) + ")</h3>\n";
    if (list.empty()) {
        out += "<p class=\"none\">No screen was drawn.</p>\n";
        return;
    }
    out += "<div class=\"screens\">\n";
    int n = 0;
    for (const Json &s : list) {
        ++n;
        std::string hex = text(s, "hex");
        std::string png = hex.empty() ? "" : screen_png(hex, kScreenScale);
        std::string title = "screen " + std::to_string(n) + " " + esc(text(s, "sha256"));
        if (png.empty()) {
            out += "<div class=\"bad-screen\" title=\"" + title + "\">screen " + std::to_string(n) +
                   ": not a screen</div>\n";
            continue;
        }
        out += "<img class=\"lcd\" width=\"" + std::to_string(kLcdWidth * kScreenScale) +
               "\" height=\"" + std::to_string(kLcdHeight * kScreenScale) + "\" alt=\"screen " +
               std::to_string(n) + "\" title=\"" + title + "\" src=\"data:image/png;base64," +
               base64(png) + "\">\n";
    }
    out += "</div>\n";
}

bool address(const Json &side, const char *key, double *out)
{
    std::string s = text(side, key);
    if (s.empty())
        return false;
    char *end = nullptr;
    *out = double(strtoull(s.c_str(), &end, 16));
    return *end == '\0';
}

// One lane of the chip: each window a box at its place, coloured by whether
// the upgrade wrote it and hatched when it moved.
void flash_lane(const Json &parts, const char *side, std::string &out)
{
    out += "<div class=\"lane\"><b>" + std::string(side) + "</b><div class=\"flash\">";
    for (const Json &p : parts) {
        double start = 0, end = 0;
        const Json &window = field(p, side);
        if (!address(window, "start", &start) || !address(window, "end", &end) || end <= start)
            continue;
        double left = (start - kFlashBase) / kFlashSize * 100;
        double width = (end - start) / kFlashSize * 100;
        if (left < 0 || left + width > 100.0001)
            continue;
        bool changed = field(p, "changed") == true, moved = field(p, "moved") == true;
        std::string name = esc(text(p, "name"));
        std::string cls = changed ? "written" : "kept";
        if (moved)
            cls += " moved";
        out += "<div class=\"" + cls + "\" style=\"left:" + format("%.4f", left) +
               "%;width:" + format("%.4f", width) + "%\" title=\"" + name + " " +
               esc(text(window, "start")) + "\u2013" + esc(text(window, "end")) +
               format(" (%.0f KiB)", (end - start) / 1024) + (changed ? ", written" : "") +
               (moved ? ", moved" : "") + "\">" + (width >= 3 ? name : "") + "</div>";
    }
    out += "</div></div>\n";
}

void flash_windows(const Json &upgrade, std::string &out)
{
    const Json &parts = items(upgrade, "partitions");
    out += "<h3>Flash windows</h3>\n";
    if (parts.empty()) {
        out += "<p class=\"none\">Not known.</p>\n";
        return;
    }
    flash_lane(parts, "before", out);
    flash_lane(parts, "after", out);
    out += "<div class=\"lane\"><b></b><div class=\"ruler\">";
    for (int mib = 0; mib <= 8; ++mib)
        out += "<span style=\"left:" + format("%.1f", mib * 12.5) + "%\">" +
               (mib == 0   ? "0x90000000"
                : mib == 8 ? "0x90800000"
                           : format("%.0f MiB", mib)) +
               "</span>";
    out += "</div></div>\n";
    out += "<p class=\"legend\"><span class=\"kept\"></span>kept<span class=\"written\"></span>"
           "written<span class=\"kept moved\"></span>moved</p>\n";
    std::string rows;
    for (const Json &p : parts) {
        bool changed = field(p, "changed") == true, moved = field(p, "moved") == true;
        if (!changed && !moved)
            continue;
        const Json &b = field(p, "before"), &a = field(p, "after");
        rows += "<tr><td>" + esc(text(p, "name")) + "</td><td>" + (changed ? "written" : "") +
                (changed && moved ? ", " : "") + (moved ? "moved" : "") + "</td><td><code>" +
                esc(text(b, "start")) + "\u2013" + esc(text(b, "end")) + "</code></td><td><code>" +
                esc(text(a, "start")) + "\u2013" + esc(text(a, "end")) + "</code></td><td><code>" +
                esc(text(a, "sha256").substr(0, 16)) + "</code></td></tr>\n";
    }
    if (rows.empty())
        out += "<p class=\"none\">No window was written or moved.</p>\n";
    else
        out += "<table>\n<tr><th>Partition</th><th>Change</th><th>Before</th><th>After</th>"
               "<th>SHA-256 after</th></tr>\n" +
               rows + "</table>\n";
}

void bootenv(const Json &upgrade, std::string &out)
{
    const Json &changes = items(upgrade, "bootenv");
    out += "<h3>Boot environment</h3>\n";
    if (changes.empty()) {
        out += "<p class=\"none\">No variable changed.</p>\n";
        return;
    }
    auto value = [](const Json &c, const char *key) {
        const Json &v = field(c, key);
        return v.is_null() ? std::string("<span class=\"none\">(absent)</span>")
                           : "<code>" + esc(plain(v)) + "</code>";
    };
    out += "<table>\n<tr><th>Variable</th><th>Before</th><th>After</th></tr>\n";
    for (const Json &c : changes)
        out += "<tr><td>" + esc(text(c, "name")) + "</td><td>" + value(c, "before") + "</td><td>" +
               value(c, "after") + "</td></tr>\n";
    out += "</table>\n";
}

void power_cuts(const Json &cuts, std::string &out)
{
    out += "<h3>Power cuts</h3>\n";
    if (!cuts.is_object()) {
        out += "<p class=\"none\">None cut.</p>\n";
        return;
    }
    out += "<p>" + esc(text(cuts, "tried")) + " cuts over " + esc(text(cuts, "operations")) +
           " flash operations: " + esc(cut_tally(cuts)) + "</p>\n";
    out += "<table>\n<tr><th>Phase</th><th>Cuts</th><th>Recovered</th><th>Configuration "
           "lost</th><th>Unbootable</th><th>Not recovered</th></tr>\n";
    for (const Json &p : items(cuts, "phases")) {
        bool bad = count(p, "config_lost") > 0 || count(p, "not_recovered") > 0;
        out += std::string("<tr") + (bad ? " class=\"fail\"" : "") + "><td>" +
               esc(text(p, "phase")) + "</td>";
        for (const char *key : {"cuts", "recovered", "config_lost", "unbootable", "not_recovered"})
            out += "<td class=\"n\">" + esc(text(p, key)) + "</td>";
        out += "</tr>\n";
    }
    out += "</table>\n";
    std::string rows;
    for (const Json &r : items(cuts, "results")) {
        if (text(r, "outcome") == "recovered")
            continue;
        rows += "<tr><td class=\"n\">" + esc(text(r, "cut")) + "</td><td>" + esc(text(r, "phase")) +
                "</td><td>" + esc(text(r, "outcome")) + "</td><td>" + esc(text(r, "detail")) +
                "</td></tr>\n";
    }
    if (!rows.empty())
        out += "<table>\n<tr><th>Cut</th><th>Phase</th><th>Outcome</th><th>Detail</th></tr>\n" +
               rows + "</table>\n";
}

void errors(const Json &upgrade, std::string &out)
{
    const Json &lines = items(upgrade, "errors");
    out += "<h3>Errors logged</h3>\n";
    if (lines.empty()) {
        out += "<p class=\"none\">None.</p>\n";
        return;
    }
    out += "<pre class=\"log\">";
    for (const Json &l : lines)
        out += esc(plain(l)) + "\n";
    out += "</pre>\n";
}

void telephone(const Json &t, std::string &out)
{
    const Json &upgrade = field(t, "upgrade");
    out += "<section id=\"" + esc(anchor(t)) + "\">\n<h2>" + esc(text(t, "name")) +
           " <span class=\"badge " + pass_class(t) + "\">" + esc(text(t, "outcome")) +
           "</span></h2>\n";
    std::string comment = text(field(t, "profile"), "comment");
    if (!comment.empty())
        out += "<p>" + esc(comment) + "</p>\n";
    std::string reason = text(t, "reason");
    if (!reason.empty())
        out += "<p><b>" + esc(reason) + "</b></p>\n";
    facts(t, out);
    screens(upgrade, out);
    flash_windows(upgrade, out);
    bootenv(upgrade, out);
    power_cuts(field(t, "cuts"), out);
    errors(upgrade, out);
    out += "</section>\n";
}

} // namespace

std::string screen_png(const std::string &hex, int scale)
{
    std::vector<uint8_t> frame;
    if (scale < 1 || scale > 16 || !from_hex(hex, &frame))
        return "";
    int width = kLcdWidth * scale, height = kLcdHeight * scale;
    std::vector<png_byte> pixels(size_t(width) * height, 0);
    for (int y = 0; y < kLcdHeight; ++y)
        for (int x = 0; x < kLcdWidth; ++x)
            if (ink(frame, x, y))
                for (int r = 0; r < scale; ++r)
                    memset(&pixels[size_t(y * scale + r) * width + size_t(x) * scale], 1,
                           size_t(scale));
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGB_COLORMAP;
    image.colormap_entries = 2;
    png_alloc_size_t size = 0;
    std::string png;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), width, kLcdPalette)) {
        png.resize(size);
        if (!png_image_write_to_memory(&image, &png[0], &size, 0, pixels.data(), width,
                                       kLcdPalette))
            png.clear();
        else
            png.resize(size);
    }
    png_image_free(&image);
    return png;
}

std::string render_html(const Json &report)
{
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    const Json &pack = field(report, "pack");
    out += "<title>Rehearsal of " + esc(text(pack, "file")) + " " + esc(text(pack, "version")) +
           "</title>\n";
    out += kStyle;
    out += "</head>\n<body>\n";
    headline(report, out);
    summary_table(report, out);
    for (const Json &t : items(report, "telephones"))
        telephone(t, out);
    out += "</body>\n</html>\n";
    return out;
}

} // namespace rehearse
