// SPDX-License-Identifier: Apache-2.0
// The command in-process: catalogue, field selection, text table and chart files over stores
// built directly in memory.
#include "statsdump.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "charts_priv.h"
#include "charts_query_util.h"
#include "datafile_builder.h"
#include "statsdump_main.h"
#include "statsdump_priv.h"
#include "strerr.h"
#include "test_util.h"

namespace {

using charts::g;

using zeldata::sid;

uint32_t fixed_clock() {
    return 1740000000;
}

// ---- catalogue ----

TEST(StatsdumpCatalogue, Content) {
    uint32_t n = 0, e = 0;
    while (statsdump_statdefs[n].name != nullptr) n++;
    while (statsdump_estatdefs[e].name != nullptr) e++;
    ASSERT_EQ(n, 48u);
    ASSERT_EQ(e, 12u);
    EXPECT_EQ(statsdump_statdefs[48].divisor, 0);
    EXPECT_EQ(statsdump_estatdefs[12].divisor, 0);
    EXPECT_STREQ(statsdump_statdefs[0].name, "ucpu");
    EXPECT_EQ(statsdump_statdefs[0].statid, 0x55435055u);
    EXPECT_STREQ(statsdump_statdefs[47].name, "udiff");
    EXPECT_EQ(statsdump_statdefs[42].statid, sid("EC4C"));
    EXPECT_EQ(statsdump_statdefs[18].divisor, 60000);
    EXPECT_STREQ(statsdump_estatdefs[7].name, "mem");
    EXPECT_EQ(statsdump_estatdefs[7].c1src, 1000u);
    EXPECT_EQ(statsdump_estatdefs[11].c3src, 47u);

    // Names unique; statids unique with the case bits ignored; sources filled without gaps.
    std::set<std::string> names;
    std::set<uint32_t> ids;
    for (uint32_t i = 0; i < n; i++) {
        names.insert(statsdump_statdefs[i].name);
        ids.insert(statsdump_statdefs[i].statid & 0xDFDFDFDF);
    }
    for (uint32_t j = 0; j < e; j++) {
        const estatdef &d = statsdump_estatdefs[j];
        names.insert(d.name);
        ids.insert(d.statid & 0xDFDFDFDF);
        EXPECT_TRUE(d.c1src != 0 && (d.c2src != 0 || d.c3src == 0)) << d.name;
        for (uint32_t src : {d.c1src, d.c2src, d.c3src}) {
            EXPECT_TRUE(src <= 48 || src == 1000 || src == 1001) << d.name;
        }
    }
    EXPECT_EQ(names.size(), 60u);
    EXPECT_EQ(ids.size(), 60u);
    // Names and chart types, both ways.
    for (const std::string &name : names) {
        EXPECT_EQ(name, statsdump_field_name(statsdump_field_type(name.c_str())));
    }
    for (int32_t type : {-1, 48, 99, 112, 1000}) EXPECT_EQ(nullptr, statsdump_field_name(type));
    const uint32_t seconds[] = {60, 360, 1800, 86400, 0, 0};
    for (uint32_t r = 0; r < 6; r++) EXPECT_EQ(seconds[r], charts_range_seconds(r)) << r;

    const std::vector<uint32_t> calcs(statsdump_calcdefs, statsdump_calcdefs + 15);
    EXPECT_EQ(calcs, (std::vector<uint32_t>{1000, 0, 30, 29, 1002, 1004, 1999, 1000, 0, 36, 35,
                                            1002, 1004, 1999, 2000}));
}

// ---- field selection ----

struct ParseCase {
    std::vector<const char *> args;  // the -f arguments, in order
    std::vector<int32_t> list;
    const char *err;
};

std::vector<int32_t> all_fields() {
    std::vector<int32_t> v;
    for (int32_t i = 0; i < 48; i++) v.push_back(i);
    for (int32_t j = 0; j < 12; j++) v.push_back(100 + j);
    return v;
}

TEST(StatsdumpParse, Selection) {
    std::vector<int32_t> cpu_star = {100};
    for (int32_t i = 0; i < 48; i++) cpu_star.push_back(i);
    for (int32_t j = 1; j < 12; j++) cpu_star.push_back(100 + j);
    const ParseCase cases[] = {
        {{"ucpu,ucpu", "ucpu;cpu"}, {0, 100}, ""},
        {{"cpu *"}, cpu_star, ""},
        {{"*"}, all_fields(), ""},
        {{"*", "*,ucpu"}, all_fields(), ""},
        {{"UCPU"}, {}, "statistic 'UCPU' not found\n"},
        {{""}, {}, ""},
        {{",;, "}, {}, ""},
        {{"udiff, x ;hddcnt", "nope"},
         {47, 111},
         "statistic 'x' not found\nstatistic 'nope' not found\n"},
        {{"ec8chunks,,,masterin", ""}, {43, 2}, ""},
    };
    for (const auto &c : cases) {
        statsdump::reset_selection();
        int32_t *list = nullptr;
        zeltest::CaptureFd err(2);
        for (const char *a : c.args) ASSERT_EQ(statsdump_parse(&list, a), 0);
        const std::string errtext = err.text();
        ASSERT_NE(list, nullptr);
        std::vector<int32_t> got;
        for (size_t k = 0; list[k] >= 0 && k < 100; k++) got.push_back(list[k]);
        EXPECT_EQ(got, c.list) << c.args[0];
        EXPECT_EQ(errtext, c.err) << c.args[0];
        free(list);

        // The reentrant parser gives the same list and hands over the same unknown names.
        list = nullptr;
        std::string unknown;
        int unknowns = 0;
        auto note = [](void *ctx, const char *name, size_t length) {
            *static_cast<std::string *>(ctx) +=
                "statistic '" + std::string(name, length) + "' not found\n";
        };
        zeltest::CaptureFd quiet(2);
        for (const char *a : c.args) unknowns += statsdump_parse_fields(&list, a, note, &unknown);
        EXPECT_EQ("", quiet.text());
        ASSERT_NE(list, nullptr);
        got.clear();
        for (size_t k = 0; list[k] >= 0 && k < 100; k++) got.push_back(list[k]);
        EXPECT_EQ(got, c.list) << c.args[0];
        EXPECT_EQ(unknown, c.err) << c.args[0];
        EXPECT_EQ(std::count(unknown.begin(), unknown.end(), '\n'), unknowns);
        free(list);
    }
    statsdump::reset_selection();
    // It keeps no selection of its own: a new list takes a field again, an old one does not.
    int32_t *a = nullptr, *b = nullptr;
    EXPECT_EQ(0, statsdump_parse_fields(&a, "cpu", nullptr, nullptr));
    EXPECT_EQ(1, statsdump_parse_fields(&b, "cpu x", nullptr, nullptr));
    EXPECT_EQ(0, statsdump_parse_fields(&b, "cpu,ucpu", nullptr, nullptr));
    EXPECT_EQ((std::vector<int32_t>{100, -1}), std::vector<int32_t>(a, a + 2));
    EXPECT_EQ((std::vector<int32_t>{100, 0, -1}), std::vector<int32_t>(b, b + 3));
    free(a);
    free(b);
}

// ---- store fixture: the real catalogue, server mode without a data file, fixed clock ----

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        charts_set_clock(fixed_clock);
        ASSERT_EQ(charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs,
                              dir_.file("missing.zel").c_str(), 0),
                  0);
        for (uint32_t i = 0; i < g.statdefscount; i++) {
            for (uint32_t r = 0; r < charts::kRanges; r++) {
                memset(charts::ring(i, r), 0xFF, charts::kRingBytes);
            }
        }
        // Newest slot at ring index 4095, so ring index k is row k of the table.
        for (uint32_t r = 0; r < charts::kRanges; r++) g.pointers[r] = 4095;
        g.timepoint[0] = 29000000;  // 1,740,000,000 / 60
        g.timepoint[3] = 20000;     // 1,728,000,000 / 86400
    }
    void TearDown() override {
        charts_term();
        charts_set_clock(nullptr);
    }
    static std::string table(std::vector<int32_t> fields, uint32_t range, char sep, uint8_t flags) {
        fields.push_back(-1);
        zeltest::CaptureFd out(1);
        statsdump_gencsv(fields.data(), range, sep, flags);
        return out.text();
    }
    static std::vector<std::string> lines(const std::string &text) {
        std::vector<std::string> v;
        size_t pos = 0;
        for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            v.push_back(text.substr(pos, nl - pos));
        }
        EXPECT_EQ(pos, text.size()) << "text does not end with a line end";
        return v;
    }
    zeltest::TempDir dir_;
};

