#include "util.h"

#include "log.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void set_thread_name(const char* name) {
    prctl(PR_SET_NAME, name, 0, 0, 0);
}

void copy_text(char* dest, size_t size, const char* src) {
    size_t length = strnlen(src, size - 1);
    // Never half a UTF-8 sequence: the JSON library refuses such a text, so a cut API key
    // could be neither saved nor sent.
    while (length > 0 && (static_cast<unsigned char>(src[length]) & 0xC0) == 0x80) {
        length--;
    }
    memcpy(dest, src, length);
    dest[length] = '\0';
}

int proto_to_port(const char* proto) {
    if (strncmp(proto, "https", 5) == 0 || strncmp(proto, "wss", 3) == 0) {
        return 443;
    }
    return 80;
}

int parse_url(const char* url, url_info* info) {
    *info = url_info{};
    const char* separator = strstr(url, "://");
    if (separator == nullptr || separator == url) {
        return -1;
    }
    char copy[256];
    copy_text(copy, url);

    char* colon = strchr(copy, ':');
    if (colon == nullptr) {
        return -1; // "://" was cut off by the 255-character limit
    }
    *colon = '\0';
    copy_text(info->proto, copy);

    char* authority = colon + 1;
    while (*authority == '/') {
        authority++;
    }
    char* slash = strchr(authority, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
    if (*authority == '\0') {
        return -1;
    }
    char* port = strchr(authority, ':');
    if (port != nullptr) {
        *port++ = '\0';
    }
    if (*authority == '\0') {
        return -1;
    }
    copy_text(info->host, authority);
    info->port = port != nullptr ? atoi(port) : proto_to_port(info->proto);

    info->path[0] = '/';
    if (slash != nullptr) {
        char* rest = slash + 1;
        rest[strcspn(rest, "?")] = '\0';
        copy_text(info->path + 1, sizeof(info->path) - 1, rest);
    }
    return 0;
}

char* ether_to_str(const uint8_t mac[6], char* buf) {
    snprintf(buf, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
    return buf;
}

char* inet_to_str(uint32_t addr, char* buf) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&addr);
    snprintf(buf, 16, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return buf;
}

char* bin_to_hex(const void* data, size_t n, char* buf) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; i++) {
        buf[2 * i] = digits[bytes[i] >> 4];
        buf[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    buf[2 * n] = '\0';
    return buf;
}

char* util_hex(const void* data, size_t n, char* buf) {
    assert(data != nullptr && buf != nullptr);
    return bin_to_hex(data, n, buf);
}

std::unique_ptr<char[]> str_replace(const char* text, const char* sub, const char* rep) {
    size_t sub_length = strlen(sub);
    if (sub_length == 0) {
        LOG_ERROR("Substring can't be empty!");
        return nullptr;
    }
    size_t rep_length = strlen(rep);
    size_t count = 0;
    for (const char* p = strstr(text, sub); p != nullptr; p = strstr(p + sub_length, sub)) {
        count++;
    }
    size_t size = strlen(text) - count * sub_length + count * rep_length + 1;
    std::unique_ptr<char[]> result(new (std::nothrow) char[size]);
    if (!result) {
        LOG_ERROR("Failed to allocate memory for string");
        log_exit(1);
    }
    char* out = result.get();
    for (const char* p = text;;) {
        const char* hit = strstr(p, sub);
        if (hit == nullptr) {
            strcpy(out, p);
            break;
        }
        memcpy(out, p, static_cast<size_t>(hit - p));
        out += hit - p;
        memcpy(out, rep, rep_length);
        out += rep_length;
        p = hit + sub_length;
    }
    return result;
}

json_ptr json_string_lossy(std::string text) {
    json_ptr value(json_stringn(text.data(), text.size()));
    if (!value) {
        std::replace_if(
            text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; },
            '?');
        value.reset(json_stringn(text.data(), text.size()));
    }
    return value;
}

int32_t leading_int(const char* text) {
    long long value = strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}
