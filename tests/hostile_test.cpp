// SPDX-License-Identifier: Apache-2.0
// Hostile inputs for the command and the store: damaged, truncated and oversized data files,
// odd file types, PNG destinations that cannot be created or written, extreme picture sizes
// and command lines. Every case must end with the system's own message and its exit status:
// never a signal, never a hang. The programs run with a bounded wait; a run that does not end
// in time is killed and the case fails.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "charts.h"
#include "charts_store_util.h"
#include "crc.h"
#include "datafile_builder.h"
#include "statsdump.h"
#include "strerr.h"
#include "test_util.h"

#ifdef ZEL_HAVE_LIBPNG
#include <png.h>
#endif

namespace {

using zeltest::read_file;
using zeltest::split;
using zeltest::TempDir;
using zeltest::write_file;

constexpr uint64_t kNoData = UINT64_C(0xFFFFFFFFFFFFFFFF);
constexpr uint32_t kNewest = 28494000;  // 2024-03-05 12:00 UTC in minutes
constexpr size_t kRecordSize = 100 + 4 * 8 * 4096;
constexpr int kTimeoutSeconds = 60;

// ---- Running with a bounded wait ----

struct Outcome {
    bool timed_out = false;
    int signal = 0;   // the signal that ended the process, 0 when it exited
    int status = -1;  // exit status when it exited
    std::string out;
    std::string err;
};

double monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Runs `child` in a forked process (its return value is the exit status) with standard output
// and error collected; kills it when it has not ended after `timeout` seconds.
Outcome run_forked(const std::function<int()> &child, int timeout = kTimeoutSeconds) {
    Outcome res;
    char outname[] = "/tmp/zelhostile.out.XXXXXX";
    char errname[] = "/tmp/zelhostile.err.XXXXXX";
    int ofd = mkstemp(outname);
    int efd = mkstemp(errname);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ofd, 1);
        dup2(efd, 2);
        int rc = child();
        fflush(nullptr);
        _exit(rc);
    }
    int st = 0;
    const double deadline = monotonic_seconds() + timeout;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (monotonic_seconds() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            res.timed_out = true;
            break;
        }
        usleep(5000);
    }
    close(ofd);
    close(efd);
    if (!res.timed_out) {
        if (WIFEXITED(st)) res.status = WEXITSTATUS(st);
        if (WIFSIGNALED(st)) res.signal = WTERMSIG(st);
    }
    res.out = read_file(outname);
    res.err = read_file(errname);
    unlink(outname);
    unlink(errname);
    return res;
}

// The statsdump binary with these arguments, in directory `cwd` when given.
// The user that permissions bind; a test run by root runs such a case as this one.
constexpr uid_t kNobody = 65534;

Outcome run_tool(const std::vector<std::string> &args, const std::string &cwd = "",
                 int timeout = kTimeoutSeconds, bool unprivileged = false) {
    return run_forked(
        [&] {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) return 126;
            if (unprivileged && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
                return 125;
            }
            std::vector<std::string> argv = {STATSDUMP_BIN};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char *> ptrs;
            for (auto &a : argv) ptrs.push_back(a.data());
            ptrs.push_back(nullptr);
            execv(ptrs[0], ptrs.data());
            return 127;
        },
        timeout);
}

// The run ended by itself, with the status given: 0 done, 1 a file failed, 2 a usage error.
#define EXPECT_ENDS(o, expected)                                                             \
    do {                                                                                     \
        ASSERT_FALSE((o).timed_out) << "did not end: killed after wait";                     \
        ASSERT_EQ(0, (o).signal) << "ended by signal; stderr:\n" << (o).err.substr(0, 4000); \
        EXPECT_EQ(expected, (o).status);                                                     \
    } while (0)
#define EXPECT_CLEAN_END(o) EXPECT_ENDS(o, 0)

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

// ---- Data files ----

using zeldata::put32;
using zeldata::put64;

std::string header(uint32_t ringleng, uint32_t count, uint32_t newest = kNewest,
                   uint32_t tag = zeldata::kTag) {
    return zeldata::header(ringleng, count, newest, tag);
}

// A record whose ring of range r holds base + 1000 * r + k at entry k (oldest first); the name
// field is the given bytes cut or zero-padded to 100 bytes.
std::string record(const std::string &name, uint32_t entries, uint64_t base) {
    return zeldata::record(name, entries,
                           [base](uint32_t r, uint32_t k) { return base + 1000 * r + k; });
}

// A record whose every entry holds the same value.
std::string flat_record(const std::string &name, uint64_t value) {
    return zeldata::record(name, 4096, [value](uint32_t, uint32_t) { return value; });
}

// The valid file most cases start from: load, ucpu and scpu with full rings.
std::string valid_file() {
    return header(4096, 3) + record("load", 4096, 5000) + record("ucpu", 4096, 30000000) +
           record("scpu", 4096, 60000000);
}