TEST_F(StoreTest, TableValuesAndTimes) {
    charts::ring(0, 0)[4095] = 30000000;  // ucpu: 50 %
    charts::ring(1, 0)[4095] = 60000000;  // scpu: 100 %
    charts::ring(1, 0)[4094] = 60000000;  // cpu from scpu alone where ucpu has no data
    charts::ring(2, 0)[0] = 7500000;      // masterin: 1,000,000
    const auto l = lines(table({0, 100, 2}, 0, '\t', 0));
    ASSERT_EQ(l.size(), 4097u);
    EXPECT_EQ(l[0], "timestamp\tucpu\tcpu\tmasterin");
    EXPECT_EQ(l[1], "1739754300\t-\t-\t1000000.000000");  // 1,740,000,000 - 4095 * 60
    EXPECT_EQ(l[2], "1739754360\t-\t-\t-");
    EXPECT_EQ(l[4095], "1739999940\t-\t100.000000%\t-");
    EXPECT_EQ(l[4096], "1740000000\t50.000000%\t150.000000%\t-");
}

TEST_F(StoreTest, TableFormatsAndDates) {
    charts::ring(0, 0)[4095] = 30000000;
    charts::ring(2, 0)[4095] = 7500000;
    auto l = lines(table({0, 2}, 0, ',', 1 | 2 | 4));  // -d, and -H wins over -h
    EXPECT_EQ(l[0], "date,ucpu,masterin");
    EXPECT_EQ(l[1], "2025-02-17 01:05,-,-");
    EXPECT_EQ(l[4096], "2025-02-19 21:20,50.00%,1.00M");
    l = lines(table({2}, 0, '\t', 4));
    EXPECT_EQ(l[4096], "1740000000\t976.56Ki");
}

