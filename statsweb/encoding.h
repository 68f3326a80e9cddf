// SPDX-License-Identifier: Apache-2.0
// statsweb's content negotiation and compression: which format and coding a client takes
// (Accept, Accept-Encoding), and the gzip member of an answer. No store, no HTTP connection.
#ifndef STATSWEB_ENCODING_H
#define STATSWEB_ENCODING_H

#include <string>
#include <string_view>

namespace statsweb {

// The quality (0..1) that an Accept or Accept-Encoding header gives `token` (a media type or a
// content coding, compared without letter case), or -1 when the header does not list it.
double accept_quality(std::string_view header, std::string_view token);

// OpenMetrics rather than the text format: the Accept header lists application/openmetrics-text
// with a quality above 0 and not below that of text/plain.
bool wants_openmetrics(std::string_view accept);

// The client takes gzip: Accept-Encoding lists gzip (or, without it, *) with a quality above 0.
bool accepts_gzip(std::string_view accept_encoding);

// The bytes as one gzip member (RFC 1952); level is zlib's, 1 (fast) to 9 (small).
std::string gzip(std::string_view bytes, int level);

}  // namespace statsweb

#endif
