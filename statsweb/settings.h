// SPDX-License-Identifier: Apache-2.0
// What the operator told statsweb about the server whose data file it shows (its name and the
// time zone in which that server keeps its clock) and about the answers' resources (how long a
// changed file must rest before it is read, how much memory answers may hold). Set once by
// main() before the first request.
#ifndef STATSWEB_SETTINGS_H
#define STATSWEB_SETTINGS_H

#include <stddef.h>

#include <string>

namespace statsweb {

struct Settings {
    std::string name;           // -n: the server's name (default: this host's name)
    std::string zone;           // -z: IANA zone of the data file's server ("" = this host's zone)
    unsigned settle_ms = 1000;  // -S: a changed file is read once unchanged for this long
    size_t budget_bytes = size_t(256) << 20;  // -M: answers in flight and kept, together
};

Settings &settings();

// This host's name, or "localhost" when it has none.
std::string host_name();

// True when ZONE names a zone this host knows (a file under the zoneinfo folder).
bool known_zone(const std::string &zone);

}  // namespace statsweb

#endif