// ---- Messages ----

// One line that starts with `prefix` and says something after it.
::testing::AssertionResult one_line_starting(const std::string &text, const std::string &prefix) {
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return ::testing::AssertionFailure()
               << "does not start with \"" << prefix << "\": \"" << text.substr(0, 300) << "\"";
    }
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) {
        return ::testing::AssertionFailure() << "not one line: \"" << text.substr(0, 300) << "\"";
    }
    if (text.size() <= prefix.size() + 1 && prefix.back() != '\n') {
        return ::testing::AssertionFailure() << "no error text after \"" << prefix << "\"";
    }
    return ::testing::AssertionSuccess();
}

// ---- PNG files ----

using zeldata::be32_at;

// A complete chart file of width w and height h: signature, IHDR, the IDAT whose length
// accounts for the file size, IEND at the end, and (with the PNG library) a full decode.
::testing::AssertionResult is_chart_png(const std::string &png, uint32_t w, uint32_t h) {
    static const std::string kSig = "\x89PNG\r\n\x1a\n";
    if (png.size() < 863 || png.compare(0, 8, kSig) != 0) {
        return ::testing::AssertionFailure() << "not a chart file, " << png.size() << " bytes";
    }
    if (png.compare(12, 4, "IHDR") != 0 || be32_at(png, 16) != w || be32_at(png, 20) != h) {
        return ::testing::AssertionFailure()
               << "IHDR says " << be32_at(png, 16) << " x " << be32_at(png, 20) << ", expected "
               << w << " x " << h;
    }
    if (png.compare(843, 4, "IDAT") != 0 || be32_at(png, 839) + 863 != png.size()) {
        return ::testing::AssertionFailure() << "IDAT length does not match the file size";
    }
    if (png.compare(png.size() - 12, 12, std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12)) != 0) {
        return ::testing::AssertionFailure() << "no IEND at the end";
    }
#ifdef ZEL_HAVE_LIBPNG
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        return ::testing::AssertionFailure() << "PNG library: " << image.message;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return ::testing::AssertionFailure() << "PNG library: " << image.message;
    }
    if (image.width != w || image.height != h) {
        return ::testing::AssertionFailure() << "PNG library reads another size";
    }
#endif
    return ::testing::AssertionSuccess();
}

// ==== Data files that cannot be loaded ====

// Damaged and unusable files. In tool mode the command (exit status 1, nothing on standard
// output) and charts_init (-1) end with the load message; in server mode, when server_msg is
// set, charts_init succeeds with a log line and the store starts with what could be read.
struct BadFile {
    const char *name;
    // Prepares the data file in dir and returns the path to give with -i.
    std::function<std::string(const TempDir &)> make;
    const char *tool_msg;           // exact text, or the start of one line when it ends with ": "
    bool root_meaningless = false;  // root reads it anyway
    const char *server_msg = nullptr;  // substring of the server's log line
    bool header_accepted = false;      // server: pointers 4095 and the file's newest minute
    uint32_t load_rings = 0;           // server: rings of "load" (record 0) kept
};

std::string file_in(const TempDir &d, const std::string &bytes) {
    std::string p = d.file("in.zel");
    write_file(p, bytes);
    return p;
}

// load and ucpu with full rings of zeltest::entry_value.
std::string store_file() {
    return header(4096, 2) + zeltest::file_record("load", 4096, 1) +
           zeltest::file_record("ucpu", 4096, 2);
}

constexpr uint32_t kLoad = 28;     // statsdump_field_type("load"), record 0 of store_file()
constexpr uint32_t kMasterin = 2;  // a statistic store_file() lacks

// The store on the command's catalogue, as the command and a server set it up.
struct CommandStore : zeltest::StoreFixture {
    CommandStore(const std::string &path, uint8_t mode)
        : StoreFixture(path, mode, statsdump_statdefs, statsdump_estatdefs, statsdump_calcdefs) {}
};

auto bytes(std::string content) {
    return [content](const TempDir &d) { return file_in(d, content); };
}

constexpr const char *kReadError = "error reading charts data file: ";
constexpr const char *kReadLog = "error reading charts data file";
constexpr const char *kFormat = "unrecognized charts data file format\n";