TEST_F(StoreTest, TableRangeThreeAndWrappingTimes) {
    auto l = lines(table({47}, 3, '\t', 0));
    EXPECT_EQ(l[4096], "1728000000\t-");
    EXPECT_EQ(l[4095], "1727913600\t-");
    g.timepoint[0] = 10;  // the first row lies before 1970: 32-bit wrap
    l = lines(table({47}, 0, '\t', 0));
    EXPECT_EQ(l[1], "4294722196\t-");
    EXPECT_EQ(l[4096], "600\t-");
}

TEST_F(StoreTest, TableFieldWithoutAnswerShowsNoData) {
    // A chart type the store does not know: the query writes nothing, the column stays "-".
    const auto l = lines(table({0, 48}, 0, '\t', 0));
    EXPECT_EQ(l[0], "timestamp\tucpu\t");
    EXPECT_EQ(l[4096], "1740000000\t-\t-");
}

// The table of a store whose factors reach the largest texts (stored numbers near 2^64 times
// 3 * 10^9) against "%lf" of the values the store answers, in every row: values that repeat in
// runs (copied from the row before, also through the pieces the table is written in), numbers of
// 2^52 and more, no data, and texts longer than a repeat's quick copy.
TEST(StatsdumpTable, MatchesPrintfOfTheStoredValues) {
    zeltest::TestStore store;
    uint64_t x = 7;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        uint64_t v = CHARTS_NODATA;
        for (uint32_t s = 0; s < charts::kRingLength; s++) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            // Of eight cases three keep the value of the slot before.
            const uint64_t kind = x >> 61;
            if (kind == 0) v = CHARTS_NODATA;
            if (kind == 1) v = CHARTS_NODATA - 1 - (x >> 20);  // the longest texts
            if (kind == 2) v = (uint64_t(1) << 52) + (x >> 12);
            if (kind == 3) v = (x >> 20) % 1000;
            if (kind == 4) v = x >> 24;
            // sc changes every 1000 slots: its runs outlast the pieces the table is written in.
            charts::ring(i, 0)[s] = i == 2 ? s / 1000 * 123456789 : v;
        }
    }
    std::vector<int32_t> fields;
    for (int32_t k = 0; k < 12; k++) fields.push_back(k % 4);  // 12 columns, so many pieces
    fields.push_back(-1);
    std::string text;
    {
        zeltest::CaptureFd out(1);
        statsdump_gencsv(fields.data(), 0, '\t', 0);
        text = out.text();
    }
    std::vector<double> values[4];
    for (uint32_t i = 0; i < 4; i++) {
        values[i].resize(charts::kRingLength);
        uint32_t ts = 0, rsec = 0;
        charts_getdata(values[i].data(), &ts, &rsec, i * 10);
    }
    size_t pos = text.find('\n') + 1, longest = 0;
    for (uint32_t row = 0; row < charts::kRingLength; row++) {
        const size_t end = text.find('\n', pos);
        ASSERT_NE(std::string::npos, end);
        std::string want;
        for (int32_t k = 0; k < 12; k++) {
            const double v = values[k % 4][row];
            char cell[400] = "-";
            if (v != -1.0) {
                snprintf(cell, sizeof cell, "%lf%s", v,
                         statsdump::field_info(k % 4).percent ? "%" : "");
            }
            longest = std::max(longest, strlen(cell));
            want += '\t';
            want += cell;
        }
        const std::string line = text.substr(pos, end - pos);
        ASSERT_EQ(want, line.substr(line.find('\t'))) << "row " << row;
        pos = end + 1;
    }
    EXPECT_EQ(text.size(), pos);
    EXPECT_GT(longest, 32u);
}

