#include "upgrader/inifile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace
{

int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// White space skipped after a section's ']'. Spelled out rather than
// isspace(): plain char is signed here, and the locale must not matter.
int is_white(char c)
{
    return is_blank(c) || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void put(int *out, int v)
{
    if (out != nullptr)
        *out = v;
}

// Compares text[begin, end), trimmed of spaces and tabs, with name. Done in
// place so that a scan needs no memory of its own and cannot fail midway.
bool trimmed_equals(const char *text, int begin, int end, const char *name)
{
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    size_t len = static_cast<size_t>(end - begin);
    return strlen(name) == len && memcmp(text + begin, name, len) == 0;
}

// Searches one section body starting at *pos, the first non-white-space after
// its ']'. The body ends at the end of the text or at '[' that starts a line;
// *pos is left there so the caller resumes its scan at that header. Returns
// the index of the matching line's '=' or -1; on success *line_end is set.
int find_key(const char *text, const char *key, int *pos, int *line_end)
{
    int p = *pos;
    // p > 0 here (the header's '[' lies before it), so text[p - 1] exists.
    while (!end_of_string(text[p]) && !(left_barce(text[p]) && newline(text[p - 1]))) {
        int end = p;
        while (!end_of_string(text[end]) && !newline(text[end]))
            ++end;
        if (text[p] != ';') {
            int eq = p;
            while (eq < end && text[eq] != '=')
                ++eq;
            // eq == p: a line that begins with '=' names no key.
            if (eq < end && eq > p && trimmed_equals(text, p, eq, key)) {
                *pos = p;
                *line_end = end;
                return eq;
            }
        }
        p = newline(text[end]) ? end + 1 : end;
    }
    *pos = p;
    return -1;
}

// Frees the text buffer on every return path of read_profile_string.
struct FreeText {
    void operator()(char *p) const { free(p); }
};

} // namespace

int newline(char c)
{
    return c == '\n' || c == '\r';
}

int end_of_string(char c)
{
    return c == '\0';
}

int left_barce(char c)
{
    return c == '[';
}

int isright_brace(char c)
{
    return c == ']';
}

char *str_trim(char *s)
{
    if (s == nullptr)
        return nullptr;
    size_t begin = 0;
    while (is_blank(s[begin]))
        ++begin;
    size_t end = begin + strlen(s + begin);
    while (end > begin && is_blank(s[end - 1]))
        --end;
    memmove(s, s + begin, end - begin);
    s[end - begin] = '\0';
    return s;
}

char *str_left(char *dst, const char *src, int n)
{
    if (dst == nullptr)
        return nullptr;
    size_t len = 0;
    if (src != nullptr && n > 0) {
        // Bounded by n: only the characters copied are ever read.
        while (len < static_cast<size_t>(n) && src[len] != '\0')
            ++len;
        memmove(dst, src, len);
    }
    dst[len] = '\0';
    return dst;
}

int load_ini_file(const char *file, char *buffer, int *file_size)
{
    put(file_size, 0);
    if (file == nullptr || buffer == nullptr)
        return 0;
    FILE *fp = fopen(file, "r");
    if (fp == nullptr)
        return 0;
    load_ini_stream(fp, buffer, file_size);
    fclose(fp);
    return 1;
}

void load_ini_stream(FILE *fp, char *buffer, int *file_size)
{
    int n = 0;
    int c;
    // 0xFF ends the text: erased flash reads as 0xFF, so a file copied from a
    // partition carries it after its last written byte.
    while (n < INI_TEXT_MAX && (c = getc(fp)) != EOF && c != 0xFF)
        buffer[n++] = static_cast<char>(c);
    buffer[n] = '\0';
    put(file_size, n);
}

int parse_file(const char *section, const char *key, const char *text, int *section_start,
               int *section_end, int *key_start, int *key_end, int *value_start, int *value_end)
{
    if (section == nullptr || key == nullptr || text == nullptr)
        return 0;
    int *outs[] = {section_start, section_end, key_start, key_end, value_start, value_end};
    for (int *out : outs)
        put(out, -1);

    int i = 0;
    while (!end_of_string(text[i])) {
        bool line_start = i == 0 || newline(text[i - 1]);
        if (!line_start || !left_barce(text[i])) {
            ++i;
            continue;
        }
        int name = i + 1;
        int close = name;
        while (!end_of_string(text[close]) && !isright_brace(text[close]))
            ++close;
        if (!trimmed_equals(text, name, close, section) || end_of_string(text[close])) {
            // A header cut off by the end of the text has no body to search.
            i = close;
            continue;
        }
        int body = close + 1;
        while (is_white(text[body]))
            ++body;
        int pos = body;
        int line_end = -1;
        int eq = find_key(text, key, &pos, &line_end);
        if (eq >= 0) {
            put(section_start, name);
            put(section_end, body);
            put(key_start, pos);
            put(key_end, eq - 1);
            put(value_start, eq + 1);
            put(value_end, line_end);
            return 1;
        }
        // Not in this section: a later one of the same name may hold it.
        i = pos;
    }
    return 0;
}

int read_profile_string(const char *section, const char *key, char *value, int size,
                        const char *default_value, const char *file)
{
    if (section == nullptr || key == nullptr || value == nullptr || file == nullptr)
        return 0;
    // The text goes on the heap, not the stack: 160 KiB would overrun the
    // small stacks of the phone's threads without any warning, whereas a
    // failed allocation is seen here and ends like an unreadable file.
    // calloc also gives the cleared buffer the text is loaded into.
    std::unique_ptr<char, FreeText> text(static_cast<char *>(calloc(INI_TEXT_MAX + 1, 1)));
    if (text != nullptr && !load_ini_file(file, text.get(), nullptr))
        text.reset();
    return read_profile_text(section, key, value, size, default_value, text.get());
}

int read_profile_text(const char *section, const char *key, char *value, int size,
                      const char *default_value, const char *text)
{
    if (section == nullptr || key == nullptr || value == nullptr)
        return 0;
    int begin = -1;
    int end = -1;
    if (text != nullptr &&
        parse_file(section, key, text, nullptr, nullptr, nullptr, nullptr, &begin, &end)) {
        if (size > 0) {
            int n = end - begin;
            if (n > size - 1)
                n = size - 1;
            memset(value, 0, static_cast<size_t>(size));
            memcpy(value, text + begin, static_cast<size_t>(n));
            str_trim(value);
        }
        return 1;
    }
    if (default_value != nullptr && size > 0)
        str_left(value, default_value, size - 1);
    return 0;
}
