// SPDX-License-Identifier: Apache-2.0
// The charts data file: its bytes, ring rotation, round trips, lenient and strict loading of
// damaged files, and saves that fail part-way without harming the previous file.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "charts_priv.h"
#include "charts_store_util.h"
#include "statsdump.h"
#include "test_util.h"

using namespace charts;
using zeltest::entry_value;
using zeltest::file_header;
using zeltest::file_record;
using zeltest::StoreFixture;

namespace {

constexpr uint32_t kNewest = 28494157;  // 2024-03-05 14:37 as local minutes
constexpr size_t kRecordSize = kFileNameSize + 4 * kRingBytes;

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Ring values that differ in every statistic, range and slot.
void fill_pattern(uint64_t salt) {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            for (uint32_t s = 0; s < kRingLength; s++) {
                charts::ring(i, r)[s] =
                    (salt << 48) ^ (uint64_t(i) << 40) ^ (uint64_t(r) << 32) ^ (s * 2654435761u);
            }
        }
    }
}

TEST(ChartsStore, HeaderFor48Statistics) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    std::string path = dir.file("csstats.zel");
    zeltest::store_clock_now = 1709645820;
    StoreFixture st(path, 0, statsdump_statdefs, statsdump_estatdefs, statsdump_calcdefs);
    ASSERT_EQ(0, st.rc);
    g.timepoint[0] = 0x01020304;
    charts_store();
    std::string f = zeltest::read_file(path);
    ASSERT_EQ(6296272u, f.size());
    const uint8_t expect[16] = {0, 1, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0x30, 1, 2, 3, 4};
    EXPECT_EQ(std::string((const char *)expect, 16), f.substr(0, 16));
    EXPECT_EQ(std::string("ucpu") + std::string(96, '\0'), f.substr(16, 100));
    EXPECT_EQ(std::string("scpu") + std::string(96, '\0'), f.substr(16 + kRecordSize, 100));
    // A store that never saw a sample is all no-data markers.
    EXPECT_EQ(std::string(kRingBytes, '\xff'), f.substr(16 + 100, kRingBytes));
    EXPECT_EQ(std::vector<std::string>{"csstats.zel"}, dir_entries(dir.path()));
}

// The entries' byte order is turned by the vector loops where the processor has them, and by
// the plain ones: these tests run with each.
class ChartsStoreLoops : public ::testing::TestWithParam<bool> {
  protected:
    zeltest::ScopedLoops loops_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(Loops, ChartsStoreLoops, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "plain" : "vector"; });

TEST_P(ChartsStoreLoops, RingsAreWrittenOldestFirst) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    fill_pattern(1);
    const uint32_t ptrs[kRanges] = {4095, 10, 0, 2048};
    for (uint32_t r = 0; r < kRanges; r++) g.pointers[r] = ptrs[r];
    charts_store();
    std::string f = zeltest::read_file(path);
    ASSERT_EQ(kFileHeaderSize + 3 * kRecordSize, f.size());
    for (uint32_t i = 0; i < 3; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            SCOPED_TRACE(testing::Message() << "stat " << i << " range " << r);
            for (uint32_t k = 0; k < kRingLength; k++) {
                ASSERT_EQ(charts::ring(i, r)[(ptrs[r] + 1 + k) & kRingMask],
                          zeltest::be64_at(f, zeltest::entry_offset(i, r, k)));
            }
        }
    }
    // pointers 4095: no rotation; pointers 10: entry 0 from index 11, entry 4095 from index 10.
    EXPECT_EQ(charts::ring(0, 0)[0], zeltest::be64_at(f, zeltest::entry_offset(0, 0, 0)));
    EXPECT_EQ(charts::ring(0, 1)[11], zeltest::be64_at(f, zeltest::entry_offset(0, 1, 0)));
    EXPECT_EQ(charts::ring(0, 1)[10], zeltest::be64_at(f, zeltest::entry_offset(0, 1, 4095)));
}

