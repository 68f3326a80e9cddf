// SPDX-License-Identifier: Apache-2.0
// The charts data file: charts_store writes the whole store (header, then one record of four
// rings per base statistic, every ring oldest entry first), charts_load reads it back so that
// the newest entry of every ring lands at ring index 4095.
//
// A save never touches the data file itself: the store goes to "<data file>.tmp" beside it
// (beside the target when the data file is a symbolic link), is forced to disk and then renamed
// over the data file, so a failed or interrupted save leaves the previous history whole; the
// directory is forced to disk last, so the renamed entry survives a crash as well.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <bit>
#include <limits>

#include "charts_priv.h"
#include "cpu.h"
#include "datapack.h"
#include "strerr.h"

namespace charts {
namespace {

constexpr char kTmpSuffix[] = ".tmp";
constexpr int kMaxLinkHops = 40;  // symbolic links followed before giving up with ELOOP

// One ring entry between memory order and the file's big-endian order (either direction).
inline uint64_t swap_entry(uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        return __builtin_bswap64(v);
    } else {
        return v;
    }
}

#if ZELCOMMON_X86_VECTORS
// Four entries at a time, the bytes of each reversed by one shuffle.
__attribute__((target("avx2"))) void swap_entries_avx2(uint64_t *dst, const uint64_t *src,
                                                       uint32_t n) {
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const uint64_t *const end = src + n;
    for (const uint64_t *const end4 = src + (n & ~3U); src != end4; src += 4, dst += 4) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_shuffle_epi8(x, reverse));
    }
    for (; src != end; src++, dst++) *dst = swap_entry(*src);
}
#endif

// n entries from src to dst (the same place, or blocks that do not overlap), swapped.
void swap_entries(uint64_t *dst, const uint64_t *src, uint32_t n) {
#if ZELCOMMON_X86_VECTORS
    if constexpr (std::endian::native == std::endian::little) {
        if (zelcommon::has_avx2()) return swap_entries_avx2(dst, src, n);
    }
#endif
    // Unrolled: the loop's own count and branch were half of its instructions.
#pragma GCC unroll 4
    for (uint32_t s = 0; s < n; s++) dst[s] = swap_entry(src[s]);
}

// Staging buffer of one ring: the file's entries in file order, still big-endian.
struct alignas(64) RingBuffer {
    uint64_t e[kRingLength];
};

// Range r's ring of one statistic in file order: entry k from ring index pointers[r] + 1 + k,
// so the oldest slot comes first and the newest last.
void ring_to_file(RingBuffer &out, const uint64_t *ring, uint32_t newest) {
    const uint32_t oldest = (newest + 1) & kRingMask;
    const uint32_t head = kRingLength - oldest;
    swap_entries(out.e, ring + oldest, head);
    swap_entries(out.e + head, ring, oldest);
}

// cnt file entries (the newest cnt of a ring) into ring indices 4096 - cnt .. 4095.
void file_to_ring(uint64_t *ring, const RingBuffer &in, uint32_t cnt) {
    swap_entries(ring + (kRingLength - cnt), in.e, cnt);
}