const std::vector<BadFile> &bad_files() {
    static const std::vector<BadFile> cases = [] {
        const std::string full = store_file();
        std::string le = full;
        std::reverse(le.begin(), le.begin() + 4);
        // 2^27 entries per ring: skipping a record is 2^32 bytes, which would wrap to 0 in 32
        // bits and make the two names look like a complete file.
        const std::string wrap =
            header(1u << 27, 2) + record("nosuch", 0, 0) + record("other", 0, 0);
        return std::vector<BadFile>{
            {"missing file", [](const TempDir &d) { return d.file("none.zel"); },
             "file loading error: ENOENT (No such file or directory)\n", false,
             "no charts data file - initializing empty charts"},
            {"empty path", [](const TempDir &) { return std::string(); },
             "file loading error: ENOENT (No such file or directory)\n"},
            {"0-byte file", bytes(""), kReadError, false, kReadLog},
            {"directory", [](const TempDir &d) { return d.path(); },
             "error reading charts data file: EISDIR (Is a directory)\n", false, kReadLog},
            {"fifo without writer",
             [](const TempDir &d) {
                 std::string p = d.file("fifo.zel");
                 mkfifo(p.c_str(), 0600);
                 return p;
             },
             kReadError, false, kReadLog},
            {"path through a regular file",
             [](const TempDir &d) { return file_in(d, valid_file()) + "/x"; },
             "file loading error: ENOTDIR (Not a directory)\n"},
            {"name too long", [](const TempDir &d) { return d.file(std::string(5000, 'n')); },
             "file loading error: ENAMETOOLONG (File name too long)\n"},
            {"/dev/null", [](const TempDir &) { return std::string("/dev/null"); }, kReadError},
            {"/dev/zero", [](const TempDir &) { return std::string("/dev/zero"); }, kFormat},
            {"little-endian tag", bytes(le), kFormat, false,
             "unrecognized charts data file format - initializing empty charts"},
            {"zero tag", bytes(std::string(16, '\0')), kFormat, false,
             "unrecognized charts data file format"},
            {"tag of all ones", bytes(header(4096, 3, kNewest, 0xFFFFFFFF)), kFormat},
            {"tag only", bytes(valid_file().substr(0, 4)), kReadError},
            {"short header", bytes(full.substr(0, 9)), kReadError, false, kReadLog},
            {"unreadable file",
             [](const TempDir &d) {
                 std::string p = file_in(d, valid_file());
                 chmod(p.c_str(), 0);
                 return p;
             },
             "file loading error: EACCES (Permission denied)\n", true},
            {"header only, one chart announced", bytes(header(4096, 1)), kReadError},
            {"cut in a name field", bytes(full.substr(0, 16 + kRecordSize + 50)), kReadError, false,
             kReadLog, true, 4},
            {"cut in the second ring", bytes(full.substr(0, 16 + 100 + 8 * 4096 + 8)), kReadError,
             false, kReadLog, true, 1},
            {"ring length 8192 over rings of 4096",
             bytes(header(8192, 1) + record("load", 4096, 1)), kReadError},
            {"ring length 0xFFFFFFFF", bytes(header(0xFFFFFFFF, 1) + full.substr(16)), kReadError,
             false, kReadLog, true},
            {"ring length 0xFFFFFFFF, matching name",
             bytes(header(0xFFFFFFFF, 1) + record("load", 16, 1)), kReadError},
            {"ring length 0xFFFFFFFF, skipped record then a matching one",
             bytes(header(0xFFFFFFFF, 2) + record("zzz", 16, 1) + record("load", 16, 1)),
             kReadError},
            {"chart count 0xFFFFFFFF", bytes(header(4096, 0xFFFFFFFF) + full.substr(16)),
             kReadError, false, kReadLog, true, 4},
            {"chart count 0xFFFFFFFF, ring length 0",
             bytes(header(0, 0xFFFFFFFF) + record("load", 0, 1) + record("zzz", 0, 1)), kReadError},
            {"chart count and ring length 0xFFFFFFFF",
             bytes(header(0xFFFFFFFF, 0xFFFFFFFF) + record("x", 4, 1)), kReadError},
            {"skip of 2^32 bytes", bytes(wrap), kReadError, false, kReadLog, true},
        };
    }();
    return cases;
}