TEST_P(ChartsStoreLoops, SaveThenLoadRestoresEveryValue) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    std::vector<uint64_t> saved[3][kRanges];
    const uint32_t ptrs[kRanges] = {17, 4095, 0, 1234};
    {
        StoreFixture st(path, 0);
        ASSERT_EQ(0, st.rc);
        fill_pattern(7);
        charts::ring(1, 2)[5] = CHARTS_NODATA;
        for (uint32_t r = 0; r < kRanges; r++) g.pointers[r] = ptrs[r];
        g.timepoint[0] = kNewest;
        for (uint32_t i = 0; i < 3; i++) {
            for (uint32_t r = 0; r < kRanges; r++) {
                saved[i][r].assign(charts::ring(i, r), charts::ring(i, r) + kRingLength);
            }
        }
        charts_store();
    }
    StoreFixture st(path, 1);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(kNewest, g.timepoint[0]);
    for (uint32_t i = 0; i < 3; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            EXPECT_EQ(4095u, g.pointers[r]);
            for (uint32_t k = 0; k < kRingLength; k++) {
                ASSERT_EQ(saved[i][r][(ptrs[r] - k) & kRingMask], charts::ring(i, r)[4095 - k])
                    << "stat " << i << " range " << r << " age " << k;
            }
        }
    }
}

// Records of any ring length: the newest min(length, 4096) entries end at ring index 4095.
TEST(ChartsLoad, RingLengths) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    for (uint32_t leng : {8192u, 4096u, 103u, 1u, 0u}) {
        SCOPED_TRACE(testing::Message() << "ring length " << leng);
        zeltest::write_file(path, file_header(leng, 2, kNewest) + file_record("gamma", leng, 3) +
                                      file_record("alpha", leng, 1));
        StoreFixture st(path, 1);
        ASSERT_EQ(0, st.rc);
        EXPECT_EQ(kNewest, g.timepoint[0]);
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(1, 0)));
        for (uint32_t i : {0u, 2u}) {
            uint32_t tag = i == 0 ? 1 : 3;
            for (uint32_t r = 0; r < kRanges; r++) {
                EXPECT_EQ(4095u, g.pointers[r]);
                for (uint32_t s = 0; s < kRingLength; s++) {
                    uint64_t expect = CHARTS_NODATA;
                    if (leng >= kRingLength) {
                        expect = entry_value(tag, r, leng - kRingLength + s);
                    } else if (s >= kRingLength - leng) {
                        expect = entry_value(tag, r, s - (kRingLength - leng));
                    }
                    ASSERT_EQ(expect, charts::ring(i, r)[s]) << "stat " << i << " range " << r;
                }
            }
        }
    }
}

TEST(ChartsLoad, UnknownRecordsAreSkippedAndLaterDuplicatesWin) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    std::string longname(120, 'x');
    zeltest::write_file(path, file_header(4096, 5, kNewest) + file_record("nosuch", 4096, 9) +
                                  file_record("alpha", 4096, 1) + file_record(longname, 4096, 8) +
                                  file_record("alpha", 4096, 2) + file_record("Gamma", 4096, 3) +
                                  file_record("beta", 4096, 4));  // beyond the chart count
    StoreFixture st(path, 1);
    ASSERT_EQ(0, st.rc);
    for (uint32_t r = 0; r < kRanges; r++) {
        for (uint32_t s = 0; s < kRingLength; s++) {
            ASSERT_EQ(entry_value(2, r, s), charts::ring(0, r)[s]);
        }
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(1, r)));  // not read: past the count
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(2, r)));  // names compare case-sensitively
    }
}

// The tool reads a ring when it is first asked for, from the file it opened: a save that
// replaces the file (a rename) does not change what it shows, and a file cut short after it was
// opened leaves the rings not read yet empty instead of failing.
TEST(ChartsLoad, ToolReadsRingsOnDemandFromTheFileItOpened) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    zeltest::write_file(path, file_header(4096, 3, kNewest) + file_record("alpha", 4096, 1) +
                                  file_record("beta", 4096, 2) + file_record("gamma", 4096, 3));
    {
        StoreFixture st(path, 1);
        ASSERT_EQ(0, st.rc);
        EXPECT_EQ(entry_value(1, 0, 4095), charts::ring(0, 0)[4095]);
        EXPECT_EQ(nullptr, g.series[1][3]);  // nothing asked for it yet
        zeltest::write_file(path + ".new",
                            file_header(4096, 3, kNewest) + file_record("alpha", 4096, 7) +
                                file_record("beta", 4096, 8) + file_record("gamma", 4096, 9));
        ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
        EXPECT_EQ(entry_value(2, 3, 17), charts::ring(1, 3)[17]);
    }

    const std::string cut = dir.file("cut.zel");
    zeltest::write_file(cut, zeltest::read_file(path));
    StoreFixture again(cut, 1);
    ASSERT_EQ(0, again.rc);
    EXPECT_EQ(entry_value(8, 1, 0), charts::ring(1, 1)[0]);
    ASSERT_EQ(0, truncate(cut.c_str(), kFileHeaderSize + kRecordSize + kFileNameSize + 100));
    for (uint32_t r = 0; r < kRanges; r++) {
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(2, r)));
        if (r != 1) {
            EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(1, r)));
        }
    }
    EXPECT_EQ(entry_value(8, 1, 0), charts::ring(1, 1)[0]);  // read before the cut
    double data[kRingLength];
    uint32_t ts = 0, rsec = 0;
    charts_getdata(data, &ts, &rsec, 2 * 10 + 3);
    EXPECT_EQ(-1.0, data[kRingLength - 1]);
}

