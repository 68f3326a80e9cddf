// SPDX-License-Identifier: Apache-2.0
// Logging: the filter, colour sequences and system-log routing of zel_log, elevation, the
// truncation of long texts, priority names, the debugging file and the fatal allocation path.
#include "zellog.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "zellog_priv.h"

namespace {

const std::string kEnd = "\033(B\033[m";

struct OpenlogCall {
    std::string ident;
    int option;
    int facility;
};
struct SyslogCall {
    int level;
    std::string text;
};

std::vector<OpenlogCall> openlog_calls;
std::vector<SyslogCall> syslog_calls;
int closelog_calls;
std::vector<std::string> sink_calls;

void fake_openlog(const char *ident, int option, int facility) {
    openlog_calls.push_back({ident, option, facility});
}

void fake_syslog(int level, const char *fmt, ...) {
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    syslog_calls.push_back({level, buf});
}

void fake_closelog() {
    closelog_calls++;
}

void record_sink(const char *msg) {
    sink_calls.push_back(msg);
}

class ZelLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zellog::g = zellog::State{};
        zellog::g.openlog_fn = fake_openlog;
        zellog::g.syslog_fn = fake_syslog;
        zellog::g.closelog_fn = fake_closelog;
        openlog_calls.clear();
        syslog_calls.clear();
        closelog_calls = 0;
        sink_calls.clear();
    }
    void TearDown() override {
        if (zellog::g.lfd != nullptr) fclose(zellog::g.lfd);
        zellog::g = zellog::State{};
    }

    // What one zel_log call writes on standard error.
    template <typename... Args>
    static std::string logged(int mode, int priority, const char *fmt, Args... args) {
        zeltest::CaptureFd cap(2);
        zel_log(mode, priority, fmt, args...);
        return cap.text();
    }
};

TEST_F(ZelLogTest, DefaultsDropDebugAndColourTheRest) {
    EXPECT_EQ(logged(0, ZEL_LOG_DEBUG, "hidden"), "");
    EXPECT_EQ(logged(0, ZEL_LOG_INFO, "plain %d", 1), "plain 1" + kEnd + "\n");
    EXPECT_EQ(logged(0, ZEL_LOG_NOTICE, "n"), "\033[1;97mn" + kEnd + "\n");
    EXPECT_EQ(logged(0, ZEL_LOG_WARNING, "w"), "\033[1;93mw" + kEnd + "\n");
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "e"), "\033[1;31me" + kEnd + "\n");
    EXPECT_EQ(logged(0, 7, "odd"), "odd" + kEnd + "\n");
    EXPECT_TRUE(syslog_calls.empty());
}

TEST_F(ZelLogTest, MinimumLevelFilters) {
    zel_log_set_min_level(ZEL_LOG_DEBUG);
    EXPECT_EQ(logged(0, ZEL_LOG_DEBUG, "d"), "\033[0;90md" + kEnd + "\n");
    zel_log_set_min_level(ZEL_LOG_WARNING);
    EXPECT_EQ(logged(0, ZEL_LOG_NOTICE, "n"), "");
    EXPECT_EQ(logged(0, ZEL_LOG_WARNING, "w"), "\033[1;93mw" + kEnd + "\n");
    zel_log_set_min_level(INT_MIN);
    EXPECT_EQ(logged(0, -1, "neg"), "neg" + kEnd + "\n");
}

TEST_F(ZelLogTest, WithoutColoursOnlyTheLine) {
    zellog::g.use_colors = 0;
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "bad %s", "thing"), "bad thing\n");
}

TEST_F(ZelLogTest, ErrnoTextIsAppended) {
    zellog::g.use_colors = 0;
    errno = ENOENT;
    EXPECT_EQ(logged(ZEL_LOGMODE_ERRNO, ZEL_LOG_WARNING, "open %s", "x.zel"),
              "open x.zel: ENOENT (No such file or directory)\n");
    errno = 0;
    EXPECT_EQ(logged(ZEL_LOGMODE_ERRNO, ZEL_LOG_WARNING, "ok"), "ok: Success (errno=0)\n");
}

TEST_F(ZelLogTest, SinkGetsEveryMessageThatPasses) {
    zel_log_set_sink_function(record_sink);
    zel_log_detach_stderr();
    errno = EACCES;
    EXPECT_EQ(logged(ZEL_LOGMODE_ERRNO, ZEL_LOG_NOTICE, "m%d", 1), "");
    EXPECT_EQ(logged(0, ZEL_LOG_DEBUG, "filtered"), "");
    zel_log_set_sink_function(nullptr);
    zel_log(0, ZEL_LOG_ERROR, "after");
    ASSERT_EQ(sink_calls.size(), 1U);
    EXPECT_EQ(sink_calls[0], "m1: EACCES (Permission denied)");
}