::testing::AssertionResult is_message(const std::string &text, const std::string &want) {
    if (want.size() >= 2 && want.compare(want.size() - 2, 2, ": ") == 0) {
        return one_line_starting(text, want);
    }
    if (text == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" is not \"" << want << "\"";
}

// A case shows as its name (ctest lists the parameter beside the test's name).
void PrintTo(const BadFile &c, std::ostream *os) {
    *os << c.name;
}

class BadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFileTest, ToolEndsWithTheLoadMessageAndServerStartsOver) {
    const BadFile &c = GetParam();
    {
        TempDir dir;
        std::string path = c.make(dir);
        // Root reads any file: as root, the case runs as a user whom permissions bind.
        if (c.root_meaningless) chmod(dir.path().c_str(), 0755);
        Outcome o =
            run_tool({"-i", path, "-f", "load,cpu"}, "", kTimeoutSeconds, c.root_meaningless);
        EXPECT_ENDS(o, 1);
        EXPECT_EQ("", o.out);
        EXPECT_TRUE(is_message(o.err, c.tool_msg));
    }
    if (!c.root_meaningless || geteuid() != 0) {
        TempDir dir;
        std::string path = c.make(dir);
        zeltest::CaptureFd err(2);
        CommandStore st(path, CHARTS_MODE_TOOL);
        std::string text = err.text();
        EXPECT_EQ(-1, st.rc);
        EXPECT_TRUE(is_message(text, c.tool_msg));
    }
    if (c.server_msg == nullptr) return;
    zeltest::ScopedTz tz("UTC");
    zeltest::store_clock_now = kNewest * 60;  // the file's newest minute: no catch-up
    TempDir dir;
    std::string path = c.make(dir);
    zeltest::CaptureFd err(2);
    CommandStore st(path, CHARTS_MODE_SERVER);
    std::string text = err.text();
    EXPECT_EQ(0, st.rc);
    EXPECT_NE(std::string::npos, text.find(c.server_msg)) << text;
    EXPECT_EQ(std::string::npos, text.find("stats file has been loaded"));
    EXPECT_EQ(kNewest, charts::g.timepoint[0]);
    for (uint32_t r = 0; r < 4; r++) {
        EXPECT_EQ(c.header_accepted ? 4095u : 0u, charts::g.pointers[r]);
        const bool loaded = r < c.load_rings;
        for (uint32_t k = 0; k < 4096; k++) {
            ASSERT_EQ(loaded ? zeltest::entry_value(1, r, k) : kNoData, charts::ring(kLoad, r)[k])
                << "range " << r << " slot " << k;
        }
        EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(kMasterin, r)));
    }
}

