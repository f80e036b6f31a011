// libFuzzer harness: the INI reader over arbitrary text, asked for fixed
// names and names taken from the text, into value buffers allocated to the
// byte so that AddressSanitizer sees a write past them. The text is loaded
// once and asked as read_profile_string asks each file it loads.
#include "log/rl_log.h"
#include "upgrader/inifile.h"

#include "fuzz_root.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

char g_buffer[INI_TEXT_MAX + 1];

// Names as the text spells them: "[...]" after a line start and "...=" on
// a line, a few of each.
void names_in(const std::string &text, std::vector<std::string> *sections,
              std::vector<std::string> *keys)
{
    size_t line = 0;
    while (line < text.size() && sections->size() + keys->size() < 8) {
        size_t end = text.find_first_of("\r\n", line);
        if (end == std::string::npos)
            end = text.size();
        const std::string l = text.substr(line, end - line);
        if (!l.empty() && l[0] == '[' && sections->size() < 4) {
            const size_t close = l.find(']');
            sections->push_back(str_trim(
                l.substr(1, close == std::string::npos ? std::string::npos : close - 1).data()));
        } else if (l.find('=') != std::string::npos && keys->size() < 4) {
            std::string key = l.substr(0, l.find('='));
            keys->push_back(str_trim(key.data()));
        }
        line = end + 1;
    }
}

void check_scan(const char *section, const char *key, const char *text)
{
    int ss, se, ks, ke, vs, ve;
    const int len = static_cast<int>(strlen(text));
    if (parse_file(section, key, text, &ss, &se, &ks, &ke, &vs, &ve) == 1) {
        // key_end is the key's last character, so an empty key ends before it starts.
        if (!(0 < ss && ss <= se && se <= ks && ks <= ke + 1 && text[ke + 1] == '=' &&
              vs == ke + 2 && vs <= ve && ve <= len && (text[ve] == '\0' || newline(text[ve]))))
            abort(); // positions outside the text or out of order
    } else if (ss != -1 || se != -1 || ks != -1 || ke != -1 || vs != -1 || ve != -1) {
        abort();
    }
}

void ask(const char *section, const char *key, const char *text, bool small_buffers)
{
    check_scan(section, key, text);
    for (int size : {100, 8, 2, 1}) {
        if (size < 100 && !small_buffers)
            break;
        std::unique_ptr<char[]> value(new char[size]);
        // Found or not, the value must come back terminated.
        (void)read_profile_text(section, key, value.get(), size, "default", text);
        if (memchr(value.get(), '\0', size) == nullptr)
            abort(); // value left unterminated
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // What load_ini_file makes of a file: cut at INI_TEXT_MAX or 0xFF,
    // scanned up to the first NUL.
    FILE *f = fuzzroot::stream(data, size);
    int stored = -1;
    load_ini_stream(f, g_buffer, &stored);
    fclose(f);
    if (stored < 0 || stored > INI_TEXT_MAX || static_cast<size_t>(stored) > size)
        abort();
    // Sized to the text, so that AddressSanitizer sees a read past its end.
    const std::string text(g_buffer, strnlen(g_buffer, stored));

    // Every question scans the whole text: the small value buffers are
    // tried on the first names the text brings along only.
    std::vector<std::string> sections = {"Version", "mtd"};
    std::vector<std::string> keys = {"RomVersion", "mtd3"};
    names_in(text, &sections, &keys);
    for (size_t s = 0; s < sections.size(); ++s)
        for (size_t k = 0; k < keys.size(); ++k)
            ask(sections[s].c_str(), keys[k].c_str(), text.c_str(), s == 2 && k == 2);
    return 0;
}