TEST_F(ZelLogTest, InitOpensTheSystemLog) {
    {
        zeltest::CaptureFd cap(2);  // not a terminal: colours go off
        EXPECT_EQ(zel_log_init("statsd", 1), 0);
    }
    ASSERT_EQ(openlog_calls.size(), 1U);
    EXPECT_EQ(openlog_calls[0].ident, "statsd");
    EXPECT_EQ(openlog_calls[0].option, 9);     // LOG_PID | LOG_NDELAY
    EXPECT_EQ(openlog_calls[0].facility, 24);  // LOG_DAEMON
    EXPECT_TRUE(zellog::g.syslog_open);
    EXPECT_EQ(zellog::g.force_stderr, 0);
    EXPECT_EQ(zellog::g.use_colors, 0);

    zel_log_init("fg", 0);
    EXPECT_EQ(openlog_calls.back().facility, 8);  // LOG_USER
    EXPECT_EQ(zellog::g.force_stderr, 1);

    zel_log_detach_stderr();
    zel_log_init(nullptr, 0);
    EXPECT_EQ(openlog_calls.size(), 2U);
    EXPECT_TRUE(zellog::g.stderr_active);
}

// The system-log level comes from the larger of the priority and the elevation floor; the
// tag keeps the name of the priority as passed.
TEST_F(ZelLogTest, SystemLogLevelsAndTags) {
    zel_log_init("t", 1);
    zel_log_set_min_level(INT_MIN);
    const struct {
        int elevate;
        int priority;
        int level;
        const char *text;
    } cases[] = {
        {2, ZEL_LOG_DEBUG, 5, "[debug] m"},
        {2, ZEL_LOG_INFO, 5, "[info] m"},
        {2, ZEL_LOG_NOTICE, 5, "[notice] m"},
        {2, ZEL_LOG_WARNING, 4, "[warning] m"},
        {2, ZEL_LOG_ERROR, 3, "[error] m"},
        {2, 7, 3, "[unknown] m"},
        {2, -3, 5, "[unknown] m"},
        {0, ZEL_LOG_DEBUG, 7, "[debug] m"},
        {0, ZEL_LOG_INFO, 6, "[info] m"},
        {-5, -1, 3, "[unknown] m"},
        {9, ZEL_LOG_DEBUG, 3, "[debug] m"},
    };
    for (const auto &c : cases) {
        zel_log_set_elevate_to(c.elevate);
        syslog_calls.clear();
        EXPECT_EQ(logged(0, c.priority, "m"), "");  // system log open, stderr not forced
        ASSERT_EQ(syslog_calls.size(), 1U);
        EXPECT_EQ(syslog_calls[0].level, c.level) << c.elevate << " " << c.priority;
        EXPECT_EQ(syslog_calls[0].text, c.text);
        EXPECT_EQ(zel_log_priority_convert(c.priority), c.level);
    }
}

TEST_F(ZelLogTest, StandardErrorBesideTheSystemLog) {
    {
        zeltest::CaptureFd cap(2);
        zel_log_init("t", 1);
    }
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "quiet"), "");
    EXPECT_EQ(logged(ZEL_LOGMODE_STDERR, ZEL_LOG_ERROR, "loud"), "loud\n");
    zel_log_detach_stderr();
    EXPECT_EQ(logged(ZEL_LOGMODE_STDERR, ZEL_LOG_ERROR, "gone"), "");
    EXPECT_EQ(syslog_calls.size(), 3U);

    zel_log_init("t", 0);  // foreground: stderr forced and active again
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "both"), "both\n");
    EXPECT_EQ(syslog_calls.size(), 4U);
}

TEST_F(ZelLogTest, DetachAndTermCloseTheSystemLog) {
    zel_log_term();
    zel_log_detach_syslog();
    EXPECT_EQ(closelog_calls, 0);

    zel_log_init("t", 1);
    zel_log_term();  // closes the connection, keeps the flag
    EXPECT_EQ(closelog_calls, 1);
    EXPECT_TRUE(zellog::g.syslog_open);
    zel_log(0, ZEL_LOG_ERROR, "still routed");
    EXPECT_EQ(syslog_calls.size(), 1U);

    zellog::g.use_colors = 0;
    zel_log_detach_syslog();
    EXPECT_EQ(closelog_calls, 2);
    EXPECT_FALSE(zellog::g.syslog_open);
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "back"), "back\n");
    EXPECT_EQ(syslog_calls.size(), 1U);
}

TEST_F(ZelLogTest, LongTextsAreCut) {
    zellog::g.use_colors = 0;
    std::string exact(2048, 'a');
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "%s", exact.c_str()), std::string(2047, 'a') + "\n");
    std::string fits(2047, 'b');
    EXPECT_EQ(logged(0, ZEL_LOG_ERROR, "%s", fits.c_str()), fits + "\n");
    errno = EIO;
    EXPECT_EQ(logged(ZEL_LOGMODE_ERRNO, ZEL_LOG_ERROR, "%s%s", fits.c_str(), "tail"),
              fits + ": EIO (Input/output error)\n");
}