std::string case_name(const char *name) {
    std::string out;
    for (const char *p = name; *p; p++) {
        out.push_back(isalnum((unsigned char)*p) ? *p : '_');
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Hostile, BadFileTest, ::testing::ValuesIn(bad_files()),
                         [](const auto &info) { return case_name(info.param.name); });

// ==== Truncated files ====

// The valid file cut at every record boundary and in the middle of each field of the header
// and of the first record: each cut fails with the read message; the whole file loads.
TEST(HostileDataFile, CutAtEveryBoundaryAndInsideEveryField) {
    const std::string full = valid_file();
    const size_t rings = 16 + 100;  // first ring of the first record
    const size_t ring = 8 * 4096;
    const std::vector<std::pair<std::string, size_t>> cuts = {
        {"inside the tag", 2},
        {"inside the ring length", 6},
        {"inside the chart count", 10},
        {"inside the newest minute", 14},
        {"record boundary 0 (end of header)", 16},
        {"inside the first name", 16 + 50},
        {"after the first name", rings},
        {"inside ring 0", rings + ring / 2},
        {"after ring 0", rings + ring},
        {"inside ring 1", rings + ring + ring / 2 + 3},
        {"inside ring 2", rings + 2 * ring + 1},
        {"inside ring 3", rings + 4 * ring - 1},
        {"record boundary 1", 16 + kRecordSize},
        {"record boundary 2", 16 + 2 * kRecordSize},
        {"one byte short", full.size() - 1},
    };
    TempDir dir;
    std::string path = dir.file("cut.zel");
    for (const auto &[what, size] : cuts) {
        SCOPED_TRACE(what);
        write_file(path, full.substr(0, size));
        Outcome o = run_tool({"-i", path, "-f", "load"});
        EXPECT_ENDS(o, 1);
        EXPECT_EQ("", o.out);
        EXPECT_TRUE(one_line_starting(o.err, "error reading charts data file: "));
    }
    write_file(path, full);
    Outcome o = run_tool({"-i", path, "-f", "load"});
    EXPECT_CLEAN_END(o);
    EXPECT_EQ("", o.err);
    EXPECT_EQ(4097u, lines(o.out).size());
}

// ==== Files that load: extreme headers and odd names ====

struct LoadedCase {
    const char *name;
    std::string bytes;
    // Expected text of the load column in rows 0, 1, 4094 and 4095 (oldest to newest).
    std::vector<std::string> rows;
};

std::vector<LoadedCase> loaded_cases() {
    const std::string dash = "-";
    return {
        {"chart count 0", header(4096, 0), {dash, dash, dash, dash}},
        {"ring length 0",
         header(0, 2) + record("load", 0, 1) + record("ucpu", 0, 1),
         {dash, dash, dash, dash}},
        {"ring length 1", header(1, 1) + record("load", 1, 7), {dash, dash, dash, "7.000000"}},
        {"ring length 100",
         header(100, 1) + record("load", 100, 7),
         {dash, dash, "105.000000", "106.000000"}},
        {"ring length 4097 keeps the newest 4096",
         header(4097, 1) + record("load", 4097, 10),
         {"11.000000", "12.000000", "4105.000000", "4106.000000"}},
        {"ring length 0xFFFFFFFF on a skipped record",
         header(0xFFFFFFFF, 1) + record("zzz", 8, 1),
         {dash, dash, dash, dash}},
        {"records beyond the chart count are not read",
         header(4096, 1) + record("scpu", 4096, 1) + record("load", 4096, 1),
         {dash, dash, dash, dash}},
        {"unterminated 100-byte name, then the real record",
         header(4096, 2) + record("load" + std::string(96, 'x'), 4096, 1) +
             record("load", 4096, 20),
         {"20.000000", "21.000000", "4114.000000", "4115.000000"}},
        {"name of 100 letters",
         header(4096, 2) + record(std::string(100, 'A'), 4096, 1) + record("load", 4096, 20),
         {"20.000000", "21.000000", "4114.000000", "4115.000000"}},
        {"a name that matches twice: the later record wins",
         header(4096, 2) + record("load", 4096, 1) + record("load", 4096, 300),
         {"300.000000", "301.000000", "4394.000000", "4395.000000"}},
        {"bytes after the terminator are ignored",
         header(4096, 1) + record(std::string("load\0junk", 9), 4096, 2),
         {"2.000000", "3.000000", "4096.000000", "4097.000000"}},
        {"names are case-sensitive",
         header(4096, 1) + record("LOAD", 4096, 2),
         {dash, dash, dash, dash}},
        {"empty name field", header(4096, 1) + record("", 4096, 2), {dash, dash, dash, dash}},
        {"newest minute 0",
         header(4096, 1, 0) + record("load", 4096, 2),
         {"2.000000", "3.000000", "4096.000000", "4097.000000"}},
        {"newest minute 0xFFFFFFFF",
         header(4096, 1, 0xFFFFFFFF) + record("load", 4096, 2),
         {"2.000000", "3.000000", "4096.000000", "4097.000000"}},
        {"values up to the largest one that is not the marker",
         header(4096, 1) + flat_record("load", kNoData - 1),
         {"18446744073709551616.000000", "18446744073709551616.000000",
          "18446744073709551616.000000", "18446744073709551616.000000"}},
    };
}

TEST(HostileDataFile, ExtremeHeadersAndNamesLoad) {
    TempDir dir;
    std::string path = dir.file("in.zel");
    for (const LoadedCase &c : loaded_cases()) {
        SCOPED_TRACE(c.name);
        write_file(path, c.bytes);
        Outcome o = run_tool({"-i", path, "-f", "load"});
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        std::vector<std::string> rows = lines(o.out);
        ASSERT_EQ(4097u, rows.size());
        EXPECT_EQ("timestamp\tload", rows[0]);
        const size_t at[4] = {1, 2, 4095, 4096};
        for (int i = 0; i < 4; i++) {
            std::vector<std::string> cols = split(rows[at[i]], '\t');
            ASSERT_EQ(2u, cols.size()) << rows[at[i]];
            EXPECT_EQ(c.rows[i], cols[1]) << "row " << at[i] - 1;
        }
    }
}

// The newest minute 0xFFFFFFFF: times are taken modulo 2^32 and still printed and drawn.
TEST(HostileDataFile, NewestMinuteAtTheTopOfTheRange) {
    TempDir dir;
    std::string path = dir.file("in.zel");
    write_file(path, header(4096, 1, 0xFFFFFFFF) + record("load", 4096, 2));
    Outcome o = run_tool({"-i", path, "-f", "load"});
    EXPECT_CLEAN_END(o);
    std::vector<std::string> rows = lines(o.out);
    ASSERT_EQ(4097u, rows.size());
    // 0xFFFFFFFF * 60 modulo 2^32, and 4095 minutes before it.
    EXPECT_EQ("4294967236", split(rows[4096], '\t')[0]);
    EXPECT_EQ("4294721536", split(rows[1], '\t')[0]);
    for (const char *range : {"0", "1", "2", "3"}) {
        SCOPED_TRACE(range);
        Outcome d = run_tool({"-i", path, "-f", "load", "-d", "-r", range});
        EXPECT_CLEAN_END(d);
        EXPECT_EQ(4097u, lines(d.out).size());
    }
}

// Charts of damaged and extreme stores still draw complete pictures in every range.
TEST(HostileDataFile, ExtremeStoresDraw) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"newest minute 0xFFFFFFFF", header(4096, 1, 0xFFFFFFFF) + record("load", 4096, 2)},
        {"newest minute 0", header(4096, 1, 0) + record("load", 4096, 2)},
        {"newest minute 1", header(4096, 1, 1) + record("load", 4096, 2)},
        {"largest values", header(4096, 3) + flat_record("load", kNoData - 1) +
                               flat_record("ucpu", kNoData - 1) + flat_record("scpu", kNoData - 1)},
        {"values past 2^63", header(4096, 2) + flat_record("ucpu", UINT64_C(1) << 63) +
                                 flat_record("memoryrss", UINT64_C(1) << 63)},
        {"ring length 1", header(1, 1) + record("load", 1, 7)},
        {"empty", header(4096, 0)},
    };
    TempDir dir;
    std::string path = dir.file("in.zel");
    for (const auto &[what, bytes] : files) {
        write_file(path, bytes);
        for (const char *range : {"0", "1", "2", "3"}) {
            SCOPED_TRACE(what + ", range " + range);
            Outcome o = run_tool({"-i", path, "-f", "load,ucpu,cpu,mem", "-r", range, "-p",
                                  dir.file("c.png"), "-x", "400", "-y", "140"});
            EXPECT_CLEAN_END(o);
            EXPECT_EQ("", o.err);
            for (const char *field : {"load", "ucpu", "cpu", "mem"}) {
                EXPECT_TRUE(
                    is_chart_png(read_file(dir.file(std::string("c_") + field + ".png")), 400, 140))
                    << field;
            }
        }
    }
}

