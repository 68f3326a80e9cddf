// SPDX-License-Identifier: Apache-2.0
#include "settings.h"

#include <sys/stat.h>
#include <unistd.h>

namespace statsweb {

Settings &settings() {
    static Settings s;
    return s;
}

std::string host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

bool known_zone(const std::string &zone) {
    if (zone.empty() || zone[0] == '/' || zone.find("..") != std::string::npos) return false;
    struct stat st;
    return stat(("/usr/share/zoneinfo/" + zone).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace statsweb