TEST_F(ZelLogTest, PriorityNames) {
    const struct {
        const char *in;
        int pri;
    } cases[] = {
        {"", -1},      {"D", 0},       {"debug", 0},     {"i", 1},    {"INFO", 1},
        {"notice", 2}, {"not", 2},     {"w", 3},         {"Warn", 3}, {"wARNING", 3},
        {"err", 4},    {"ERROR", 4},   {"warnings", -1}, {"x", -1},   {"in fo", -1},
        {"infox", -1}, {"errors", -1}, {"e1", -1},       {"dbg", -1}, {"notify", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(zel_log_str_to_pri(c.in), c.pri) << '"' << c.in << '"';
}

TEST_F(ZelLogTest, NamesAndColoursOutsideTheRange) {
    EXPECT_STREQ(zel_log_pri_to_str(ZEL_LOG_WARNING), "warning");
    EXPECT_STREQ(zel_log_pri_to_str(5), "unknown");
    EXPECT_STREQ(zel_log_pri_to_str(-1), "unknown");
    EXPECT_STREQ(zel_log_pri_to_colorstr(ZEL_LOG_DEBUG), "\033[0;90m");
    EXPECT_STREQ(zel_log_pri_to_colorstr(ZEL_LOG_INFO), "");
    EXPECT_STREQ(zel_log_pri_to_colorstr(5), "");
    EXPECT_STREQ(zel_log_pri_to_colorstr(INT_MIN), "");
}

// Each test runs in a fresh scratch directory as the current directory.
class FileLogTest : public ZelLogTest {
  protected:
    void SetUp() override {
        ZelLogTest::SetUp();
        ASSERT_NE(getcwd(oldcwd_, sizeof oldcwd_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override {
        ZelLogTest::TearDown();
        EXPECT_EQ(chdir(oldcwd_), 0);
    }
    static void close_file() {
        const char *none = nullptr;
        zel_file_log(nullptr, 0, nullptr, 0, none);
    }
    zeltest::TempDir dir_;
    char oldcwd_[4096];
};

TEST_F(FileLogTest, AppendsLinesToTheDebuggingFile) {
    zeltest::write_file(dir_.file("zeldebug.txt"), "earlier\n");
    zel_file_log("charts.cpp", 42, "charts_add", 0, "slot %u of %s", 7u, "cpu");
    zel_file_log("crc.cpp", 3, "f", 1, "%s", "");
    close_file();
    EXPECT_EQ(zeltest::read_file(dir_.file("zeldebug.txt")),
              "earlier\ncharts.cpp:42 (charts_add):slot 7 of cpu\ncrc.cpp:3 (f):\n");
    close_file();  // nothing open: no effect
}

TEST_F(FileLogTest, TermClosesTheFile) {
    zel_file_log("a.cpp", 1, "g", 0, "x");
    EXPECT_NE(zellog::g.lfd, nullptr);
    zel_log_term();
    EXPECT_EQ(zellog::g.lfd, nullptr);
    EXPECT_EQ(zeltest::read_file(dir_.file("zeldebug.txt")), "a.cpp:1 (g):x\n");
}

TEST_F(FileLogTest, AFileThatCannotBeOpenedDropsTheLineAndIsRetried) {
    ASSERT_EQ(mkdir("zeldebug.txt", 0700), 0);
    zel_file_log("a.cpp", 1, "g", 0, "lost");
    EXPECT_EQ(zellog::g.lfd, nullptr);
    ASSERT_EQ(rmdir("zeldebug.txt"), 0);
    zel_file_log("a.cpp", 2, "g", 0, "kept");
    close_file();
    EXPECT_EQ(zeltest::read_file(dir_.file("zeldebug.txt")), "a.cpp:2 (g):kept\n");
}

using ZelLogDeathTest = ZelLogTest;

// The plain line first, then the same text logged at error priority: with the defaults that
// is a coloured line on standard error.
TEST_F(ZelLogDeathTest, OutOfMemoryReportsLogsAndAborts) {
    const std::string text = "../zelcommon/charts:77 - out of memory: rings is NULL";
    const std::string expected = text + "\n" + "\033[1;31m" + text + kEnd + "\n";
    EXPECT_DEATH(zel_out_of_memory("../zelcommon/charts", 77, "rings"), ::testing::Eq(expected));
}

TEST_F(ZelLogDeathTest, OutOfMemoryAlsoReachesTheSink) {
    zel_log_set_sink_function([](const char *msg) { fprintf(stderr, "sink<%s>", msg); });
    zellog::g.use_colors = 0;
    const std::string text = "p:1 - out of memory: o is NULL";
    EXPECT_DEATH(zel_out_of_memory("p", 1, "o"),
                 ::testing::Eq(text + "\nsink<" + text + ">" + text + "\n"));
}

}  // namespace
