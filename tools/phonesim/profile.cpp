#include "phonesim/profile.h"
#include "common/text.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace phonesim {

namespace {

// ordered: bootenv names added by a profile keep the order they are written in.
using json = nlohmann::ordered_json;

// The default layout of the 8 MiB chip, in 64 KiB blocks from its base. It
// follows the usual shape of the telephone's flash: boot loader first, the
// two small parameter partitions (environment, configuration) between the
// kernel and the large file systems, and the spare partitions at the top.
struct DefaultPartition {
    uint32_t start_block;
    uint32_t blocks;
};
constexpr DefaultPartition kDefaultLayout[kPartitions] = {
    {0, 2},    // mtd0 boot loader      0x90000000-0x90020000 (128 KiB)
    {2, 16},   // mtd1 kernel           0x90020000-0x90120000 (1 MiB)
    {18, 32},  // mtd2 root file system 0x90120000-0x90320000 (2 MiB)
    {50, 1},   // mtd3 environment      0x90320000-0x90330000 (64 KiB)
    {51, 8},   // mtd4 configuration    0x90330000-0x903b0000 (512 KiB)
    {59, 16},  // mtd5 basic            0x903b0000-0x904b0000 (1 MiB)
    {75, 32},  // mtd6 application      0x904b0000-0x906b0000 (2 MiB)
    {107, 8},  // mtd7 resources        0x906b0000-0x90730000 (512 KiB)
    {115, 8},  // mtd8 spare            0x90730000-0x907b0000 (512 KiB)
    {123, 5},  // mtd9 spare            0x907b0000-0x90800000 (320 KiB)
};

const char *const kFaultKinds[] = {"open", "erase", "write", "short_write", "env_write"};

// Thrown while reading a profile; carries the name of the offending field.
struct FieldError {
    std::string field;
    std::string what;
};

[[noreturn]] void throw_field_error(const std::string &field, const std::string &what) {
    throw FieldError{field, what};
}

std::string get_string(const json &value, const std::string &field) {
    if (!value.is_string())
        throw_field_error(field, "expected a string");
    return value.get<std::string>();
}

bool get_bool(const json &value, const std::string &field) {
    if (!value.is_boolean())
        throw_field_error(field, "expected true or false");
    return value.get<bool>();
}

int64_t get_int(const json &value, const std::string &field) {
    if (!value.is_number_integer())
        throw_field_error(field, "expected an integer");
    return value.get<int64_t>();
}

// Flash addresses are written as hex strings ("0x90320000") or plain
// numbers.
uint32_t get_address(const json &value, const std::string &field) {
    int64_t n = 0;
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t used = 0;
        try {
            n = std::stoll(text, &used, 0);
        } catch (const std::exception &) {
            used = 0;
        }
        if (text.empty() || used != text.size())
            throw_field_error(field, "expected an address such as \"0x90320000\"");
    } else if (value.is_number_integer()) {
        n = value.get<int64_t>();
    } else {
        throw_field_error(field, "expected an address such as \"0x90320000\"");
    }
    if (n < 0 || n > 0xFFFFFFFFll)
        throw_field_error(field, "address out of range");
    return static_cast<uint32_t>(n);
}

void check_window(const Window &w, const std::string &field) {
    if (w.start % kEraseSize != 0 || w.end % kEraseSize != 0)
        throw_field_error(field, "not on a 64 KiB boundary");
    if (w.start < kFlashBase || w.end > kFlashBase + kFlashSize || w.end <= w.start)
        throw_field_error(field, "not a non-empty window inside 0x90000000..0x90800000");
}

void read_mtd(const json &value, Profile *p) {
    if (!value.is_object())
        throw_field_error("mtd", "expected an object of partitions such as {\"mtd3\": {...}}");
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string field = "mtd." + it.key();
        int n = -1;
        if (it.key().size() == 4 && it.key().compare(0, 3, "mtd") == 0 && it.key()[3] >= '0' &&
            it.key()[3] <= '9')
            n = it.key()[3] - '0';
        if (n < 0)
            throw_field_error(field, "unknown partition (mtd0..mtd9)");
        if (!it->is_object())
            throw_field_error(field, "expected {\"start\": ..., \"end\": ...}");
        for (auto f = it->begin(); f != it->end(); ++f) {
            if (f.key() == "start")
                p->mtd[n].start = get_address(*f, field + ".start");
            else if (f.key() == "end")
                p->mtd[n].end = get_address(*f, field + ".end");
            else
                throw_field_error(field + "." + f.key(), "unknown field");
        }
    }
}

