#include "faults/campaign.h"
#include "common/text.h"

#include <stdio.h>

#include <algorithm>
#include <set>
#include <sstream>

namespace faults
{

namespace
{

bool parse_mtd_name(const std::string &name, int *n)
{
    if (name.size() != 4 || name.compare(0, 3, "mtd") != 0 || name[3] < '0' || name[3] > '9')
        return false;
    *n = name[3] - '0';
    return true;
}

// A window the kernel would take: inside the chip, on 64 KiB boundaries,
// not empty.
bool usable(const Window &w)
{
    return w.end > w.start && w.start >= kChipBase && w.end <= kChipBase + kChipSize &&
           w.start % 0x10000 == 0 && w.end % 0x10000 == 0;
}

bool in_chip(const std::vector<uint8_t> &chip, const Window &w)
{
    return usable(w) && chip.size() == kChipSize;
}

// The window holds payload followed by erased bytes.
bool holds_payload(const std::vector<uint8_t> &chip, const Window &w,
                   const std::vector<uint8_t> &payload)
{
    if (!in_chip(chip, w) || payload.size() > w.end - w.start)
        return false;
    const uint8_t *p = chip.data() + (w.start - kChipBase);
    if (!std::equal(payload.begin(), payload.end(), p))
        return false;
    return std::all_of(p + payload.size(), p + (w.end - w.start),
                       [](uint8_t b) { return b == 0xFF; });
}

bool holds_bytes(const std::vector<uint8_t> &chip, const Window &w,
                 const std::vector<uint8_t> &bytes)
{
    return in_chip(chip, w) && bytes.size() == w.end - w.start &&
           std::equal(bytes.begin(), bytes.end(), chip.data() + (w.start - kChipBase));
}

std::string hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", unsigned(v));
    return buf;
}

} // namespace

std::string ranges(const std::vector<int> &cuts)
{
    std::string out;
    for (size_t i = 0; i < cuts.size();) {
        size_t j = i;
        while (j + 1 < cuts.size() && cuts[j + 1] == cuts[j] + 1)
            ++j;
        out += (out.empty() ? "" : ", ") + std::to_string(cuts[i]);
        if (j > i)
            out += "-" + std::to_string(cuts[j]);
        i = j + 1;
    }
    return out;
}

std::vector<std::string> phases_of(const std::vector<Operation> &ops)
{
    std::vector<std::string> phases;
    bool moved = false, burning = false, staged = false;
    // A layout move whose blocks are staged writes them to flash and
    // records them before it moves anything.
    for (size_t i = 0; i < ops.size(); ++i)
        staged = staged || (ops[i].kind == "move" && i > 0 && ops[i - 1].kind == "env" && i > 1 &&
                            ops[i - 2].kind == "write");
    bool staging = false;
    for (const Operation &op : ops) {
        std::string phase;
        if (staged && !moved && (op.kind == "erase" || op.kind == "write")) {
            phase = "staging";
            staging = true;
        } else if (op.kind == "env" && staging && !moved) {
            phase = "staging";
        } else if (op.kind == "env") {
            phase = moved ? "recording layout" : "boot environment";
        } else if (op.kind == "move") {
            phase = "moving";
            moved = true;
        } else if (moved && !burning && (op.mtd == 3 || op.mtd == 4)) {
            phase = "writing back mtd" + std::to_string(op.mtd);
        } else {
            burning = true;
            phase = "burning mtd" + std::to_string(op.mtd);
        }
        phases.push_back(phase);
    }
    return phases;
}

bool cut_list(const std::string &list, const std::vector<std::string> &phases,
              std::vector<int> *cuts, std::string *error)
{
    const int k = int(phases.size());
    std::set<int> chosen;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        unsigned first = 0, last = 0;
        char dash = 0, extra = 0;
        if (item == "phases") {
            for (int a = 0; a < k;) {
                int b = a;
                while (b + 1 < k && phases[size_t(b + 1)] == phases[size_t(a)])
                    ++b;
                chosen.insert(1 + (a + b) / 2);
                a = b + 1;
            }
        } else if (item == "last") {
            if (k > 0)
                chosen.insert(k);
        } else if (sscanf(item.c_str(), "%u%c%u%c", &first, &dash, &last, &extra) == 3 &&
                   dash == '-' && first >= 1 && first <= last) {
            for (unsigned c = first; c <= last && int(c) <= k; ++c)
                chosen.insert(int(c));
        } else if (sscanf(item.c_str(), "%u%c", &first, &extra) == 1 && first >= 1) {
            if (int(first) <= k)
                chosen.insert(int(first));
        } else {
            return *error = "--cuts " + list + ": \"" + item +
                            "\" is not a cut point (N from 1), a range A-B, phases or last",
                   false;
        }
    }
    cuts->assign(chosen.begin(), chosen.end());
    return true;
}

std::vector<int> cut_points(int k, int sample)
{
    std::vector<int> cuts;
    if (k <= 0)
        return cuts;
    if (sample <= 0 || sample >= k) {
        for (int c = 1; c <= k; ++c)
            cuts.push_back(c);
        return cuts;
    }
    for (int i = 0; i < sample; ++i) {
        int c = sample == 1 ? 1 : 1 + int((long long)i * (k - 1) / (sample - 1));
        if (cuts.empty() || cuts.back() != c)
            cuts.push_back(c);
    }
    return cuts;
}