// ---- chart files ----

std::string png_of(uint32_t number, uint32_t w, uint32_t h) {
    std::string bytes(charts_make_png(number, w, h), '\0');
    charts_get_png(reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

TEST_F(StoreTest, ChartFileNames) {
    // The scratch directory's own name has a dot: only the last component's dot counts.
    ASSERT_NE(dir_.path().find('.'), std::string::npos);
    ASSERT_EQ(mkdir(dir_.file("v1.2").c_str(), 0777), 0);
    const struct {
        const char *arg, *file;
    } cases[] = {
        {"chart", "chart_ucpu.png"},
        {"chart.png", "chart_ucpu.png"},
        {"day.2024.png", "day.2024_ucpu.png"},
        {"chart.gif", "chart_ucpu.gif"},
        {".png", ".png_ucpu.png"},
        {"v1.2/day", "v1.2/day_ucpu.png"},
        {"v1.2/.x", "v1.2/.x_ucpu.png"},
        {"v1.2/a.b.png", "v1.2/a.b_ucpu.png"},
    };
    const int32_t fields[] = {0, -1};
    for (const auto &c : cases) {
        zeltest::CaptureFd err(2);
        statsdump_genpng(fields, 0, dir_.file(c.arg).c_str(), 1600, 320);
        EXPECT_EQ(err.text(), "") << c.arg;
        EXPECT_TRUE(std::filesystem::exists(dir_.file(c.file))) << c.arg;
    }
}

TEST_F(StoreTest, ChartFilesContentModeAndTruncation) {
    for (uint32_t s = 0; s < 4096; s++) charts::ring(0, 1)[s] = 1000000 * (s % 50);
    const std::string out = dir_.file("out");
    zeltest::write_file(out + "_ucpu.png", std::string(1 << 20, 'x'));  // replaced, not kept
    const mode_t old = umask(0);
    const int32_t fields[] = {0, 100, -1};
    statsdump_genpng(fields, 1, out.c_str(), 0, 0);
    umask(old);
    const std::string ucpu = zeltest::read_file(out + "_ucpu.png");
    const std::string cpu = zeltest::read_file(out + "_cpu.png");
    EXPECT_EQ(ucpu, png_of(1, 0, 0));
    EXPECT_EQ(cpu, png_of(1001, 0, 0));
    ASSERT_GE(ucpu.size(), 24u);
    EXPECT_EQ(ucpu.substr(16, 8), std::string("\0\0\x03\xe8\0\0\0\x78", 8));  // 1000 x 120
    struct stat st;
    ASSERT_EQ(stat((out + "_cpu.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(StoreTest, ChartFileErrorsNameTheArgument) {
    const std::string arg = dir_.file("nodir/out.png");
    const int32_t fields[] = {0, 100, -1};
    strerr_init();
    zeltest::CaptureFd err(2);
    statsdump_genpng(fields, 0, arg.c_str(), 1600, 320);
    const std::string line =
        "can't create output file " + arg + ": ENOENT (No such file or directory)\n";
    EXPECT_EQ(err.text(), line + line);
    strerr_term();
}

// ---- the whole command, run twice in one process ----

TEST_F(StoreTest, MainRunsRepeatedlyInProcess) {
    charts::ring(0, 0)[4095] = 30000000;
    g.timepoint[0] = 29000000;
    charts_store();  // the fixture's store becomes the data file
    const std::string path = g.statsfilename;
    charts_term();
    std::vector<std::string> args = {"statsdump", "-f", "ucpu,cpu", "-i", path, "-s", ";"};
    auto run = [&] {
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        zeltest::CaptureFd out(1);
        EXPECT_EQ(statsdump_main(int(args.size()), argv.data()), 0);
        return out.text();
    };
    const std::string first = run();
    EXPECT_EQ(first.substr(0, 20), "timestamp;ucpu;cpu\n1");
    EXPECT_NE(first.find("\n1740000000;50.000000%;50.000000%\n"), std::string::npos);
    EXPECT_EQ(run(), first);
    // Leave a store for TearDown to release.
    ASSERT_EQ(charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs,
                          dir_.file("missing.zel").c_str(), 0),
              0);
}

}  // namespace
