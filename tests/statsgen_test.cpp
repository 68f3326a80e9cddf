// SPDX-License-Identifier: Apache-2.0
// End to end through a real data file: statsgen runs the store as a server does (add, store) and
// statsdump reads the file back as the tool does (load, query, print). The simulated story is
// fixed by statsgen's defaults: 100 days ending 2024-03-05 12:00 UTC, a disk failing at
// 2024-02-22 15:17, one marked for removal at 2024-02-28 21:40, and the server down from
// 2024-03-03 07:00 to 10:40 (all UTC).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using zeltest::read_file;
using zeltest::run_program;
using zeltest::RunResult;
using zeltest::split;
using zeltest::TempDir;

const std::vector<std::string> kUtc = {"TZ=UTC"};

// The table's lines without the final line end.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

RunResult statsgen(const std::vector<std::string> &args,
                   const std::vector<std::string> &env = kUtc) {
    std::vector<std::string> argv = {STATSGEN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, env);
}

RunResult statsdump(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {STATSDUMP_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, kUtc);
}

// Rows of a table keyed by their time column.
struct Table {
    std::vector<std::string> heading;
    std::vector<std::vector<std::string>> rows;

    const std::vector<std::string> *row(const std::string &time) const {
        for (const auto &r : rows) {
            if (r[0] == time) return &r;
        }
        return nullptr;
    }
};

Table parse_table(const std::string &text) {
    Table t;
    std::vector<std::string> lines = lines_of(text);
    if (lines.empty()) return t;
    t.heading = split(lines[0], '\t');
    for (size_t i = 1; i < lines.size(); i++) t.rows.push_back(split(lines[i], '\t'));
    return t;
}

// One default run of the simulator, shared by the tests that only read it.
class StatsgenDefault : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        file_ = dir_->file("csstats.zel");
        RunResult r = statsgen({"-o", file_});
        status_ = r.status;
        err_ = r.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(status_, 0) << err_; }

    static TempDir *dir_;
    static std::string file_;
    static int status_;
    static std::string err_;
};

TempDir *StatsgenDefault::dir_ = nullptr;
std::string StatsgenDefault::file_;
int StatsgenDefault::status_ = -1;
std::string StatsgenDefault::err_;

TEST_F(StatsgenDefault, WritesAFullDataFile) {
    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16 + 48 * 131172);  // header and one record per base statistic
    std::string bytes = read_file(file_);
    EXPECT_EQ(bytes.substr(0, 12),
              std::string("\x00\x01\x00\x00\x00\x00\x10\x00\x00\x00\x00\x30", 12));
    // Newest minute: 2024-03-05 12:00 in UTC is minute 28,494,000.
    EXPECT_EQ(bytes.substr(12, 4), std::string("\x01\xB2\xC8\xB0", 4));
}