// ==== Chart files that cannot be created or written ====

struct PngFailure {
    const char *name;
    // Prepares the place and returns the -p argument.
    std::function<std::string(const TempDir &)> make;
    const char *format;  // the message, with %s for the -p argument; repeated once per field
    bool root_meaningless;
};

std::string format_with(const char *format, const std::string &arg) {
    std::string out = format;
    out.replace(out.find("%s"), 2, arg);
    return out;
}

const PngFailure kPngFailures[] = {
    {"missing directory", [](const TempDir &d) { return d.file("missing/sub/out"); },
     "can't create output file %s: ENOENT (No such file or directory)\n", false},
    {"onto a directory",
     [](const TempDir &d) {
         mkdir(d.file("out_load.png").c_str(), 0700);
         mkdir(d.file("out_cpu.png").c_str(), 0700);
         return d.file("out.png");
     },
     "can't create output file %s: EISDIR (Is a directory)\n", false},
    {"below a regular file",
     [](const TempDir &d) {
         write_file(d.file("plain"), "x");
         return d.file("plain/out");
     },
     "can't create output file %s: ENOTDIR (Not a directory)\n", false},
    {"name too long", [](const TempDir &d) { return d.file(std::string(300, 'n')); },
     "can't create output file %s: ENAMETOOLONG (File name too long)\n", false},
    {"read-only files",
     [](const TempDir &d) {
         write_file(d.file("ro_load.png"), "old");
         write_file(d.file("ro_cpu.png"), "old");
         chmod(d.file("ro_load.png").c_str(), 0444);
         chmod(d.file("ro_cpu.png").c_str(), 0444);
         return d.file("ro");
     },
     "can't create output file %s: EACCES (Permission denied)\n", true},
    {"read-only directory",
     [](const TempDir &d) {
         mkdir(d.file("rodir").c_str(), 0500);
         return d.file("rodir/out");
     },
     "can't create output file %s: EACCES (Permission denied)\n", true},
    {"a full device",
     [](const TempDir &d) {
         symlink("/dev/full", d.file("full_load.png").c_str());
         symlink("/dev/full", d.file("full_cpu.png").c_str());
         return d.file("full");
     },
     "can't write output file %s: ENOSPC (No space left on device)\n", false},
};

void PrintTo(const PngFailure &c, std::ostream *os) {
    *os << c.name;
}

class PngFailureTest : public ::testing::TestWithParam<PngFailure> {};

TEST_P(PngFailureTest, ReportsEveryFieldAndGoesOn) {
    const PngFailure &c = GetParam();
    if (std::string(c.name) == "a full device" && access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());
    std::string parg = c.make(dir);
    // Root writes anywhere: as root, the case runs as a user whom permissions bind.
    if (c.root_meaningless) chmod(dir.path().c_str(), 0755);
    Outcome o = run_tool({"-i", data, "-f", "load,cpu", "-p", parg}, "", kTimeoutSeconds,
                         c.root_meaningless);
    EXPECT_ENDS(o, 1);
    EXPECT_EQ("", o.out);
    std::string line = format_with(c.format, parg);
    EXPECT_EQ(line + line, o.err);
}

INSTANTIATE_TEST_SUITE_P(Hostile, PngFailureTest, ::testing::ValuesIn(kPngFailures),
                         [](const auto &info) { return case_name(info.param.name); });

// A FIFO as the chart file: opening it for writing waits for a reader, which never comes; the
// tool must not wait with it.
TEST(HostilePngFile, FifoDoesNotHang) {
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());
    ASSERT_EQ(0, mkfifo(dir.file("f_load.png").c_str(), 0600));
    Outcome o = run_tool({"-i", data, "-f", "load", "-p", dir.file("f")}, "", 10);
    EXPECT_ENDS(o, 1);
    EXPECT_TRUE(one_line_starting(o.err, "can't create output file " + dir.file("f") + ": "));
}

// An empty -p argument names files in the current directory.
TEST(HostilePngFile, EmptyName) {
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());
    Outcome o = run_tool({"-i", data, "-f", "load", "-p", ""}, dir.path());
    EXPECT_CLEAN_END(o);
    EXPECT_EQ("", o.err);
    EXPECT_TRUE(is_chart_png(read_file(dir.file("_load.png")), 1600, 320));
}

