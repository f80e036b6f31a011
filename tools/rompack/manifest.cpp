#include "rompack/manifest.h"

#include "common/hosttool.h"
#include "phonesim/profile.h"
#include "upgrader/rompack_read.h"

#include <nlohmann/json.hpp>

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>

namespace rompack
{

namespace
{

using nlohmann::json;

// Packs bigger than this are refused: the telephone's flash is 8 MiB, and a
// typo in an offset should not allocate gigabytes.
constexpr uint64_t kMaxPack = 256ull << 20;
// A manifest is a page of text; anything near this is not one.
constexpr uint64_t kMaxManifest = 16ull << 20;

// Collects the parse error message without letting the library throw.
class ErrorCatcher : public nlohmann::json_sax<json>
{
  public:
    std::string message;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &ex) override
    {
        message = ex.what();
        return false;
    }
};

// Reading one object's fields, with the path of the object for messages
// ("partitions[2]") and a record of the fields seen, so that unknown ones
// can be reported.
class Fields
{
  public:
    Fields(const json &obj, std::string path, std::string *error)
        : obj_(obj), path_(std::move(path)), error_(error)
    {
    }

    bool has(const char *key)
    {
        seen_.insert(key);
        return obj_.contains(key);
    }

    std::string name(const char *key) const { return path_.empty() ? key : path_ + "." + key; }

    bool reject(const std::string &what)
    {
        if (error_->empty())
            *error_ = what;
        return false;
    }

    // An unsigned number no larger than max, as a JSON integer or a string
    // in C notation. Absent: *out keeps its default unless required.
    bool number(const char *key, uint64_t max, uint64_t *out, bool required = false)
    {
        if (!has(key))
            return required ? reject(name(key) + ": missing") : true;
        const json &v = obj_[key];
        uint64_t n = 0;
        if (v.is_number_unsigned()) {
            n = v.get<uint64_t>();
        } else if (v.is_string()) {
            const std::string &s = v.get_ref<const std::string &>();
            errno = 0;
            char *end = nullptr;
            unsigned long long parsed = strtoull(s.c_str(), &end, 0);
            if (s.empty() || s[0] == '-' || errno != 0 || *end != '\0')
                return reject(name(key) + ": \"" + s + "\" is not a number");
            n = parsed;
        } else {
            return reject(name(key) + ": expected an unsigned number, got " + v.dump());
        }
        if (n > max)
            return reject(name(key) + ": " + std::to_string(n) + " is larger than " +
                          std::to_string(max));
        *out = n;
        return true;
    }

    bool u32(const char *key, uint32_t *out, bool required = false)
    {
        uint64_t n = *out;
        if (!number(key, 0xFFFFFFFFu, &n, required))
            return false;
        *out = static_cast<uint32_t>(n);
        return true;
    }

    bool version(const char *key, uint32_t *out)
    {
        if (!has(key))
            return reject(name(key) + ": missing");
        const json &v = obj_[key];
        if (!v.is_string() || !parse_version(v.get<std::string>(), out))
            return reject(name(key) + ": expected \"A.B.C.D\" with each number 0..255, got " +
                          v.dump());
        return true;
    }

    // Every field of the object must have been asked for.
    bool no_unknown()
    {
        for (auto it = obj_.begin(); it != obj_.end(); ++it)
            if (it.key() != "comment" && !seen_.count(it.key()))
                return reject(name(it.key().c_str()) + ": unknown field");
        return true;
    }

    const json &operator[](const char *key) const { return obj_[key]; }