TEST_F(StatsgenDefault, MediumRangeTableShowsTheStory) {
    RunResult r = statsdump(
        {"-i", file_, "-f", "totalspace,usedspace,hddok,hddmfr,hdddmg,cpu", "-r", "1", "-H", "-d"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    Table t = parse_table(r.out);
    EXPECT_EQ(t.heading, (std::vector<std::string>{"date", "totalspace", "usedspace", "hddok",
                                                   "hddmfr", "hdddmg", "cpu"}));
    ASSERT_EQ(t.rows.size(), 4096u);
    for (const auto &row : t.rows) ASSERT_EQ(row.size(), 7u) << row[0];

    // 4096 slots of 6 minutes ending with the slot of the last sample.
    EXPECT_EQ(t.rows.front()[0], "2024-02-17 10:30");
    EXPECT_EQ(t.rows.back()[0], "2024-03-05 12:00");

    // The total is fixed; only the restart gap has no data: 07:00 .. 10:30, 36 slots.
    int gap = 0;
    for (const auto &row : t.rows) {
        if (row[1] == "-") {
            gap++;
            EXPECT_EQ(row, (std::vector<std::string>{row[0], "-", "-", "-", "-", "-", "-"}));
        } else {
            EXPECT_EQ(row[1], "96.00T") << row[0];
        }
    }
    EXPECT_EQ(gap, 36);
    ASSERT_NE(t.row("2024-03-03 07:00"), nullptr);
    EXPECT_EQ((*t.row("2024-03-03 07:00"))[1], "-");
    EXPECT_EQ((*t.row("2024-03-03 10:30"))[1], "-");
    EXPECT_EQ((*t.row("2024-03-03 06:54"))[1], "96.00T");  // samples up to 06:59
    EXPECT_EQ((*t.row("2024-03-03 10:36"))[1], "96.00T");  // back at 10:40

    // Disks: 12 working, then one damaged, then one marked for removal; levels keep the
    // largest value of the slot.
    const auto *before = t.row("2024-02-22 15:06");
    const auto *failing = t.row("2024-02-22 15:12");
    const auto *failed = t.row("2024-02-22 15:18");
    const auto *removing = t.row("2024-02-28 21:42");
    ASSERT_TRUE(before && failing && failed && removing);
    EXPECT_EQ((std::vector<std::string>{(*before)[3], (*before)[4], (*before)[5]}),
              (std::vector<std::string>{"12.00", "0.00u", "0.00u"}));
    EXPECT_EQ((std::vector<std::string>{(*failing)[3], (*failing)[5]}),
              (std::vector<std::string>{"12.00", "1.00"}));
    EXPECT_EQ((std::vector<std::string>{(*failed)[3], (*failed)[4], (*failed)[5]}),
              (std::vector<std::string>{"11.00", "0.00u", "1.00"}));
    EXPECT_EQ((std::vector<std::string>{(*removing)[3], (*removing)[4], (*removing)[5]}),
              (std::vector<std::string>{"10.00", "1.00", "1.00"}));

    // Used space grows under the total; CPU is a percentage.
    double first = std::stod(t.rows.front()[2]);
    double last = std::stod(t.rows.back()[2]);
    EXPECT_EQ(t.rows.front()[2].back(), 'T');
    EXPECT_EQ(t.rows.back()[2].back(), 'T');
    EXPECT_GT(last, first);
    EXPECT_LT(last, 96.0);
    EXPECT_EQ(t.rows.back()[6].back(), '%');
}

TEST_F(StatsgenDefault, CountersFollowTheirUnits) {
    // Plain numbers at the one-minute range: cpu is a percentage of one core, the extended
    // charts are the sums of their series.
    RunResult r = statsdump(
        {"-i", file_, "-f", "ucpu,scpu,cpu,csrepin,csservin,bwin,chunkcount,chunks", "-r", "0"});
    ASSERT_EQ(r.status, 0);
    Table t = parse_table(r.out);
    ASSERT_EQ(t.rows.size(), 4096u);
    EXPECT_EQ(t.heading[0], "timestamp");
    int checked = 0;
    for (const auto &row : t.rows) {
        if (row[1] == "-") continue;
        ASSERT_EQ(row[1].back(), '%');
        double ucpu = std::stod(row[1]), scpu = std::stod(row[2]), cpu = std::stod(row[3]);
        EXPECT_GT(ucpu, 0.0);
        EXPECT_LT(cpu, 100.0);
        EXPECT_NEAR(cpu, ucpu + scpu, 1e-5) << row[0];
        EXPECT_NEAR(std::stod(row[6]), std::stod(row[4]) + std::stod(row[5]), 1e-3) << row[0];
        EXPECT_EQ(std::stod(row[7]), std::stod(row[8])) << row[0];  // copy + ec4 + ec8 chunks
        checked++;
    }
    EXPECT_EQ(checked, 4096 - 220);  // one minute slot per sample, 220 minutes down
    // Times of the minute range: seconds since 1970, 60 apart, the last one the end time.
    EXPECT_EQ(t.rows.back()[0], "1709640000");
    EXPECT_EQ(t.rows.front()[0], std::to_string(1709640000 - 4095 * 60));
}

TEST(Statsgen, SameSeedGivesTheSameFile) {
    TempDir dir;
    ASSERT_EQ(statsgen({"-o", dir.file("a.zel"), "-d", "20", "-s", "42"}).status, 0);
    ASSERT_EQ(statsgen({"-o", dir.file("b.zel"), "-d", "20", "-s", "42"}).status, 0);
    ASSERT_EQ(statsgen({"-o", dir.file("c.zel"), "-d", "20", "-s", "43"}).status, 0);
    std::string a = read_file(dir.file("a.zel"));
    ASSERT_EQ(a.size(), 16u + 48 * 131172);
    EXPECT_TRUE(a == read_file(dir.file("b.zel")));
    std::string c = read_file(dir.file("c.zel"));
    EXPECT_EQ(c.size(), a.size());
    EXPECT_FALSE(a == c);
}

TEST(Statsgen, DaysAndEndTimeSetTheWindow) {
    TempDir dir;
    // Ten days ending 2023-01-10 00:30 UTC: 11 day slots hold data, the rest of range 3 none.
    ASSERT_EQ(statsgen({"-o", dir.file("s.zel"), "-d", "10", "-e", "1673310600"}).status, 0);
    RunResult r = statsdump({"-i", dir.file("s.zel"), "-f", "totalspace,hdddmg", "-r", "3", "-d"});
    Table t = parse_table(r.out);
    ASSERT_EQ(t.rows.size(), 4096u);
    EXPECT_EQ(t.rows.back()[0], "2023-01-10 00:00");
    int data = 0;
    for (const auto &row : t.rows) {
        if (row[1] == "-") continue;
        data++;
        EXPECT_EQ(row[1], "96000000000000.000000");
        EXPECT_EQ(row[2], "1.000000");  // the disk failed 12 days before the end: before the start
    }
    EXPECT_EQ(data, 11);
}

TEST(Statsgen, SamplesAreMergedInLocalTime) {
    TempDir dir;
    ASSERT_EQ(statsgen({"-o", dir.file("utc.zel"), "-d", "3"}).status, 0);
    ASSERT_EQ(statsgen({"-o", dir.file("east.zel"), "-d", "3"}, {"TZ=<+05>-5"}).status, 0);
    RunResult utc = statsdump({"-i", dir.file("utc.zel"), "-f", "load", "-r", "2", "-d"});
    RunResult east = statsdump({"-i", dir.file("east.zel"), "-f", "load", "-r", "2", "-d"});
    EXPECT_EQ(lines_of(utc.out).back().substr(0, 16), "2024-03-05 12:00");
    EXPECT_EQ(lines_of(east.out).back().substr(0, 16), "2024-03-05 17:00");
}

TEST(Statsgen, ReplacesAnExistingFile) {
    TempDir dir;
    std::string path = dir.file("old.zel");
    zeltest::write_file(path, std::string(100000, 'x'));
    RunResult r = statsgen({"-o", path, "-d", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path).size(), 16u + 48 * 131172);
    EXPECT_EQ(read_file(path).substr(0, 4), std::string("\x00\x01\x00\x00", 4));
}

TEST(Statsgen, HelpExplainsTheOptions) {
    RunResult r = statsgen({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char *text : {"-o - ", "-e - ", "-d - ", "-s - ", "-h - ", "1709640000",
                             "seconds since 1970", "seed", "days"}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    }
}

TEST(Statsgen, BadOptionsWriteNothing) {
    TempDir dir;
    std::string path = dir.file("never.zel");
    const std::vector<std::vector<std::string>> bad = {
        {"-d", "0"}, {"-d", "4097"}, {"-d", "ten"}, {"-e", "12x"}, {"-s", "-1"}, {"-q"}, {"extra"}};
    struct stat st;
    for (const auto &args : bad) {
        std::vector<std::string> argv = {"-o", path};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = statsgen(argv);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << args[0];
        EXPECT_NE(stat(path.c_str(), &st), 0) << args[0];
    }
    // An end time earlier than the days to simulate.
    RunResult r = statsgen({"-o", path, "-e", "1000"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("too early"), std::string::npos);
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST_F(StatsgenDefault, DemoChartsAreWritten) {
    // The charts of make demo: one PNG per field with the field name before the extension.
    TempDir out;
    RunResult r =
        statsdump({"-i", file_, "-f", "cpu,space,bwin", "-r", "2", "-p", out.file("month.png")});
    EXPECT_EQ(r.err, "");
    for (const char *field : {"cpu", "space", "bwin"}) {
        std::string png = read_file(out.file(std::string("month_") + field + ".png"));
        ASSERT_GT(png.size(), 68u) << field;  // more than the one-pixel picture
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << field;
    }
}

}  // namespace
