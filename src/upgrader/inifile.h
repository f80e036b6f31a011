// INI-style text files: one key of one section of one file per call.
//
// No cache and no state: every read_profile_string loads and scans the whole
// file again. Nothing is logged. File names are used as given; callers that
// name platform files resolve them first (platform_path).
//
// Text rules, shared by the scanner and its callers:
// - A line starts at index 0 or after '\n' or '\r', so "\r\n" ends a line
//   and then forms an empty one.
// - '[' at a line start opens a section; its name runs to the next ']' (or
//   to the end of the text, across line ends) and is compared, with spaces
//   and tabs trimmed, exactly and case-sensitively.
// - ';' as the first character of a line makes a comment; anywhere else it
//   is plain text (so "  ;k=5" has the key ";k", and "k=5 ;x" the value
//   "5 ;x").
// - In a section, a line with '=' is a key line: key before the first '=',
//   value after it up to the line end, both trimmed of spaces and tabs.
// - A section name may repeat; every section of that name is searched.
// - The text ends at the first NUL: a file with a NUL byte inside is read up
//   to that byte only.
#ifndef UPGRADER_INIFILE_H
#define UPGRADER_INIFILE_H

#include <stdio.h>

// A file's text is cut after this many bytes (or at its first 0xFF byte);
// load_ini_file's buffer holds INI_TEXT_MAX + 1 bytes for the terminator.
#define INI_TEXT_MAX 163840

// Copies the value of key in section of file into value (size bytes, NUL
// terminated, cut to size - 1 characters before trimming). Returns 1 when
// found, else 0 with default_value (may be absent) copied, cut likewise.
// Returns 0 at once, value untouched, when section, key, value or file is
// absent. With size <= 0 nothing is written to value; the result still
// tells whether the key was found.
[[nodiscard]] int read_profile_string(const char *section, const char *key, char *value, int size,
                        const char *default_value, const char *file);

// read_profile_string over text already loaded (NUL-terminated, as
// load_ini_file leaves it), for a caller that asks one file for several keys
// or has the text in memory; an absent text reads as an unreadable file.
[[nodiscard]] int read_profile_text(const char *section, const char *key, char *value, int size,
                                    const char *default_value, const char *text);

// Reads file into buffer (INI_TEXT_MAX + 1 bytes) up to end of file, the
// first 0xFF byte or INI_TEXT_MAX bytes, and terminates it. *file_size is set
// to 0 first, then to the bytes stored (NUL bytes from the file included).
// Returns 1, or 0 when file or buffer is absent or the file cannot be opened.
// file_size may be absent.
[[nodiscard]] int load_ini_file(const char *file, char *buffer, int *file_size);
// load_ini_file's reading of an open file fp (left open), which cannot fail.
void load_ini_stream(FILE *fp, char *buffer, int *file_size);

// Scans NUL-terminated text for key in section. On success returns 1 and
// sets: section_start (just after '['), section_end (first non-white-space
// after ']'), key_start (key line's first character), key_end (just before
// '='), value_start (just after '='), value_end (the '\n', '\r' or NUL that
// ends the line). Otherwise returns 0 with all six at -1; when text, section
// or key is absent they are left alone. Any output may be absent.
[[nodiscard]] int parse_file(const char *section, const char *key, const char *text, int *section_start,
               int *section_end, int *key_start, int *key_end, int *value_start, int *value_end);

// Removes leading and trailing spaces and tabs in place, the kept characters
// moved to the front. Returns s (absent stays absent).
char *str_trim(char *s);

// Copies the first min(n, strlen(src)) characters of src to dst and
// terminates it; n < 0 counts as 0, an absent src as "". Returns dst; dst
// must hold that many characters plus one (an absent dst copies nothing).
char *str_left(char *dst, const char *src, int n);

// 1 when c is '\n' or '\r', else 0.
int newline(char c);
// 1 when c is NUL, else 0.
int end_of_string(char c);
// 1 when c is '[', else 0.
int left_barce(char c);
// 1 when c is ']', else 0.
int isright_brace(char c);

#endif