  private:
    const json &obj_;
    std::string path_;
    std::string *error_;
    std::set<std::string> seen_;
};

bool parse_hex(const std::string &text, std::vector<uint8_t> *out)
{
    if (text.empty() || text.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (size_t j = i; j < i + 2; ++j) {
            char c = text[j];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool load_payload(Fields &f, const std::string &dir, std::vector<uint8_t> *out,
                  std::vector<std::string> *files)
{
    if (!f.has("payload"))
        return f.reject(f.name("payload") + ": missing");
    const json &v = f["payload"];
    if (v.is_string()) {
        std::string file = v.get<std::string>();
        std::string path = !file.empty() && file[0] == '/' ? file : dir + file;
        if (file.empty() || file == "-")
            return f.reject(f.name("payload") + ": expected a file name, got " + v.dump());
        // A directory or a device is refused before reading, and the limit
        // is counted while reading, so /dev/zero cannot exhaust memory.
        std::string error;
        if (!hosttool::read_input(path, kMaxPack, out, &error))
            return f.reject(f.name("payload") + ": " + error);
        files->push_back(path);
        return true;
    }
    if (!v.is_object())
        return f.reject(f.name("payload") + ": expected a file name or {\"size\", \"pattern\"}");
    std::string error;
    Fields gen(v, f.name("payload"), &error);
    uint64_t size = 0;
    if (!gen.number("size", kMaxPack, &size, true))
        return f.reject(error);
    std::string pattern = "zero";
    if (gen.has("pattern")) {
        if (!gen["pattern"].is_string())
            return f.reject(gen.name("pattern") + ": expected a string");
        pattern = gen["pattern"].get<std::string>();
    }
    if (!gen.no_unknown())
        return f.reject(error);
    if (!generate_payload(static_cast<uint32_t>(size), pattern, out))
        return f.reject(gen.name("pattern") + ": \"" + pattern +
                        "\" is none of zero, ff, counter, random:SEED");
    return true;
}

bool load_partition(const json &v, const std::string &path, const std::string &dir,
                    PartitionSpec *p, std::vector<std::string> *files, std::string *error)
{
    if (!v.is_object()) {
        *error = path + ": expected an object";
        return false;
    }
    Fields f(v, path, error);
    uint64_t offset = 0;
    bool ok = f.u32("id", &p->id, true) && f.u32("type", &p->type) &&
              f.u32("process_type", &p->process_type) && f.u32("data_type", &p->data_type) &&
              f.version("version", &p->version) && load_payload(f, dir, &p->payload, files) &&
              f.u32("header_size", &p->header_size) && f.number("offset", 0xFFFFFFFFu, &offset) &&
              f.no_unknown();
    if (ok && p->header_size < 32)
        ok = f.reject(f.name("header_size") + ": at least 32, so that the header holds its fields");
    if (ok && f.has("offset"))
        p->offset = static_cast<uint32_t>(offset);
    return ok;
}

bool load_corruption(const json &v, Corruption *c, std::string *error)
{
    if (!v.is_object()) {
        *error = "corrupt: expected an object";
        return false;
    }
    Fields f(v, "corrupt", error);
    if (f.has("patch")) {
        const json &list = f["patch"];
        if (!list.is_array())
            return f.reject("corrupt.patch: expected a list");
        for (size_t i = 0; i < list.size(); ++i) {
            std::string path = "corrupt.patch[" + std::to_string(i) + "]";
            if (!list[i].is_object())
                return f.reject(path + ": expected {\"offset\", \"hex\"}");
            Fields p(list[i], path, error);
            Patch patch;
            if (!p.number("offset", kMaxPack, &patch.offset, true))
                return false;
            if (!p.has("hex") || !p["hex"].is_string() ||
                !parse_hex(p["hex"].get<std::string>(), &patch.bytes))
                return p.reject(p.name("hex") + ": expected an even number of hex digits");
            if (!p.no_unknown())
                return false;
            c->patches.push_back(patch);
        }
    }
    uint64_t length = 0;
    if (!f.number("truncate", kMaxPack, &length))
        return false;
    if (f.has("truncate"))
        c->truncate = length;
    if (f.has("fix")) {
        const json &fix = f["fix"];
        std::string s = fix.is_string() ? fix.get<std::string>() : "";
        if (s == "none")
            c->fix = Corruption::Fix::none;
        else if (s == "header")
            c->fix = Corruption::Fix::header;
        else if (s == "body")
            c->fix = Corruption::Fix::body;
        else
            return f.reject("corrupt.fix: expected \"none\", \"header\" or \"body\", got " +
                            fix.dump());
    }
    if (f.has("unchecked")) {
        if (!f["unchecked"].is_boolean())
            return f.reject("corrupt.unchecked: expected true or false");
        c->unchecked = f["unchecked"].get<bool>();
    }
    return f.no_unknown();
}

bool load_header(Fields &f, PackSpec *s)
{
    if (!f.u32("rom_type", &s->rom_type) || !f.u32("process_type", &s->process_type) ||
        !f.u32("device_id", &s->device_id, true) || !f.u32("oem_id", &s->oem_id) ||
        !f.version("version", &s->version) || !f.u32("mid_version", &s->mid_version) ||
        !f.u32("sw_protect", &s->sw_protect))
        return false;
    if (f.has("match_id")) {
        const json &ids = f["match_id"];
        if (!ids.is_array() || ids.size() > 16)
            return f.reject("match_id: expected a list of at most 16 numbers");
        for (size_t i = 0; i < ids.size(); ++i) {
            if (!ids[i].is_number_unsigned() || ids[i].get<uint64_t>() > 255)
                return f.reject("match_id[" + std::to_string(i) + "]: expected 0..255, got " +
                                ids[i].dump());
            s->match_id[i] = static_cast<uint8_t>(ids[i].get<uint64_t>());
        }
    }
    const bool has_layout = f.has("layout");
    const bool has_size = f.has("header_size");
    if (has_layout && has_size)
        return f.reject("layout: give either \"layout\" or \"header_size\", not both");
    if (has_layout) {
        const json &l = f["layout"];
        std::string text = l.is_string() ? l.get<std::string>() : "";
        if (text == "current")
            s->header_size = 128;
        else if (text == "older")
            s->header_size = 124;
        else
            return f.reject("layout: expected \"current\" or \"older\", got " + l.dump());
    }
    if (has_size) {
        if (!f.u32("header_size", &s->header_size))
            return false;
        if (s->header_size < 32)
            return f.reject("header_size: at least 32, so that the header holds its own fields");
    }
    uint64_t key = 0;
    if (!f.number("scramble_key", 255, &key))
        return false;
    if (f.has("scramble_key") && s->header_size < 128)
        return f.reject("scramble_key: the older layout is not scrambled");
    s->scramble_key = static_cast<uint8_t>(key);
    return true;
}

// The partition rules of the telephone's check (upgrader/rompack.cpp):
// a pack the telephone refuses for them is not made by accident.
bool check_partitions(const PackSpec &s, std::string *error)
{
    if (s.partitions.size() > MAX_PARTITIONS) {
        *error = "partitions: " + std::to_string(s.partitions.size()) +
                 " partitions, the telephone takes at most " + std::to_string(MAX_PARTITIONS);
        return false;
    }
    std::map<uint32_t, size_t> first;
    for (size_t i = 0; i < s.partitions.size(); ++i) {
        const PartitionSpec &p = s.partitions[i];
        const std::string name = "partitions[" + std::to_string(i) + "]";
        if (p.id >= 10 && p.id < 255) {
            *error = name + ".id: " + std::to_string(p.id) +
                     " is neither a flash partition (0..9) nor a payload kept off flash "
                     "(255 and above)";
            return false;
        }
        if (p.id < 10 && p.type != 0) {
            *error = name + ".type: " + std::to_string(p.type) +
                     ", but a flash partition (id 0..9) has type 0";
            return false;
        }
        auto seen = first.emplace(p.id, i);
        if (!seen.second) {
            *error = name + ".id: " + std::to_string(p.id) + " is also the id of partitions[" +
                     std::to_string(seen.first->second) + "]";
            return false;
        }
    }
    return true;
}

} // namespace

bool load_manifest(const std::string &path, Manifest *out, std::string *error)
{
    std::string message, text;
    if (!hosttool::read_input(path, kMaxManifest, &text, error))
        return false;
    const std::string shown = path == "-" ? "standard input" : path;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        ErrorCatcher catcher;
        json::sax_parse(text, &catcher);
        *error = shown + ": not valid JSON: " + catcher.message;
        return false;
    }
    if (!doc.is_object()) {
        *error = shown + ": expected a JSON object";
        return false;
    }
    if (std::optional<std::string> twice = phonesim::duplicate_json_key(text)) {
        *error = shown + ": " + *twice + ": given twice";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);

    Manifest m;
    Fields f(doc, "", &message);
    bool ok = load_header(f, &m.pack);
    if (ok && !f.has("partitions"))
        ok = f.reject("partitions: missing (an empty list makes a pack without partitions)");
    if (ok && !f["partitions"].is_array())
        ok = f.reject("partitions: expected a list");
    if (ok) {
        const json &list = f["partitions"];
        for (size_t i = 0; ok && i < list.size(); ++i) {
            PartitionSpec p;
            ok = load_partition(list[i], "partitions[" + std::to_string(i) + "]", dir, &p,
                                &m.payload_files, &message);
            m.pack.partitions.push_back(std::move(p));
        }
    }
    if (ok && f.has("corrupt"))
        ok = load_corruption(f["corrupt"], &m.corrupt, &message);
    ok = ok && f.no_unknown();
    if (ok && !m.corrupt.unchecked)
        ok = check_partitions(m.pack, &message);
    if (!ok) {
        *error = shown + ": " + message;
        return false;
    }
    *out = std::move(m);
    return true;
}

bool build_pack(const Manifest &manifest, std::vector<uint8_t> *pack, std::string *error)
{
    const uint64_t length = pack_length(manifest.pack);
    if (length > kMaxPack) {
        *error = "the pack would be " + std::to_string(length) +
                 " bytes long, more than 256 MiB (check the offsets)";
        return false;
    }
    *pack = make_pack(manifest.pack);
    const Corruption &c = manifest.corrupt;
    for (const Patch &p : c.patches) {
        if (p.offset + p.bytes.size() > pack->size()) {
            *error = "corrupt.patch at " + std::to_string(p.offset) + " runs past the end of the " +
                     std::to_string(pack->size()) + "-byte pack";
            return false;
        }
        std::copy(p.bytes.begin(), p.bytes.end(), pack->begin() + p.offset);
    }
    if (c.truncate) {
        if (*c.truncate > pack->size()) {
            *error = "corrupt.truncate: " + std::to_string(*c.truncate) + " is longer than the " +
                     std::to_string(pack->size()) + "-byte pack";
            return false;
        }
        pack->resize(*c.truncate);
    }
    if (c.fix == Corruption::Fix::header)
        fix_rom_header_checksum(*pack);
    else if (c.fix == Corruption::Fix::body)
        fix_rom_checksum(*pack);
    return true;
}

bool looks_like_manifest(const std::vector<uint8_t> &bytes)
{
    auto first = std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return !isspace(b); });
    return first != bytes.end() && *first == '{';
}

} // namespace rompack
