// SPDX-License-Identifier: Apache-2.0
// The chart-file writer: one PNG file per field of the list, named from the file name given and
// the field's name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "statsdump.h"
#include "statsdump_priv.h"
#include "strerr.h"

namespace statsdump {

bool genpng(const int32_t *stats, uint32_t range, const char *fname, uint32_t width,
            uint32_t height) {
    bool ok = true;
    const size_t fnameleng = strlen(fname);
    // The extension is the part of the last path component from its last "."; a component
    // that starts with its only "." (".png") has none.
    const char *slash = strrchr(fname, '/');
    const size_t basepos = slash != nullptr ? size_t(slash - fname) + 1 : 0;
    const char *dot = strrchr(fname + basepos, '.');
    const size_t dotpos =
        (dot != nullptr && size_t(dot - fname) > basepos) ? size_t(dot - fname) : fnameleng;
    const char *ext = dotpos < fnameleng ? fname + dotpos : ".png";

    for (const int32_t *s = stats; *s >= 0; s++) {
        const FieldInfo info = field_info(*s);
        if (info.name == nullptr) continue;
        const uint32_t pngsize = charts_make_png(uint32_t(*s) * 10 + range, width, height);
        uint8_t *png = static_cast<uint8_t *>(checked_malloc(pngsize, "pngbuff"));
        charts_get_png(png);

        const size_t namelen = strlen(info.name);
        const size_t extlen = strlen(ext);
        char *outname =
            static_cast<char *>(checked_malloc(dotpos + 1 + namelen + extlen + 1, "outname"));
        memcpy(outname, fname, dotpos);
        outname[dotpos] = '_';
        memcpy(outname + dotpos + 1, info.name, namelen);
        memcpy(outname + dotpos + 1 + namelen, ext, extlen + 1);

        // Non-blocking, so that a FIFO of that name without a reader fails at once (ENXIO)
        // instead of stalling the tool; regular files do not notice.
        const int fd = open(outname, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
        if (fd < 0) {
            fprintf(stderr, "can't create output file %s: %s\n", fname, strerr(errno));
            ok = false;
        } else {
            errno = 0;
            const ssize_t written = write(fd, png, pngsize);
            if (written != ssize_t(pngsize)) {
                // A short write without an error is a full disk.
                if (written >= 0) errno = ENOSPC;
                fprintf(stderr, "can't write output file %s: %s\n", fname, strerr(errno));
                close(fd);
                ok = false;
            } else if (close(fd) < 0) {
                fprintf(stderr, "can't close output file %s: %s\n", fname, strerr(errno));
                ok = false;
            }
        }
        free(outname);
        free(png);
    }
    return ok;
}

}  // namespace statsdump

extern "C" {

void statsdump_genpng(const int32_t *stats, uint32_t range, const char *fname, uint32_t width,
                      uint32_t height) {
    statsdump::genpng(stats, range, fname, width, height);
}

int statsdump_genpng_checked(const int32_t *stats, uint32_t range, const char *fname,
                             uint32_t width, uint32_t height) {
    return statsdump::genpng(stats, range, fname, width, height) ? 0 : -1;
}

}  // extern "C"
