// "rompack info": the pack as the program reads it.
#include "rompack/inspect.h"

#include "common/hosttool.h"
#include "common/text.h"
#include "upgrader/rompack.h"

#include <stdio.h>
#include <string.h>

namespace rompack
{

using nlohmann::json;

namespace
{

uint32_t word_at(const std::vector<uint8_t> &pack, uint64_t off)
{
    uint32_t w = 0;
    memcpy(&w, pack.data() + off, 4);
    return w;
}

// XOR of n words from off, or null when they do not all lie in the pack.
json xor_range(const std::vector<uint8_t> &pack, uint64_t off, uint64_t n)
{
    if (off > pack.size() || n > (pack.size() - off) / 4)
        return nullptr;
    uint32_t x = 0;
    for (uint64_t i = 0; i < n; ++i)
        x ^= word_at(pack, off + 4 * i);
    return x;
}

std::string version_text(uint32_t v)
{
    char text[32];
    rompack_version_text(v, text, sizeof(text));
    return text;
}

std::string hex(uint64_t v)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

// A magic word with its four characters as the format writes them ("RROM").
std::string magic(uint32_t v)
{
    std::string text = text_hex32(v) + " \"";
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>(v >> shift);
        text += c >= 0x20 && c < 0x7f ? c : '.';
    }
    return text + "\"";
}

std::string number(uint64_t v)
{
    return v < 10 ? std::to_string(v) : std::to_string(v) + " (" + hex(v) + ")";
}

// "stored 0x1234, computed 0x1234 (ok)".
std::string compare(const json &stored, const json &computed)
{
    if (computed.is_null())
        return "stored " + text_hex32(stored.get<uint32_t>()) +
               ", not computable (outside the pack)";
    bool ok = stored == computed;
    return "stored " + text_hex32(stored.get<uint32_t>()) + ", computed " +
           text_hex32(computed.get<uint32_t>()) + (ok ? " (ok)" : " (MISMATCH)");
}

std::string balance(const json &x)
{
    if (x.is_null())
        return "not computable (outside the pack)";
    return "XOR of the covered words " + text_hex32(x.get<uint32_t>()) +
           (x.get<uint32_t>() == 0 ? " (ok)" : " (MISMATCH, must be 0)");
}

json header_json(const std::vector<uint8_t> &pack, const Rom_Header &h)
{
    json j;
    const bool current = h.rom_header_size >= ROM_HEADER_SIZE_CURRENT;
    j["magic_num"] = h.magic_num;
    j["header_size"] = h.rom_header_size;
    j["layout"] = current ? "current" : "older";
    j["header_checksum"] = h.rom_header_checksum;
    j["header_xor"] = xor_range(pack, 8, (h.rom_header_size >> 2) + 1);
    j["rom_type"] = h.rom_type;
    j["process_type"] = h.process_type;
    j["partition_num"] = h.partition_num;
    j["device_id"] = h.device_id;
    j["oem_id"] = h.oem_id;
    j["version"] = version_text(h.rom_version);
    j["rom_size"] = h.rom_size;
    j["rom_checksum"] = h.rom_checksum;
    j["rom_checksum_computed"] = xor_range(pack, 12ull + h.rom_header_size, h.rom_size >> 2);
    j["match_id"] = std::vector<int>(h.match_id, h.match_id + 16);
    j["mid_version"] = h.mid_version;
    j["sw_protect"] = h.sw_protect;
    if (current) {
        j["magic_num2"] = h.magic_num2;
        j["scramble_key"] = h.scramble_key;
    }
    return j;
}

json partition_json(const std::vector<uint8_t> &pack, uint64_t at, const Partition_Header &p)
{
    json j;
    j["header_at"] = at;
    j["magic_num"] = p.magic_num;
    j["header_size"] = p.partition_header_size;
    j["header_checksum"] = p.partition_header_checksum;
    j["header_xor"] = xor_range(pack, at + 8, (p.partition_header_size >> 2) + 1);
    j["type"] = p.partition_type;
    j["process_type"] = p.process_type;
    j["data_type"] = p.partition_data_type;
    j["id"] = p.partition_id;
    j["kind"] = partition_kind(p.partition_id, p.partition_type);
    j["version"] = version_text(p.partition_version);
    j["size"] = p.partition_size;
    j["offset"] = p.partition_offset;
    j["checksum"] = p.partition_checksum;
    j["checksum_computed"] = xor_range(pack, p.partition_offset, p.partition_size >> 2);
    // Of the payload as it lies in the pack: what a release note or a build
    // log can be compared with.
    if (p.partition_offset <= pack.size() && p.partition_size <= pack.size() - p.partition_offset)
        j["sha256"] = hosttool::sha256_hex(pack.data() + p.partition_offset, p.partition_size);
    else
        j["sha256"] = nullptr;
    return j;
}

} // namespace