TEST(ChartsLoad, ChartCountZero) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    zeltest::write_file(path, file_header(4096, 0, kNewest));
    StoreFixture st(path, 1);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(kNewest, g.timepoint[0]);
    for (uint32_t r = 0; r < kRanges; r++) {
        EXPECT_EQ(4095u, g.pointers[r]);
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(0, r)));
    }
}

TEST(ChartsLoad, ServerModeReportsASuccessfulLoad) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    zeltest::write_file(path, file_header(4096, 1, kNewest) + file_record("beta", 4096, 2));
    zeltest::store_clock_now = kNewest * 60;
    zeltest::CaptureFd err(2);
    StoreFixture st(path, 0);
    std::string text = err.text();
    ASSERT_EQ(0, st.rc);
    EXPECT_NE(std::string::npos, text.find("stats file has been loaded")) << text;
    EXPECT_EQ(entry_value(2, 3, 4095), charts::ring(1, 3)[4095]);
}

// --- Saving without risk to the previous file -------------------------------------------------

// File operations that fail the n-th counted call (open, write, fsync, close, rename) of a save,
// the directory sync after the rename included.
enum class Fault { kShort, kNoSpace, kIo };
struct Injector {
    int calls = 0;
    int fail_at = 0;  // 0: never
    Fault fault = Fault::kIo;
    bool hit() { return ++calls == fail_at; }
    int fail() {
        errno = fault == Fault::kNoSpace ? ENOSPC : EIO;
        return -1;
    }
};
Injector inj;

int f_open(const char *path, int flags, mode_t mode) {
    return inj.hit() ? inj.fail() : kSystemFileOps.open(path, flags, mode);
}
ssize_t f_write(int fd, const void *buf, size_t count) {
    if (!inj.hit()) return kSystemFileOps.write(fd, buf, count);
    if (inj.fault == Fault::kShort) return kSystemFileOps.write(fd, buf, count / 2);
    return inj.fail();
}
int f_fsync(int fd) {
    return inj.hit() ? inj.fail() : kSystemFileOps.fsync(fd);
}
int f_close(int fd) {
    int rc = kSystemFileOps.close(fd);
    return inj.hit() ? inj.fail() : rc;
}
int f_rename(const char *from, const char *to) {
    return inj.hit() ? inj.fail() : kSystemFileOps.rename(from, to);
}

class InjectedOps {
  public:
    InjectedOps() {
        ops_ = kSystemFileOps;
        ops_.open = f_open;
        ops_.write = f_write;
        ops_.fsync = f_fsync;
        ops_.close = f_close;
        ops_.rename = f_rename;
        g.fileops = &ops_;
    }
    ~InjectedOps() { g.fileops = &kSystemFileOps; }

  private:
    FileOps ops_;
};

TEST(ChartsStore, FailedSaveKeepsThePreviousFile) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    fill_pattern(1);
    charts_store();
    const std::string before = zeltest::read_file(path);
    ASSERT_EQ(kFileHeaderSize + 3 * kRecordSize, before.size());
    fill_pattern(2);

    InjectedOps ops;
    inj = Injector{};
    charts_store();  // counts the calls of one whole save
    const int total = inj.calls;
    // open, header, records, fsync, close, rename; then the directory: open, fsync, close
    EXPECT_EQ(1 + 1 + 3 * 5 + 1 + 1 + 1 + 3, total);
    const int renamed_after = total - 3;  // calls past this one come after the rename
    const std::string after = zeltest::read_file(path);
    ASSERT_NE(before, after);
    zeltest::write_file(path, before);

    for (Fault fault : {Fault::kShort, Fault::kNoSpace, Fault::kIo}) {
        for (int n = 1; n <= total; n++) {
            SCOPED_TRACE(testing::Message() << "fault " << int(fault) << " at call " << n);
            inj = Injector{0, n, fault};
            zeltest::CaptureFd err(2);
            charts_store();
            std::string text = err.text();
            if (n > renamed_after) {  // the new file is already in place; only the warning
                ASSERT_EQ(after, zeltest::read_file(path));
                zeltest::write_file(path, before);
            }
            ASSERT_EQ(before, zeltest::read_file(path));
            ASSERT_EQ(std::vector<std::string>{"s.zel"}, dir_entries(dir.path()));
            std::string msg =
                n == 1 ? "error creating charts data file: " : "error writing charts data file: ";
            msg += fault == Fault::kIo ? "EIO" : "ENOSPC";
            if (fault == Fault::kShort && n == 1) msg = "error creating charts data file: EIO";
            bool is_write = n >= 2 && n <= renamed_after - 3;
            if (fault == Fault::kShort && !is_write && n != 1) {
                msg = "error writing charts data file: EIO";
            }
            EXPECT_NE(std::string::npos, text.find(msg)) << text;
            EXPECT_NE(std::string::npos, text.find("\033[1;93m")) << "not a warning: " << text;
        }
    }
    inj = Injector{};
    charts_store();
    EXPECT_EQ(after, zeltest::read_file(path));
    EXPECT_EQ(std::vector<std::string>{"s.zel"}, dir_entries(dir.path()));
}

