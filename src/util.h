// Small helpers shared across the agent.
#pragma once

#include "handles.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct url_info {
    char proto[32];
    char host[256];
    int32_t port;
    char path[256];
};

// Names the calling thread (Linux keeps the first 15 characters).
void set_thread_name(const char* name);

// Splits "scheme://host[:port][/path][?query]". Returns 0, or -1 when the text is not a URL.
int parse_url(const char* url, url_info* info);

// Default port of a scheme: 443 for "https"/"wss", 80 otherwise.
int proto_to_port(const char* proto);

// "aa:bb:cc:dd:ee:ff" into `buf` (at least 18 characters); returns `buf`.
char* ether_to_str(const uint8_t mac[6], char* buf);

// Dotted quad of an address stored in network byte order into `buf` (at least 16
// characters); returns `buf`.
char* inet_to_str(uint32_t addr, char* buf);

// Lower-case hex of `n` bytes into `buf` (at least 2n + 1 characters); returns `buf`.
char* util_hex(const void* data, size_t n, char* buf);
char* bin_to_hex(const void* data, size_t n, char* buf);

// Copies `text` with every non-overlapping `sub` replaced by `rep`, left to right.
// Returns nullptr (and logs) when `sub` is empty.
std::unique_ptr<char[]> str_replace(const char* text, const char* sub, const char* rep);

// Copies at most size - 1 bytes, never ending inside a UTF-8 sequence, and always terminates.
void copy_text(char* dest, size_t size, const char* src);
template <size_t N> void copy_text(char (&dest)[N], const char* src) {
    copy_text(dest, N, src);
}

// A JSON text from bytes that should be UTF-8 but may not be: rather than lose the whole
// value, bytes of a text that is not valid UTF-8 beyond ASCII become '?'.
json_ptr json_string_lossy(std::string text);

// The number at the start of `text` as atoi reads it (white space, sign, digits; 0 when there
// are none), clamped to the int32 range instead of overflowing.
int32_t leading_int(const char* text);