// The file that a save replaces: the data file, or the final target of its symbolic links
// (a relative link target counts from the link's directory). Returns 0, or -1 with errno set.
int resolve_target(char (&path)[PATH_MAX]) {
    const char *name = g.statsfilename;
    size_t len = strlen(name);
    if (len >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(path, name, len + 1);
    for (int hop = 0; hop < kMaxLinkHops; hop++) {
        char link[PATH_MAX];
        ssize_t n = g.fileops->readlink(path, link, sizeof link);
        if (n < 0) return 0;  // not a link (or not there yet): this is the file
        if ((size_t)n >= sizeof link) {
            errno = ENAMETOOLONG;
            return -1;
        }
        size_t dirlen = 0;
        if (link[0] != '/') {
            const char *slash = strrchr(path, '/');
            dirlen = slash != nullptr ? (size_t)(slash - path) + 1 : 0;
        }
        if (dirlen + (size_t)n >= sizeof path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(path + dirlen, link, (size_t)n);
        path[dirlen + (size_t)n] = '\0';
    }
    errno = ELOOP;
    return -1;
}

// One whole transfer to the temporary file; a regular file takes less than asked only when the
// device or the file size limit is exhausted, which is reported as a full device.
bool write_all(int fd, const void *buf, size_t count) {
    ssize_t n = g.fileops->write(fd, buf, count);
    if (n == (ssize_t)count) return true;
    if (n >= 0) errno = ENOSPC;
    return false;
}

void save_warning(const char *msg) {
    zel_log(ZEL_LOGMODE_ERRNO | ZEL_LOGMODE_STDERR, ZEL_LOG_WARNING, "%s", msg);
}

// Drops the unfinished temporary file and reports the failure with the error that caused it.
void abandon_save(int fd, const char *tmppath, const char *msg) {
    int err = errno;
    if (fd >= 0) g.fileops->close(fd);
    g.fileops->unlink(tmppath);
    errno = err;
    save_warning(msg);
}

// Forces the directory entry of a finished save to disk, so that a crash after the rename
// cannot bring the previous file back. The new file is in place either way, so a failure is
// only reported. Returns 0, or -1 with errno set.
int sync_directory(const char *target) {
    char dir[PATH_MAX];
    const char *slash = strrchr(target, '/');
    if (slash == nullptr) {
        strcpy(dir, ".");
    } else {
        size_t dirlen = slash == target ? 1 : (size_t)(slash - target);  // "/name" lives in "/"
        memcpy(dir, target, dirlen);
        dir[dirlen] = '\0';
    }
    int fd = g.fileops->open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc = g.fileops->fsync(fd);
    int err = errno;
    if (g.fileops->close(fd) < 0 && rc == 0) return -1;
    errno = err;
    return rc;
}

// Header and records of the whole store; false on the first incomplete write.
bool write_store(int fd) {
    load_all_rings();
    uint8_t hdr[kFileHeaderSize];
    uint8_t *p = hdr;
    put32bit(&p, kFileTag);
    put32bit(&p, kRingLength);
    put32bit(&p, g.statdefscount);
    put32bit(&p, g.timepoint[0]);
    if (!write_all(fd, hdr, sizeof hdr)) return false;

    RingBuffer buf;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        uint8_t namefield[kFileNameSize] = {};
        memcpy(namefield, g.statdefs[i].name, strnlen(g.statdefs[i].name, kFileNameSize));
        if (!write_all(fd, namefield, sizeof namefield)) return false;
        for (uint32_t r = 0; r < kRanges; r++) {
            ring_to_file(buf, g.series[i][r], g.pointers[r]);
            if (!write_all(fd, buf.e, kRingBytes)) return false;
        }
    }
    return true;
}

// Moves the file position forward by bytes; false (errno set) when the position cannot be
// represented or reached, so a damaged length never leaves the reader at a wrong offset.
bool skip_forward(int fd, uint64_t bytes) {
    if (bytes > (uint64_t)std::numeric_limits<off_t>::max()) {
        errno = EOVERFLOW;
        return false;
    }
    return g.fileops->lseek(fd, (off_t)bytes, SEEK_CUR) >= 0;
}

// Statistic whose name equals the record's name field, or -1.
int32_t find_statistic(const char *name) {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        if (strcmp(g.statdefs[i].name, name) == 0) return (int32_t)i;
    }
    return -1;
}

// Reads one record's four rings into statistic i; false on a short read or failed seek.
// Each ring is converted only after its read succeeded, so a failed read keeps the old ring.
bool read_rings(int fd, uint32_t i, uint32_t ringleng, RingBuffer &buf) {
    const uint32_t cnt = ringleng < kRingLength ? ringleng : kRingLength;
    const size_t bytes = (size_t)cnt * 8;
    for (uint32_t r = 0; r < kRanges; r++) {
        if (ringleng > kRingLength && !skip_forward(fd, (uint64_t)(ringleng - kRingLength) * 8)) {
            return false;
        }
        if (cnt == 0) continue;
        if (g.fileops->read(fd, buf.e, bytes) != (ssize_t)bytes) return false;
        file_to_ring(g.series[i][r], buf, cnt);
    }
    return true;
}

enum class LoadResult { kOk, kReadError, kBadFormat };

LoadResult read_store(int fd) {
    uint8_t hdr[kFileHeaderSize];
    if (g.fileops->read(fd, hdr, sizeof hdr) != (ssize_t)sizeof hdr) return LoadResult::kReadError;
    const uint8_t *p = hdr;
    if (get32bit(&p) != kFileTag) return LoadResult::kBadFormat;
    const uint32_t ringleng = get32bit(&p);
    const uint32_t chartcount = get32bit(&p);
    g.timepoint[0] = get32bit(&p);
    for (uint32_t r = 0; r < kRanges; r++) g.pointers[r] = kRingMask;

    RingBuffer buf;
    for (uint32_t c = 0; c < chartcount; c++) {
        char name[kFileNameSize + 1];
        if (g.fileops->read(fd, name, kFileNameSize) != (ssize_t)kFileNameSize) {
            return LoadResult::kReadError;
        }
        name[kFileNameSize] = '\0';
        int32_t i = find_statistic(name);
        if (i < 0) {
            if (!skip_forward(fd, (uint64_t)ringleng * 8 * kRanges)) return LoadResult::kReadError;
        } else if (!read_rings(fd, (uint32_t)i, ringleng, buf)) {
            return LoadResult::kReadError;
        }
    }
    return LoadResult::kOk;
}

