// SPDX-License-Identifier: Apache-2.0
// statsweb's pure helpers: time conversion, escaping, parameter and address parsing. No store,
// no HTTP; each function depends on its arguments only (and the host's time zone rules).
#ifndef STATSWEB_TEXT_H
#define STATSWEB_TEXT_H

#include <stdint.h>

#include <string>
#include <string_view>

namespace statsweb {

// The UTC instant (seconds since 1970) of a local wall-clock time given as the store keeps it
// (local seconds: the wall clock read as if it were UTC), by the host's time zone rules. A time
// that occurs twice (the repeated hour when daylight saving ends) gives the earlier instant; a
// time that never occurs (the hour skipped when it starts) is read with the offset in force
// before the change, as a clock that had not been moved yet would show it.
int64_t local_to_utc(int64_t local);

// "YYYY-MM-DD HH:MM" of local seconds.
std::string local_date(int64_t local);

// Text escaped for HTML element content and double-quoted attribute values.
void html_escape(std::string &out, std::string_view text);
// The one UTF-8 check: the length of the valid sequence at p (1..4; no overlong form, no
// surrogate, nothing above U+10FFFF) within n > 0 bytes, or 0 when it is not one; and the code
// point of such a sequence.
size_t utf8_length(const unsigned char *p, size_t n);
uint32_t utf8_code_point(const unsigned char *p, size_t len);
// Text as a JSON string literal, quotes included; bytes that are not valid UTF-8 become U+FFFD.
void json_string(std::string &out, std::string_view text);

// A decimal number of 1..10 digits only (no sign, no space) that fits in 32 bits.
bool parse_u32(std::string_view text, uint32_t &value);

// Where to listen: "a.b.c.d:port", "[v6addr]:port" or ":port" (every interface).
struct ListenAddress {
    int family = 0;    // AF_INET, AF_INET6, or 0 for every interface
    std::string host;  // the address as written, without brackets; "" for every interface
    uint16_t port = 0;
};
bool parse_listen(std::string_view text, ListenAddress &out);

// Constant-time comparison: the time depends on the length of secret only.
bool same_secret(std::string_view given, std::string_view secret);

}  // namespace statsweb

#endif