void read_bootenv(const json &value, Profile *p) {
    if (!value.is_object())
        throw_field_error("bootenv", "expected an object of NAME: VALUE");
    // Values given here replace defaults of the same name in place; new
    // names follow in the order written. A null removes a default.
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string field = "bootenv." + it.key();
        if (it.key().empty() || it.key().find_first_of(" \t\n") != std::string::npos)
            throw_field_error(field, "a variable name has no blanks");
        if (it.key().size() == 4 && it.key().compare(0, 3, "mtd") == 0 &&
            isdigit(static_cast<unsigned char>(it.key()[3])))
            throw_field_error(field, "partition windows belong in \"mtd\"");
        auto existing = p->bootenv.begin();
        while (existing != p->bootenv.end() && existing->first != it.key())
            ++existing;
        if (it->is_null()) {
            if (existing != p->bootenv.end())
                p->bootenv.erase(existing);
            continue;
        }
        const std::string v = get_string(*it, field);
        if (v.find('\n') != std::string::npos)
            throw_field_error(field, "a value is one line");
        if (existing != p->bootenv.end())
            existing->second = v;
        else
            p->bootenv.emplace_back(it.key(), v);
    }
}

void read_faults(const json &value, Profile *p) {
    if (!value.is_array())
        throw_field_error("faults", "expected an array");
    p->faults.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        const std::string field = "faults[" + std::to_string(i) + "]";
        const json &item = value[i];
        if (!item.is_object())
            throw_field_error(field, "expected {\"partition\": N, \"kind\": ..., \"block\": N}");
        Fault fault;
        bool have_kind = false;
        for (auto f = item.begin(); f != item.end(); ++f) {
            const std::string name = field + "." + f.key();
            if (f.key() == "partition") {
                int64_t n = get_int(*f, name);
                if (n < 0 || n >= kPartitions)
                    throw_field_error(name, "a partition is 0..9");
                fault.partition = static_cast<int>(n);
            } else if (f.key() == "kind") {
                fault.kind = get_string(*f, name);
                bool known = false;
                for (const char *k : kFaultKinds)
                    known = known || fault.kind == k;
                if (!known)
                    throw_field_error(name, "one of open, erase, write, short_write, env_write");
                have_kind = true;
            } else if (f.key() == "block") {
                int64_t n = get_int(*f, name);
                if (n < -1 || n >= static_cast<int64_t>(kFlashSize / kEraseSize))
                    throw_field_error(name, "a block number, or -1 for any");
                fault.block = static_cast<int>(n);
            } else {
                throw_field_error(name, "unknown field");
            }
        }
        if (!have_kind)
            throw_field_error(field + ".kind", "missing");
        p->faults.push_back(fault);
    }
}

void read_power_cut(const json &value, Profile *p) {
    p->power_cut = PowerCut();
    if (value.is_null())
        return;
    if (!value.is_object() || value.empty())
        throw_field_error("power_cut", "expected {\"op\": N} or {\"seconds\": S}");
    for (auto f = value.begin(); f != value.end(); ++f) {
        const std::string name = "power_cut." + f.key();
        if (f.key() == "op") {
            int64_t n = get_int(*f, name);
            if (n < 1)
                throw_field_error(name, "operations are counted from 1");
            p->power_cut.op = static_cast<uint64_t>(n);
        } else if (f.key() == "seconds") {
            if (!f->is_number() || f->get<double>() <= 0)
                throw_field_error(name, "expected a number of seconds above 0");
            p->power_cut.seconds = f->get<double>();
        } else {
            throw_field_error(name, "unknown field");
        }
    }
}

// Fields given replace the defaults one by one.
void read_flash_timing(const json &value, Profile *p) {
    if (!value.is_object())
        throw_field_error("flash_timing", "expected an object such as {\"erase_ms\": 500}");
    FlashTiming &t = p->flash_timing;
    for (auto f = value.begin(); f != value.end(); ++f) {
        const std::string name = "flash_timing." + f.key();
        double *field = f.key() == "erase_ms"             ? &t.erase_ms
                        : f.key() == "program_ms_per_kib" ? &t.program_ms_per_kib
                        : f.key() == "read_ms_per_kib"    ? &t.read_ms_per_kib
                        : f.key() == "delay"              ? &t.delay
                                                          : nullptr;
        if (field == nullptr)
            throw_field_error(name, "unknown field");
        if (!f->is_number() || !std::isfinite(f->get<double>()) || f->get<double>() < 0)
            throw_field_error(name, "expected a number, 0 or more");
        *field = f->get<double>();
    }
}

int get_status(const json &value, const std::string &field) {
    int64_t n = get_int(value, field);
    if (n < 0 || n > 255)
        throw_field_error(field, "an exit status is 0..255");
    return static_cast<int>(n);
}