// Whether the whole-file reader would read this file to its chart count: a regular file whose
// header has the format tag and whose size holds every record the header announces. Then the
// statistics' records are found by their name fields and the file is kept open for reading
// rings on demand. Anything else (another kind of file, another tag, a short file, a read that
// fails) is left to the whole-file reader, with errno as it was.
bool index_file(int fd) {
    const int err = errno;
    struct stat st;
    uint8_t hdr[kFileHeaderSize];
    bool ok = g.fileops->fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              g.fileops->pread(fd, hdr, sizeof hdr, 0) == (ssize_t)sizeof hdr;
    const uint8_t *p = hdr;
    ok = ok && get32bit(&p) == kFileTag;
    if (!ok) {
        errno = err;
        return false;
    }
    const uint32_t ringleng = get32bit(&p);
    const uint32_t chartcount = get32bit(&p);
    const uint32_t newest = get32bit(&p);
    const uint64_t recordsize = kFileNameSize + (uint64_t)ringleng * 8 * kRanges;
    const uint64_t room = (uint64_t)st.st_size - kFileHeaderSize;
    if (st.st_size < (off_t)kFileHeaderSize || chartcount > room / recordsize) {
        errno = err;
        return false;
    }
    if (g.recordpos == nullptr && g.statdefscount > 0) {
        g.recordpos = static_cast<uint64_t *>(malloc(sizeof(uint64_t) * g.statdefscount));
        charts_passert(g.recordpos, "recordpos");
    }
    for (uint32_t i = 0; i < g.statdefscount; i++) g.recordpos[i] = kNoRecord;
    for (uint32_t c = 0; c < chartcount; c++) {
        const uint64_t pos = kFileHeaderSize + (uint64_t)c * recordsize;
        char name[kFileNameSize + 1];
        if (g.fileops->pread(fd, name, kFileNameSize, (off_t)pos) != (ssize_t)kFileNameSize) {
            errno = err;
            return false;
        }
        name[kFileNameSize] = '\0';
        const int32_t i = find_statistic(name);
        if (i >= 0) g.recordpos[i] = pos;  // a later record of the same name wins
    }
    g.ringleng = ringleng;
    g.timepoint[0] = newest;
    for (uint32_t r = 0; r < kRanges; r++) g.pointers[r] = kRingMask;
    g.ringfd = fd;
    detach_rings();
    return true;
}

// A failed load in tool or viewer mode: the tool prints the message and fails, a viewer keeps
// the message and goes on with an empty store.
int tool_load_error(uint8_t mode, const char *fmt, const char *detail) {
    snprintf(g.loadmsg, sizeof g.loadmsg, fmt, detail);
    if (mode != CHARTS_MODE_VIEWER) fprintf(stderr, "%s\n", g.loadmsg);
    return -1;
}

}  // namespace

uint64_t *load_ring(uint32_t i, uint32_t r) {
    uint64_t *ring = ring_in(g.ringblock, i, r);
    const uint32_t cnt = g.ringleng < kRingLength ? g.ringleng : kRingLength;
    const uint64_t pos = g.ringfd >= 0 ? g.recordpos[i] : kNoRecord;
    if (pos == kNoRecord || cnt == 0) {
        memset(ring, 0xFF, kRingBytes);
    } else {
        // The newest cnt entries of the record's ring r into ring indices 4096 - cnt .. 4095.
        uint64_t *dst = ring + (kRingLength - cnt);
        memset(ring, 0xFF, (size_t)(kRingLength - cnt) * 8);
        const uint64_t from =
            pos + kFileNameSize + (uint64_t)g.ringleng * 8 * r + (uint64_t)(g.ringleng - cnt) * 8;
        const size_t bytes = (size_t)cnt * 8;
        const int err = errno;
        size_t got = 0;
        while (got < bytes) {
            const ssize_t n = g.fileops->pread(g.ringfd, reinterpret_cast<char *>(dst) + got,
                                               bytes - got, (off_t)(from + got));
            if (n <= 0 && !(n < 0 && errno == EINTR)) break;
            if (n > 0) got += (size_t)n;
        }
        if (got < bytes) {
            // The file was cut short after it was opened: the ring shows no data.
            memset(ring, 0xFF, kRingBytes);
        } else {
            swap_entries(dst, dst, cnt);
        }
        errno = err;
    }
    g.series[i][r] = ring;
    return ring;
}