Env parse_env(const std::string &text)
{
    Env env;
    for (const std::string &line : text_lines(text)) {
        size_t space = line.find(' ');
        if (line.empty())
            continue;
        if (space == std::string::npos)
            env.emplace_back(line, "");
        else
            env.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return env;
}

Layout layout_from_env(const Env &env)
{
    Layout layout;
    for (const auto &[name, value] : env) {
        int n = 0;
        unsigned start = 0, end = 0;
        if (parse_mtd_name(name, &n) && sscanf(value.c_str(), "%x,%x", &start, &end) == 2)
            layout[n] = Window{start, end};
    }
    return layout;
}

Layout layout_from_file(const std::string &text)
{
    Layout layout;
    std::istringstream in(text);
    for (std::string name, start, end; in >> name >> start >> end;) {
        int n = 0;
        if (parse_mtd_name(name, &n))
            layout[n] = Window{uint32_t(std::stoul(start, nullptr, 16)),
                               uint32_t(std::stoul(end, nullptr, 16))};
    }
    return layout;
}

std::vector<int> torn_boot_partitions(const Expected &want, const Telephone &after_cut)
{
    std::vector<int> torn;
    const Layout boot = layout_from_env(after_cut.env);
    for (int p : {0, 1, 2}) {
        auto payload = want.payloads.find(p);
        auto w = boot.find(p);
        if (payload == want.payloads.end() || w == boot.end())
            continue;
        std::vector<uint8_t> before;
        if (in_chip(want.chip_before, w->second))
            before.assign(want.chip_before.begin() + (w->second.start - kChipBase),
                          want.chip_before.begin() + (w->second.end - kChipBase));
        if (!holds_bytes(after_cut.chip, w->second, before) &&
            !holds_payload(after_cut.chip, w->second, payload->second))
            torn.push_back(p);
    }
    return torn;
}

std::string judge(const Expected &want, const Telephone &phone)
{
    std::string wrong;
    auto window = [&](int p) {
        auto w = phone.layout.find(p);
        return w == phone.layout.end() ? Window{} : w->second;
    };
    for (const auto &[p, payload] : want.payloads)
        if (!holds_payload(phone.chip, window(p), payload))
            wrong += "mtd" + std::to_string(p) + " does not hold the pack's payload\n";
    if (!holds_bytes(phone.chip, window(3), want.env_block))
        wrong += "environment block lost (mtd3 at " + hex(window(3).start) + ")\n";
    if (!holds_bytes(phone.chip, window(4), want.config_block))
        wrong += "configuration block lost (mtd4 at " + hex(window(4).start) + ")\n";
    for (const auto &[name, value] : want.env_after) {
        auto it = std::find_if(phone.env.begin(), phone.env.end(),
                               [&](const auto &v) { return v.first == name; });
        if (it == phone.env.end() || it->second != value)
            wrong += "boot environment " + name + " is " +
                     (it == phone.env.end() ? "missing" : "\"" + it->second + "\"") + ", not \"" +
                     value + "\"\n";
    }
    return wrong;
}

std::string table(const std::string &name, const std::vector<std::string> &phases,
                  const std::vector<CutResult> &results, bool moves_blocks)
{
    struct Row {
        int tried = 0, recovered = 0, lost = 0, unbootable = 0, other = 0;
    };
    std::vector<std::string> order;
    for (const std::string &p : phases)
        if (std::find(order.begin(), order.end(), p) == order.end())
            order.push_back(p);
    // The blocks are copied while the partitions move; copies only read,
    // so no cut point falls there, but the row says so.
    if (moves_blocks)
        order.insert(std::find(order.begin(), order.end(), "moving"), "copying");
    std::map<std::string, Row> rows;
    Row total;
    std::vector<int> lost, unbootable, other;
    for (const CutResult &r : results) {
        Row &row = rows[phases.at(size_t(r.cut - 1))];
        for (Row *x : {&row, &total}) {
            ++x->tried;
            x->recovered += r.outcome == Outcome::Recovered;
            x->lost += r.outcome == Outcome::ConfigLost;
            x->unbootable += r.outcome == Outcome::Unbootable;
            x->other += r.outcome == Outcome::Other;
        }
        if (r.outcome == Outcome::ConfigLost)
            lost.push_back(r.cut);
        else if (r.outcome == Outcome::Unbootable)
            unbootable.push_back(r.cut);
        else if (r.outcome == Outcome::Other)
            other.push_back(r.cut);
    }
    std::ostringstream out;
    char line[160];
    out << name << ": " << phases.size() << " flash operations in a clean run, " << results.size()
        << " cut points tried\n";
    snprintf(line, sizeof line, "  %-20s %6s %10s %12s %11s %6s\n", "phase", "cuts", "recovered",
             "config lost", "unbootable", "other");
    out << line;
    auto print = [&](const std::string &label, const Row &r) {
        snprintf(line, sizeof line, "  %-20s %6d %10d %12d %11d %6d\n", label.c_str(), r.tried,
                 r.recovered, r.lost, r.unbootable, r.other);
        out << line;
    };
    for (const std::string &p : order)
        print(p, rows[p]);
    print("total", total);
    if (!lost.empty())
        out << "  configuration lost at cuts " << ranges(lost) << "\n";
    if (!unbootable.empty())
        out << "  unbootable at cuts " << ranges(unbootable) << "\n";
    if (!other.empty())
        out << "  not recovered at cuts " << ranges(other) << "\n";
    return out.str();
}

} // namespace faults