void read_profile(const json &doc, Profile *p) {
    if (!doc.is_object())
        throw_field_error("(top level)", "expected a JSON object");
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        const std::string &key = it.key();
        const json &v = *it;
        if (key == "mtd")
            read_mtd(v, p);
        else if (key == "bootenv")
            read_bootenv(v, p);
        else if (key == "hwver")
            p->hwver = get_string(v, key);
        else if (key == "software")
            p->software = get_string(v, key);
        else if (key == "rom_version")
            p->rom_version = get_string(v, key);
        else if (key == "mtd6_version")
            p->mtd6_version = get_string(v, key);
        else if (key == "mtd5_version")
            p->mtd5_version = get_string(v, key);
        else if (key == "mtd0_version")
            p->mtd0_version = get_string(v, key);
        else if (key == "mtd_move_supported")
            p->mtd_move_supported = get_bool(v, key);
        else if (key == "killapps_status")
            p->killapps_status = get_status(v, key);
        else if (key == "umount_status")
            p->umount_status = get_status(v, key);
        else if (key == "faults")
            read_faults(v, p);
        else if (key == "power_cut")
            read_power_cut(v, p);
        else if (key == "flash_timing")
            read_flash_timing(v, p);
        else if (key == "comment")
            p->comment = get_string(v, key);
        else if (key == "expect") {
            p->expect = get_string(v, key);
            if (p->expect != "upgraded" && p->expect != "refused")
                throw_field_error(key, "expected \"upgraded\" or \"refused\"");
        } else
            throw_field_error(key, "unknown field");
    }
    // Windows are checked after all of them are read, so that a profile can
    // move two neighbours at once.
    for (int i = 0; i < kPartitions; ++i)
        check_window(p->mtd[i], "mtd.mtd" + std::to_string(i));
    for (int i = 0; i < kPartitions; ++i)
        for (int j = i + 1; j < kPartitions; ++j)
            if (p->mtd[i].start < p->mtd[j].end && p->mtd[j].start < p->mtd[i].end)
                throw_field_error("mtd.mtd" + std::to_string(j),
                     "overlaps mtd" + std::to_string(i));
}

// Walks a JSON text keeping, for each open object, the keys seen so far and
// the path of the object, so that a repeated key can be named.
class KeyWalker : public nlohmann::json_sax<nlohmann::json> {
  public:
    std::optional<std::string> duplicate;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t &) override { return value(); }
    bool string(string_t &) override { return value(); }
    bool binary(binary_t &) override { return value(); }
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t &k) override {
        Level &l = levels_.back();
        l.key = k;
        if (l.keys.insert(k).second)
            return true;
        duplicate = here();
        return false; // the first one is enough
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override {
        return false;
    }

  private:
    struct Level {
        bool object;
        std::string path;
        std::set<std::string> keys;
        std::string key;
        size_t index = 0;
    };
    std::vector<Level> levels_;

    // The path of the value being read; in an array, also counts it.
    std::string here() {
        if (levels_.empty())
            return "";
        Level &l = levels_.back();
        if (l.object)
            return l.path.empty() ? l.key : l.path + "." + l.key;
        return l.path + "[" + std::to_string(l.index++) + "]";
    }
    bool value() {
        here();
        return true;
    }
    bool open(bool object) {
        std::string path = here();
        levels_.push_back(Level{object, path, {}, {}, 0});
        return true;
    }
    bool close() {
        levels_.pop_back();
        return true;
    }
};

std::string version_file(const std::vector<std::pair<std::string, std::string>> &keys) {
    std::string text = "[Version]\n";
    for (const auto &kv : keys)
        text += kv.first + " = " + kv.second + "\n";
    return text;
}

} // namespace

std::optional<std::string> duplicate_json_key(const std::string &json_text) {
    KeyWalker walker;
    nlohmann::json::sax_parse(json_text, &walker, nlohmann::json::input_format_t::json, false);
    return walker.duplicate;
}

DeviceFiles device_files(const Profile &p) {
    return {
        {"proc/avalanche/env", format_bootenv(initial_bootenv(p))},
        {"proc/misc/hwver", p.hwver + "\n"},
        {"proc/ver/software", p.software + "\n"},
        {"app/version.conf", version_file({{"RomVersion", p.rom_version}, {"Mtd6Version", p.mtd6_version}})},
        {"basic/version.conf", version_file({{"Mtd5Version", p.mtd5_version}})},
        {"version.conf", version_file({{"Mtd0Version", p.mtd0_version}})},
    };
}

Profile default_profile() {
    Profile p;
    for (int i = 0; i < kPartitions; ++i) {
        p.mtd[i].start = kFlashBase + kDefaultLayout[i].start_block * kEraseSize;
        p.mtd[i].end = p.mtd[i].start + kDefaultLayout[i].blocks * kEraseSize;
    }
    p.bootenv = {{"MID_VERSION", "0"},
                 {"SW_OEM", "0"},
                 {"SW_protect", "0"},
                 {"Mtd2Version", "2.0.0.1"}};
    return p;
}