void close_ring_file() {
    if (g.ringfd >= 0) g.fileops->close(g.ringfd);
    g.ringfd = -1;
}

}  // namespace charts

using namespace charts;

extern "C" void charts_store(void) {
    char target[PATH_MAX];
    char tmppath[PATH_MAX];
    if (resolve_target(target) < 0) {
        save_warning("error creating charts data file");
        return;
    }
    size_t len = strlen(target);
    if (len + sizeof kTmpSuffix > sizeof tmppath) {
        errno = ENAMETOOLONG;
        save_warning("error creating charts data file");
        return;
    }
    memcpy(tmppath, target, len);
    memcpy(tmppath + len, kTmpSuffix, sizeof kTmpSuffix);

    // A leftover of an interrupted save is replaced by a fresh file, never written through.
    g.fileops->unlink(tmppath);
    int fd = g.fileops->open(tmppath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        save_warning("error creating charts data file");
        return;
    }
    // The replacement keeps the permission bits of the file it replaces.
    struct stat st;
    if (g.fileops->stat(target, &st) == 0) g.fileops->fchmod(fd, st.st_mode & 07777);

    if (!write_store(fd) || g.fileops->fsync(fd) < 0) {
        abandon_save(fd, tmppath, "error writing charts data file");
        return;
    }
    int rc = g.fileops->close(fd);
    if (rc < 0 || g.fileops->rename(tmppath, target) < 0) {
        abandon_save(-1, tmppath, "error writing charts data file");
        return;
    }
    if (sync_directory(target) < 0) save_warning("error writing charts data file");
}

extern "C" int charts_load(uint8_t mode) {
    // Modes other than the tool and the viewer read as a server does.
    const bool tool = mode == CHARTS_MODE_TOOL || mode == CHARTS_MODE_VIEWER;
    g.loadmsg[0] = '\0';
    close_ring_file();
    // Non-blocking, so that a FIFO or a device named as the data file cannot stall the start:
    // it ends in the read-error path like any other file that cannot be read in full.
    int fd = g.fileops->open(g.statsfilename, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (tool) return tool_load_error(mode, "file loading error: %s", strerr(errno));
        if (errno == ENOENT) {
            zel_log(ZEL_LOGMODE_STDERR, ZEL_LOG_NOTICE,
                    "no charts data file - initializing empty charts");
        } else {
            zel_log(ZEL_LOGMODE_ERRNO | ZEL_LOGMODE_STDERR, ZEL_LOG_WARNING,
                    "error reading charts data file");
        }
        return 0;
    }

    if (mode == CHARTS_MODE_TOOL) {
        if (g.ondemand && index_file(fd)) return 0;
        attach_empty_rings();
    }
    // A read that comes up short sets no errno: the file ended before what its header announces.
    errno = 0;
    LoadResult res = read_store(fd);
    int err = errno;
    char ended[64] = "";
    if (res == LoadResult::kReadError && err == 0) {
        struct stat st;
        if (g.fileops->fstat(fd, &st) == 0) {
            snprintf(ended, sizeof ended, "unexpected end of file after %lld bytes",
                     (long long)st.st_size);
        } else {
            snprintf(ended, sizeof ended, "unexpected end of file");
        }
    }
    g.fileops->close(fd);
    errno = err;
    switch (res) {
        case LoadResult::kReadError:
            if (tool) {
                return tool_load_error(mode, "error reading charts data file: %s",
                                       ended[0] != '\0' ? ended : strerr(errno));
            }
            if (ended[0] != '\0') {
                zel_log(ZEL_LOGMODE_STDERR, ZEL_LOG_WARNING, "error reading charts data file: %s",
                        ended);
            } else {
                zel_log(ZEL_LOGMODE_ERRNO | ZEL_LOGMODE_STDERR, ZEL_LOG_WARNING,
                        "error reading charts data file");
            }
            return 0;
        case LoadResult::kBadFormat:
            if (tool) return tool_load_error(mode, "%s", "unrecognized charts data file format");
            zel_log(ZEL_LOGMODE_STDERR, ZEL_LOG_WARNING,
                    "unrecognized charts data file format - initializing empty charts");
            return 0;
        case LoadResult::kOk:
            break;
    }
    if (!tool) zel_log(ZEL_LOGMODE_STDERR, ZEL_LOG_INFO, "stats file has been loaded");
    return 0;
}
