// SPDX-License-Identifier: Apache-2.0
// statsweb's content negotiation and gzip compression.
#include "encoding.h"

#include <stdlib.h>
#include <strings.h>
#include <zlib.h>

namespace statsweb {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool same_word(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The q parameter of one element's parameters ("; version=1.0.0; q=0.5"), 1 when absent.
double quality_of(std::string_view params) {
    while (!params.empty()) {
        const size_t semi = params.find(';');
        std::string_view p = trim(params.substr(0, semi));
        params.remove_prefix(semi == params.npos ? params.size() : semi + 1);
        if (p.size() >= 2 && (p[0] == 'q' || p[0] == 'Q') && p[1] == '=') {
            const std::string v(trim(p.substr(2)));
            char *end = nullptr;
            const double q = strtod(v.c_str(), &end);
            return end != v.c_str() && q >= 0 && q <= 1 ? q : 0;
        }
    }
    return 1;
}

}  // namespace

double accept_quality(std::string_view header, std::string_view token) {
    while (!header.empty()) {
        const size_t comma = header.find(',');
        std::string_view element = header.substr(0, comma);
        header.remove_prefix(comma == header.npos ? header.size() : comma + 1);
        const size_t semi = element.find(';');
        if (!same_word(trim(element.substr(0, semi)), token)) continue;
        return semi == element.npos ? 1 : quality_of(element.substr(semi + 1));
    }
    return -1;
}

bool wants_openmetrics(std::string_view accept) {
    const double om = accept_quality(accept, "application/openmetrics-text");
    return om > 0 && om >= accept_quality(accept, "text/plain");
}

bool accepts_gzip(std::string_view accept_encoding) {
    const double q = accept_quality(accept_encoding, "gzip");
    return q > 0 || (q < 0 && accept_quality(accept_encoding, "*") > 0);
}

std::string gzip(std::string_view bytes, int level) {
    z_stream z = {};
    // Window bits 15 + 16: the gzip wrapper instead of zlib's.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&z, uLong(bytes.size())), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
    z.avail_in = uInt(bytes.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

}  // namespace statsweb
