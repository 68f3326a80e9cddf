// The HTML page: the data file, its newest minute, a form to choose fields and range, and a
// grid of chart images, each linking to its table. No script and no external assets.
#ifndef STATSWEB_PAGE_H
#define STATSWEB_PAGE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace statsweb {

struct PageData {
    std::string path;
    bool loaded = false;
    std::string message;          // the last load's message, "" after a good load
    uint32_t newest = 0;          // local seconds of the newest minute
    std::vector<int32_t> fields;  // chart types, ending with -1
    uint32_t range = 0;
};

std::string page_html(const PageData &p);

}  // namespace statsweb

#endif