// ==== Picture sizes ====

struct SizeCase {
    const char *x;
    const char *y;
    uint32_t width;
    uint32_t height;
};

// -x and -y are read with strtoul into 32 bits and passed on; the encoder clamps the width
// into 150..4146 (1000 when both are 0) and the height into 120..1020, rounded down to 20n.
const SizeCase kSizes[] = {
    {"0", "0", 1000, 120},           {"0", "500", 150, 500},
    {"1600", "0", 1600, 120},        {"abc", "", 1000, 120},
    {"149", "119", 150, 120},        {"151", "139", 151, 120},
    {"151", "140", 151, 140},        {"4146", "1020", 4146, 1020},
    {"4147", "1021", 4146, 1020},    {"4294967295", "4294967295", 4146, 1020},
    {"4294967296", "500", 150, 500}, {"99999999999999999999999", "1", 4146, 120},
    {"-1", "-1", 4146, 1020},        {"-20", "339", 4146, 320},
    {" 300", "+200", 300, 200},      {"12abc", "330", 150, 320},
};

TEST(HostilePngFile, ExtremeWidthsAndHeights) {
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());
    for (const SizeCase &c : kSizes) {
        SCOPED_TRACE(std::string("-x '") + c.x + "' -y '" + c.y + "'");
        std::string out = dir.file("size.png");
        Outcome o = run_tool({"-i", data, "-f", "cpu", "-p", out, "-x", c.x, "-y", c.y});
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        EXPECT_TRUE(is_chart_png(read_file(dir.file("size_cpu.png")), c.width, c.height));
    }
}

// ==== Command lines ====

TEST(HostileCommandLine, OversizedAndRepeatedArguments) {
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());

    {
        SCOPED_TRACE("the same field 5000 times");
        std::vector<std::string> args = {"-i", data};
        for (int i = 0; i < 5000; i++) {
            args.push_back("-f");
            args.push_back("load");
        }
        Outcome o = run_tool(args);
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        std::vector<std::string> rows = lines(o.out);
        ASSERT_EQ(4097u, rows.size());
        EXPECT_EQ("timestamp\tload", rows[0]);
    }
    {
        SCOPED_TRACE("100000 separators around one field");
        Outcome o = run_tool(
            {"-i", data, "-f", std::string(50000, ',') + "load" + std::string(50000, ';')});
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        EXPECT_EQ("timestamp\tload", lines(o.out).at(0));
    }
    {
        SCOPED_TRACE("all fields 50 times");
        std::vector<std::string> args = {"-i", data};
        for (int i = 0; i < 50; i++) {
            args.push_back("-f");
            args.push_back("*");
        }
        args.push_back("-f");
        args.push_back(std::string(2000, '*'));  // one word that is not "*"
        Outcome o = run_tool(args);
        EXPECT_ENDS(o, 2);
        std::vector<std::string> rows = lines(o.out);
        ASSERT_EQ(4097u, rows.size());
        EXPECT_EQ(61u, split(rows[0], '\t').size());
        EXPECT_EQ(61u, split(rows[4096], '\t').size());
    }
    {
        SCOPED_TRACE("a field name of 100000 characters");
        std::string name(100000, 'q');
        Outcome o = run_tool({"-i", data, "-f", name});
        EXPECT_ENDS(o, 2);
        EXPECT_EQ("", o.out);
        EXPECT_EQ(0u, o.err.rfind("statistic '" + name +
                                      "' not found\nfields not specified\n"
                                      "usage: ",
                                  0));
    }
    {
        SCOPED_TRACE("-i 1000 times, the last one valid");
        std::vector<std::string> args;
        for (int i = 0; i < 999; i++) {
            args.push_back("-i");
            args.push_back(dir.file("missing" + std::to_string(i)));
        }
        args.push_back("-i");
        args.push_back(data);
        args.push_back("-f");
        args.push_back("load");
        Outcome o = run_tool(args);
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        EXPECT_EQ(4097u, lines(o.out).size());
    }
    {
        SCOPED_TRACE("-p 1000 times, the last one used");
        std::vector<std::string> args = {"-i", data, "-f", "load", "-x", "150", "-y", "120"};
        for (int i = 0; i < 999; i++) {
            args.push_back("-p");
            args.push_back(dir.file("missing/p" + std::to_string(i)));
        }
        args.push_back("-p");
        args.push_back(dir.file("last"));
        Outcome o = run_tool(args);
        EXPECT_CLEAN_END(o);
        EXPECT_EQ("", o.err);
        EXPECT_TRUE(is_chart_png(read_file(dir.file("last_load.png")), 150, 120));
    }
}

