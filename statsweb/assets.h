// SPDX-License-Identifier: Apache-2.0
// The page's script and style sheet, built into the program from statsweb/ and third_party/
// (generated into assets.cpp by statsweb/embed.cmake at build time).
#ifndef STATSWEB_ASSETS_H
#define STATSWEB_ASSETS_H

#include <stddef.h>

#include <string_view>

namespace statsweb {

struct Asset {
    const char *path;  // "/statsweb.js"
    const char *content_type;
    const unsigned char *data;
    size_t size;
};

// The asset served at a path, or null.
const Asset *find_asset(std::string_view path);

}  // namespace statsweb

#endif