TEST(ChartsStore, LeftoverTemporaryFileIsReplaced) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    zeltest::write_file(path + ".tmp", "stale");
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    charts_store();
    EXPECT_EQ(kFileHeaderSize + 3 * kRecordSize, zeltest::read_file(path).size());
    EXPECT_EQ(std::vector<std::string>{"s.zel"}, dir_entries(dir.path()));
}

TEST(ChartsStore, ReadOnlyDirectoryKeepsThePreviousFile) {
    zeltest::TempDir dir;
    std::string sub = dir.file("ro");
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    std::string path = sub + "/s.zel";
    zeltest::write_file(path, "previous");
    ASSERT_EQ(0, chmod(sub.c_str(), 0555));
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    auto save = [&] {
        StoreFixture st(path, 0);
        zeltest::CaptureFd err(2);
        charts_store();
        return err.text();
    };
    std::string text;
    if (geteuid() != 0) {
        text = save();
    } else {
        // Root writes anywhere: the save runs in a child as a user whom permissions bind.
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
            const std::string t = save();
            _exit(write(fds[1], t.data(), t.size()) == ssize_t(t.size()) ? 0 : 1);
        }
        close(fds[1]);
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
        close(fds[0]);
        int st = 0;
        waitpid(pid, &st, 0);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
    chmod(sub.c_str(), 0755);
    EXPECT_EQ("previous", zeltest::read_file(path));
    EXPECT_NE(std::string::npos, text.find("error creating charts data file: EACCES")) << text;
    EXPECT_EQ(std::vector<std::string>{"s.zel"}, dir_entries(sub));
}

// Through a symbolic link the target is replaced; the link stays a link.
TEST(ChartsStore, SymbolicLinkIsFollowed) {
    zeltest::TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("data").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.file("links").c_str(), 0755));
    std::string target = dir.file("data/s.zel");
    std::string link = dir.file("links/s.zel");
    std::string hop = dir.file("links/hop.zel");
    zeltest::write_file(target, "previous");
    ASSERT_EQ(0, chmod(target.c_str(), 0640));
    ASSERT_EQ(0, symlink("../data/s.zel", hop.c_str()));  // relative to the link's directory
    ASSERT_EQ(0, symlink(hop.c_str(), link.c_str()));
    StoreFixture st(link, 0);
    ASSERT_EQ(0, st.rc);
    charts_store();
    std::string f = zeltest::read_file(target);
    EXPECT_EQ(kFileHeaderSize + 3 * kRecordSize, f.size());
    struct stat sb;
    ASSERT_EQ(0, lstat(link.c_str(), &sb));
    EXPECT_TRUE(S_ISLNK(sb.st_mode));
    ASSERT_EQ(0, lstat(target.c_str(), &sb));
    EXPECT_TRUE(S_ISREG(sb.st_mode));
    EXPECT_EQ(0640u, sb.st_mode & 07777);  // the replaced file's permission bits are kept
    EXPECT_EQ((std::vector<std::string>{"s.zel"}), dir_entries(dir.file("data")));
    EXPECT_EQ((std::vector<std::string>{"hop.zel", "s.zel"}), dir_entries(dir.file("links")));
}

TEST(ChartsStore, NewFileTakesTheCreationMask) {
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    mode_t old = umask(027);
    charts_store();
    umask(old);
    struct stat sb;
    ASSERT_EQ(0, stat(path.c_str(), &sb));
    EXPECT_EQ(0640u, sb.st_mode & 07777);
}

}  // namespace