// Usage errors with oversized or odd arguments print the help text and end with status 2.
TEST(HostileCommandLine, BadOptionArguments) {
    TempDir dir;
    std::string data = dir.file("in.zel");
    write_file(data, valid_file());
    const std::vector<std::vector<std::string>> cases = {
        {"-f", "load", "-r", std::string(100000, '1')},
        {"-f", "load", "-r", "-1"},
        {"-f", "load", "-r", std::string("\xff", 1)},
        {"-f", "load", "-s", std::string(100000, ',')},
        {"-f", "load", "-s", ""},
        {"-f", "load", "-" + std::string(1000, 'Z')},
        {"-f", "load", "-\xc3\xa9"},
        {"-f", "load", "-r"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(args[2].substr(0, 40) + " " + (args.size() > 3 ? args[3].substr(0, 40) : ""));
        std::vector<std::string> full = {"-i", data};
        full.insert(full.end(), args.begin(), args.end());
        Outcome o = run_tool(full);
        EXPECT_ENDS(o, 2);
        EXPECT_EQ("", o.out);
        EXPECT_NE(std::string::npos, o.err.find("usage: ")) << o.err.substr(0, 300);
    }
}

// ==== The store in server mode: a bad file gives what could be loaded, never a crash ====

uint32_t g_clock = kNewest * 60;  // the newest minute of the files: no catch-up
uint32_t test_clock() {
    return g_clock;
}

// Sets up the server-mode store on the file in a child process and queries every chart: the
// child's status is 0 when charts_init succeeded; stderr holds the log.
Outcome server_load(const std::string &path) {
    return run_forked([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        mycrc32_init();
        strerr_init();
        charts_set_clock(test_clock);
        if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(),
                        0) != 0) {
            return 1;
        }
        std::vector<double> data(4096);
        uint32_t ts, rsec;
        for (uint32_t type = 0; type < 112; type++) {
            for (uint32_t range = 0; range < 4; range++) {
                charts_getdata(data.data(), &ts, &rsec, type * 10 + range);
            }
        }
        charts_term();
        return 0;
    });
}

TEST(HostileServerStore, EveryBadFileStartsTheServer) {
    TempDir dir;
    std::vector<std::unique_ptr<TempDir>> dirs;  // one per case, alive until the end
    std::vector<std::pair<std::string, std::string>> paths;
    for (const BadFile &c : bad_files()) {
        if (c.root_meaningless && geteuid() == 0) continue;
        dirs.push_back(std::make_unique<TempDir>());
        paths.push_back({c.name, c.make(*dirs.back())});
    }
    const std::string full = valid_file();
    for (size_t cut : {size_t(16), size_t(16 + 50), size_t(16 + 100 + 40000), full.size() - 1}) {
        std::string p = dir.file("cut" + std::to_string(cut));
        write_file(p, full.substr(0, cut));
        paths.push_back({"cut at " + std::to_string(cut), p});
    }
    for (const auto &[what, path] : paths) {
        SCOPED_TRACE(what);
        Outcome o = server_load(path);
        EXPECT_CLEAN_END(o);
        EXPECT_TRUE(o.err.find("error reading charts data file") != std::string::npos ||
                    o.err.find("unrecognized charts data file format - initializing empty "
                               "charts") != std::string::npos ||
                    o.err.find("no charts data file - initializing empty charts") !=
                        std::string::npos)
            << o.err;
    }
}

// A server whose file ends inside a ring keeps every ring read in full before it.
TEST(HostileServerStore, TruncatedFileKeepsTheRingsReadInFull) {
    TempDir dir;
    std::string path = dir.file("cut.zel");
    // load is complete, ucpu is cut inside its range-2 ring.
    const std::string full = header(4096, 2) + record("load", 4096, 5) + record("ucpu", 4096, 9);
    write_file(path, full.substr(0, 16 + kRecordSize + 100 + 2 * 8 * 4096 + 100));
    Outcome o = run_forked([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        mycrc32_init();
        strerr_init();
        charts_set_clock(test_clock);
        if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(),
                        0) != 0) {
            return 1;
        }
        std::vector<double> data(4096);
        uint32_t ts, rsec;
        charts_getdata(data.data(), &ts, &rsec, 28 * 10 + 3);  // load, range 3
        if (data[0] != 3005.0 || data[4095] != 3005.0 + 4095) return 2;
        // ucpu (stored in microseconds per minute, shown in percent): rings 0 and 1 were read.
        charts_getdata(data.data(), &ts, &rsec, 0 * 10 + 1);
        if (data[4095] < 0) return 3;
        charts_getdata(data.data(), &ts, &rsec, 0 * 10 + 2);
        for (double v : data) {
            if (v != -1.0) return 4;
        }
        charts_term();
        return 0;
    });
    EXPECT_CLEAN_END(o);
    EXPECT_NE(std::string::npos, o.err.find("error reading charts data file")) << o.err;
}

}  // namespace