std::string partition_kind(uint32_t id, uint32_t type)
{
    if (id < 10 && type == 0)
        return "flash mtd" + std::to_string(id);
    if (id >= 255 && type == 1)
        return "upgrade program";
    if (id >= 255 && type == 2)
        return "MTD layout";
    if (id >= 255 && type == 3)
        return "config modification";
    return "unknown";
}

json inspect_pack(const std::vector<uint8_t> &pack)
{
    json report;
    report["size"] = pack.size();
    report["sha256"] = hosttool::sha256_hex(pack.data(), pack.size());
    report["partitions"] = json::array();
    Rom_Header h;
    memset(&h, 0, sizeof(h));
    int code = rompack_read_rom_header(pack.data(), pack.size(), &h);
    // Below these codes the record was never filled from the pack.
    if (code != UPD_MSG_ARG_ADDR_ERR && code != UPD_MSG_ERR)
        report["header"] = header_json(pack, h);
    if (code == 0) {
        uint64_t offset = 12ull + h.rom_header_size;
        for (uint32_t i = 0; i < h.partition_num && code == 0; ++i) {
            Partition_Header p;
            memset(&p, 0, sizeof(p));
            const uint64_t at = offset;
            code = rompack_read_partition_header(pack.data(), pack.size(), &offset, &p);
            json j;
            if (at + PART_HEADER_LEN <= pack.size())
                j = partition_json(pack, at, p);
            else
                j["header_at"] = at;
            j["index"] = i;
            j["code"] = code;
            j["name"] = upd_msg_name(code);
            report["partitions"].push_back(j);
        }
    }
    report["code"] = code;
    report["name"] = upd_msg_name(code);
    return report;
}

std::string render_info(const json &r)
{
    std::string out;
    auto line = [&out](const std::string &label, const std::string &value) {
        char buf[32];
        snprintf(buf, sizeof(buf), "  %-18s", label.c_str());
        out += buf + value + "\n";
    };
    out += "pack: " + number(r["size"].get<uint64_t>()) + " bytes\n";
    out += "sha256: " + r["sha256"].get<std::string>() + "\n";
    if (r.contains("header")) {
        const json &h = r["header"];
        const uint32_t hs = h["header_size"];
        out += "ROM header: " + h["layout"].get<std::string>() + " layout, " +
               std::to_string(12ull + hs) + " bytes\n";
        line("magic_num", magic(h["magic_num"]));
        line("header_size", number(hs));
        line("header_checksum", text_hex32(h["header_checksum"]) + ", " + balance(h["header_xor"]));
        line("rom_type", number(h["rom_type"]));
        line("process_type",
             number(h["process_type"]) + (h["process_type"] == 1 ? " (forced upgrade)" : ""));
        line("partition_num", number(h["partition_num"]));
        line("device_id", number(h["device_id"]));
        line("oem_id", number(h["oem_id"]));
        line("version", h["version"]);
        line("rom_size", number(h["rom_size"]) + " from offset " + number(12ull + hs));
        line("rom_checksum", compare(h["rom_checksum"], h["rom_checksum_computed"]));
        std::string ids;
        for (const json &id : h["match_id"])
            ids += (ids.empty() ? "" : " ") + std::to_string(id.get<int>());
        line("match_id", ids);
        line("mid_version", number(h["mid_version"]));
        line("sw_protect", number(h["sw_protect"]));
        if (h.contains("magic_num2")) {
            line("magic_num2", magic(h["magic_num2"]));
            line("scramble_key", number(h["scramble_key"]));
        }
    }
    for (const json &p : r["partitions"]) {
        out += "partition " + std::to_string(p["index"].get<int>()) + " at offset " +
               number(p["header_at"]);
        if (!p.contains("magic_num")) {
            out += ": header outside the pack\n";
        } else {
            out += ": " + p["kind"].get<std::string>() + "\n";
            line("magic_num", magic(p["magic_num"]));
            line("header_size", number(p["header_size"]));
            line("header_checksum",
                 text_hex32(p["header_checksum"]) + ", " + balance(p["header_xor"]));
            line("id", number(p["id"]));
            line("type", number(p["type"]));
            line("process_type",
                 number(p["process_type"]) + (p["process_type"] == 1 ? " (always written)" : ""));
            line("data_type", number(p["data_type"]));
            line("version", p["version"]);
            line("size", number(p["size"]));
            line("offset", number(p["offset"]));
            line("checksum", compare(p["checksum"], p["checksum_computed"]));
            line("sha256", p["sha256"].is_null() ? "not computable (outside the pack)"
                                                 : p["sha256"].get<std::string>());
        }
        if (p["code"] != 0)
            line("refused",
                 std::to_string(p["code"].get<int>()) + " " + p["name"].get<std::string>());
    }
    const int code = r["code"];
    out += "result: " + std::to_string(code) + " " + r["name"].get<std::string>() +
           (code == 0 ? " (valid)" : " (refused)") + "\n";
    return out;
}

} // namespace rompack