bool parse_profile(const std::string &json_text, Profile *profile, std::string *error) {
    json doc;
    try {
        doc = json::parse(json_text);
    } catch (const json::exception &e) { // also a number beyond a double
        if (error)
            *error = std::string("profile is not valid JSON: ") + e.what();
        return false;
    }
    if (std::optional<std::string> twice = duplicate_json_key(json_text)) {
        if (error)
            *error = "profile field \"" + *twice + "\": given twice";
        return false;
    }
    Profile p = default_profile();
    try {
        read_profile(doc, &p);
    } catch (const FieldError &e) {
        if (error)
            *error = "profile field \"" + e.field + "\": " + e.what;
        return false;
    }
    *profile = std::move(p);
    return true;
}

bool load_profile(const std::string &path, Profile *profile, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        if (error)
            *error = "cannot read profile " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        if (error)
            *error = "cannot read profile " + path;
        return false;
    }
    if (!parse_profile(text.str(), profile, error)) {
        if (error)
            *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::string profile_to_json(const Profile &p) {
    // ordered_json keeps the fields in the order people read them.
    nlohmann::ordered_json doc;
    if (!p.comment.empty())
        doc["comment"] = p.comment;
    nlohmann::ordered_json mtd = nlohmann::ordered_json::object();
    for (int i = 0; i < kPartitions; ++i)
        mtd["mtd" + std::to_string(i)] = {{"start", text_hex32(p.mtd[i].start)},
                                          {"end", text_hex32(p.mtd[i].end)}};
    doc["mtd"] = mtd;
    nlohmann::ordered_json env = nlohmann::ordered_json::object();
    for (const auto &kv : p.bootenv)
        env[kv.first] = kv.second;
    // A profile is read over the defaults, so a default variable this one
    // lacks must be removed explicitly.
    for (const auto &kv : default_profile().bootenv)
        if (!env.contains(kv.first))
            env[kv.first] = nullptr;
    doc["bootenv"] = env;
    doc["hwver"] = p.hwver;
    doc["software"] = p.software;
    doc["rom_version"] = p.rom_version;
    doc["mtd6_version"] = p.mtd6_version;
    doc["mtd5_version"] = p.mtd5_version;
    doc["mtd0_version"] = p.mtd0_version;
    doc["mtd_move_supported"] = p.mtd_move_supported;
    doc["killapps_status"] = p.killapps_status;
    doc["umount_status"] = p.umount_status;
    nlohmann::ordered_json faults = nlohmann::ordered_json::array();
    for (const Fault &f : p.faults)
        faults.push_back({{"partition", f.partition}, {"kind", f.kind}, {"block", f.block}});
    doc["faults"] = faults;
    nlohmann::ordered_json cut = nullptr;
    if (p.power_cut.op > 0)
        cut["op"] = p.power_cut.op;
    if (p.power_cut.seconds > 0)
        cut["seconds"] = p.power_cut.seconds;
    doc["power_cut"] = cut;
    doc["flash_timing"] = {{"erase_ms", p.flash_timing.erase_ms},
                           {"program_ms_per_kib", p.flash_timing.program_ms_per_kib},
                           {"read_ms_per_kib", p.flash_timing.read_ms_per_kib},
                           {"delay", p.flash_timing.delay}};
    doc["expect"] = p.expect;
    return doc.dump(2) + "\n";
}

Variables initial_bootenv(const Profile &p) {
    Variables vars = p.bootenv;
    for (int i = 0; i < kPartitions; ++i) {
        char value[32];
        snprintf(value, sizeof value, "%x,%x", p.mtd[i].start, p.mtd[i].end);
        vars.emplace_back("mtd" + std::to_string(i), value);
    }
    return vars;
}

std::string format_bootenv(const Variables &vars) {
    std::string text;
    for (const auto &kv : vars)
        text += kv.first + " " + kv.second + "\n";
    return text;
}

std::string format_layout(const Window (&mtd)[kPartitions]) {
    std::string text;
    for (int i = 0; i < kPartitions; ++i)
        text += "mtd" + std::to_string(i) + " " + text_hex32(mtd[i].start) + " " + text_hex32(mtd[i].end) + "\n";
    return text;
}

bool parse_layout(const std::string &text, Window (&mtd)[kPartitions]) {
    Window read[kPartitions];
    bool seen[kPartitions] = {};
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        int n = -1;
        unsigned start = 0, end = 0;
        if (sscanf(line.c_str(), "mtd%d %x %x", &n, &start, &end) != 3 || n < 0 ||
            n >= kPartitions)
            return false;
        read[n].start = start;
        read[n].end = end;
        seen[n] = true;
    }
    for (bool s : seen)
        if (!s)
            return false;
    for (int i = 0; i < kPartitions; ++i)
        mtd[i] = read[i];
    return true;
}

} // namespace phonesim
