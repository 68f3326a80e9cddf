// SPDX-License-Identifier: Apache-2.0
// statsweb's pure helpers: time conversion, escaping, parameter and address parsing.
#include "text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

namespace statsweb {

namespace {

// Offset of local time from UTC at an instant, in seconds.
int64_t utc_offset(int64_t instant) {
    const time_t t = time_t(instant);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return 0;
    return tm.tm_gmtoff;
}

}  // namespace

int64_t local_to_utc(int64_t local) {
    // Zone offsets change at most once within a day around any instant the rules produce, so
    // the offsets of a day before and a day after are the only ones that can apply.
    const int64_t before = utc_offset(local - 86400);
    const int64_t after = utc_offset(local + 86400);
    const int64_t candidates[2] = {local - before, local - after};
    bool found = false;
    int64_t best = 0;
    for (int64_t t : candidates) {
        if (t + utc_offset(t) != local) continue;
        if (!found || t < best) best = t;
        found = true;
    }
    return found ? best : local - before;
}

std::string local_date(int64_t local) {
    const time_t t = time_t(local);
    struct tm tm;
    char buf[64];
    if (gmtime_r(&t, &tm) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm) == 0) {
        return "-";
    }
    return buf;
}

void html_escape(std::string &out, std::string_view text) {
    for (char c : text) {
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
                out += c;
                break;
        }
    }
}

size_t utf8_length(const unsigned char *p, size_t n) {
    const unsigned c = p[0];
    size_t len;
    uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return 0;
    }
    return len;
}

uint32_t utf8_code_point(const unsigned char *p, size_t len) {
    if (len == 1) return p[0];
    uint32_t cp = p[0] & (0x7F >> len);
    for (size_t i = 1; i < len; i++) cp = (cp << 6) | (p[i] & 0x3F);
    return cp;
}

void json_string(std::string &out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    while (n > 0) {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\', out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00", out += kHex[c >> 4], out += kHex[c & 15];
        } else if (c >= 0x80) {
            const size_t len = utf8_length(p, n);
            if (len == 0) {
                out += "\\ufffd";
                p++, n--;
                continue;
            }
            out.append(reinterpret_cast<const char *>(p), len);
            p += len, n -= len;
            continue;
        } else {
            out += char(c);
        }
        p++, n--;
    }
    out += '"';
}

bool parse_u32(std::string_view text, uint32_t &value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > UINT32_MAX) return false;
    value = uint32_t(v);
    return true;
}

bool parse_listen(std::string_view text, ListenAddress &out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    uint32_t port;
    if (!parse_u32(text.substr(colon + 1), port) || port > 65535) return false;
    std::string_view host = text.substr(0, colon);
    ListenAddress a;
    a.port = uint16_t(port);
    if (host.empty()) {
        out = a;
        return true;
    }
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        a.family = AF_INET6;
        a.host = std::string(host.substr(1, host.size() - 2));
        struct in6_addr a6;
        if (inet_pton(AF_INET6, a.host.c_str(), &a6) != 1) return false;
    } else {
        a.family = AF_INET;
        a.host = std::string(host);
        struct in_addr a4;
        if (inet_pton(AF_INET, a.host.c_str(), &a4) != 1) return false;
    }
    out = a;
    return true;
}

bool same_secret(std::string_view given, std::string_view secret) {
    unsigned diff = given.size() == secret.size() ? 0 : 1;
    for (size_t i = 0; i < secret.size(); i++) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff |= g ^ static_cast<unsigned char>(secret[i]);
    }
    return diff == 0;
}

}  // namespace statsweb
