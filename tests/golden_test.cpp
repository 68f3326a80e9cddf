// SPDX-License-Identifier: Apache-2.0
// Golden digests of the demo outputs: statsgen's data file with its default options, the table
// of every field in every range and number format, and the charts of a handful of fields in
// two ranges. Each output is checked for its shape (rows, columns, times, PNG structure) and its
// length and 64-bit FNV-1a digest are compared with tests/golden/digests.txt, so that any change
// of the bytes the programs write shows up here.
//
// ZEL_UPDATE_GOLDEN=1 rewrites tests/golden/digests.txt in the source tree from the current
// outputs instead of comparing; the shape checks still run.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "charts.h"
#include "datafile_builder.h"
#include "test_util.h"

#ifdef ZEL_HAVE_LIBPNG
#include <png.h>
#endif

namespace {

using zeltest::read_file;
using zeltest::run_program;
using zeltest::split;
using zeltest::TempDir;

const char *const kTz = "TZ=Europe/Warsaw";
constexpr size_t kDataFileBytes = 6296272;
constexpr int kRows = 4096;
constexpr int kFields = 60;
// statsgen's default last sample, 2024-03-05 12:00 UTC, is 13:00 in Warsaw (UTC+1 in March);
// the newest slot of each range starts at these local wall-clock times.
const char *const kNewestSlot[4] = {"2024-03-05 13:00", "2024-03-05 13:00", "2024-03-05 13:00",
                                    "2024-03-05 00:00"};
// Charts whose PNG files are kept: one and two plain series, both computed series, three series.
const char *const kChartFields = "ucpu,cpu,mem,space,chunks,hddcnt,udiff";
const uint32_t kChartRanges[2] = {0, 3};

std::string golden_path() {
    return std::string(ZEL_SOURCE_DIR) + "/tests/golden/digests.txt";
}

uint64_t fnv1a64(const std::string &bytes) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001B3ULL;
    }
    return h;
}

std::string digest(const std::string &bytes) {
    char buf[64];
    snprintf(buf, sizeof buf, "%zu %016llx", bytes.size(), (unsigned long long)fnv1a64(bytes));
    return buf;
}

using zeldata::be32_at;

// Every output of the demo, generated once for the whole suite, in a fixed order.
struct Demo {
    std::vector<std::pair<std::string, std::string>> outputs;  // name, bytes
    std::string setup_error;                                   // empty when all programs ran
};

const Demo &demo() {
    static Demo d = [] {
        Demo r;
        TempDir dir;
        std::string data = dir.file("csstats.zel");
        auto gen = run_program({STATSGEN_BIN, "-o", data}, {kTz});
        if (gen.status != 0) {
            r.setup_error = "statsgen failed: " + gen.err;
            return r;
        }
        r.outputs.emplace_back("statsgen.zel", read_file(data));
        const char *formats[4][2] = {{"plain", nullptr}, {"H", "-H"}, {"h", "-h"}, {"d", "-d"}};
        for (uint32_t range = 0; range < 4; range++) {
            for (auto &f : formats) {
                std::vector<std::string> argv = {STATSDUMP_BIN,        "-i", data, "-f", "*", "-r",
                                                 std::to_string(range)};
                if (f[1] != nullptr) argv.push_back(f[1]);
                auto res = run_program(argv, {kTz});
                if (res.status != 0 || !res.err.empty()) {
                    r.setup_error = "statsdump " + std::string(f[0]) + " failed: " + res.err;
                }
                r.outputs.emplace_back("table.r" + std::to_string(range) + "." + f[0], res.out);
            }
        }
        auto comma = run_program(
            {STATSDUMP_BIN, "-i", data, "-f", "ucpu,cpu,space,load", "-r", "1", "-s", ",", "-d"},
            {kTz});
        r.outputs.emplace_back("table.r1.comma", comma.out);
        for (uint32_t range : kChartRanges) {
            std::string base = dir.file("r" + std::to_string(range) + ".png");
            auto res = run_program({STATSDUMP_BIN, "-i", data, "-f", kChartFields, "-r",
                                    std::to_string(range), "-p", base},
                                   {kTz});
            if (res.status != 0 || !res.err.empty()) {
                r.setup_error = "statsdump -p failed: " + res.err;
            }
            for (const std::string &field : split(kChartFields, ',')) {
                std::string name = "r" + std::to_string(range) + "_" + field + ".png";
                r.outputs.emplace_back("png." + name, read_file(dir.file(name)));
            }
        }
        return r;
    }();
    return d;
}

const std::string &output(const std::string &name) {
    for (const auto &o : demo().outputs) {
        if (o.first == name) return o.second;
    }
    static const std::string none;
    return none;
}

TEST(GoldenTest, ProgramsRun) {
    EXPECT_EQ(demo().setup_error, "");
}

TEST(GoldenTest, DataFileIsFullAndTagged) {
    const std::string &f = output("statsgen.zel");
    ASSERT_EQ(f.size(), kDataFileBytes);
    EXPECT_EQ(be32_at(f, 0), 0x00010000u);
    EXPECT_EQ(be32_at(f, 4), 4096u);
    EXPECT_EQ(be32_at(f, 8), 48u);
    // The newest minute is the last sample's local minute: 13:00 in Warsaw.
    EXPECT_EQ(be32_at(f, 12), (1709640000u + 3600u) / 60u);
    EXPECT_EQ(f.substr(16, 5), std::string("ucpu\0", 5));
}

TEST(GoldenTest, TablesHaveEveryRowAndColumn) {
    for (uint32_t range = 0; range < 4; range++) {
        for (const char *fmt : {"plain", "H", "h", "d"}) {
            SCOPED_TRACE("range " + std::to_string(range) + " format " + fmt);
            std::vector<std::string> lines =
                split(output("table.r" + std::to_string(range) + "." + fmt), '\n');
            ASSERT_EQ(lines.size(), (size_t)kRows + 2);  // heading, rows, empty after the last
            EXPECT_EQ(lines.back(), "");
            std::vector<std::string> head = split(lines[0], '\t');
            ASSERT_EQ(head.size(), (size_t)kFields + 1);
            EXPECT_EQ(head[0], strcmp(fmt, "d") == 0 ? "date" : "timestamp");
            EXPECT_EQ(head[1], "ucpu");
            EXPECT_EQ(head[48], "udiff");
            EXPECT_EQ(head[49], "cpu");
            EXPECT_EQ(head[60], "hddcnt");
            size_t present = 0;
            for (int j = 1; j <= kRows; j++) {
                std::vector<std::string> cols = split(lines[j], '\t');
                ASSERT_EQ(cols.size(), (size_t)kFields + 1) << "row " << j;
                for (size_t c = 1; c < cols.size(); c++) present += cols[c] != "-";
                if (strcmp(fmt, "d") != 0 && j > 1) {
                    uint32_t prev = (uint32_t)std::stoul(split(lines[j - 1], '\t')[0]);
                    uint32_t cur = (uint32_t)std::stoul(cols[0]);
                    ASSERT_EQ(cur - prev, charts_range_seconds(range)) << "row " << j;
                }
            }
            EXPECT_GT(present, (size_t)kFields * 100);  // the demo has data in every range
            if (strcmp(fmt, "d") == 0) {
                EXPECT_EQ(lines[kRows].substr(0, 16), kNewestSlot[range]);
            }
        }
    }
}

TEST(GoldenTest, PercentFieldsCarryTheSign) {
    std::vector<std::string> lines = split(output("table.r0.H"), '\n');
    ASSERT_GT(lines.size(), 10u);
    // The newest row: ucpu, scpu and cpu are present and end in "%", load does not.
    std::vector<std::string> cols = split(lines[kRows], '\t');
    ASSERT_EQ(cols.size(), (size_t)kFields + 1);
    EXPECT_EQ(cols[1].back(), '%');
    EXPECT_EQ(cols[2].back(), '%');
    EXPECT_EQ(cols[49].back(), '%');
    EXPECT_NE(cols[29].back(), '%');
}

TEST(GoldenTest, ChartsArePngsOfTheDefaultSize) {
    for (const auto &o : demo().outputs) {
        if (o.first.rfind("png.", 0) != 0) continue;
        SCOPED_TRACE(o.first);
        const std::string &png = o.second;
        ASSERT_GT(png.size(), 863u);
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(png.substr(12, 4), "IHDR");
        EXPECT_EQ(be32_at(png, 16), 1600u);
        EXPECT_EQ(be32_at(png, 20), 320u);
        EXPECT_EQ(be32_at(png, 839), png.size() - 863);  // IDAT length: everything between
        EXPECT_EQ(png.substr(png.size() - 12), std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
#ifdef ZEL_HAVE_LIBPNG
        png_image img;
        memset(&img, 0, sizeof img);
        img.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&img, png.data(), png.size())) << img.message;
        img.format = PNG_FORMAT_RGBA;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(img));
        EXPECT_TRUE(png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) << img.message;
        EXPECT_EQ(img.width, 1600u);
        EXPECT_EQ(img.height, 320u);
#endif
    }
}

// The tool shows the server's wall-clock time as stored; the reader's time zone changes nothing.
TEST(GoldenTest, TableDoesNotDependOnTheReadersTimeZone) {
    TempDir dir;
    std::string data = dir.file("csstats.zel");
    zeltest::write_file(data, output("statsgen.zel"));
    auto ny = run_program({STATSDUMP_BIN, "-i", data, "-f", "*", "-r", "0", "-d"},
                          {"TZ=America/New_York"});
    EXPECT_EQ(ny.out, output("table.r0.d"));
}

TEST(GoldenTest, DigestsMatch) {
    ASSERT_EQ(demo().setup_error, "");
    const char *update = getenv("ZEL_UPDATE_GOLDEN");
    if (update != nullptr && strcmp(update, "1") == 0) {
        std::filesystem::create_directories(std::filesystem::path(golden_path()).parent_path());
        FILE *f = fopen(golden_path().c_str(), "w");
        ASSERT_NE(f, nullptr) << golden_path();
        fprintf(f,
                "# Golden digests of the demo outputs (tests/golden_test.cpp): name, length in "
                "bytes, 64-bit FNV-1a.\n# statsgen with its default options, TZ=Europe/Warsaw. "
                "Regenerate with ZEL_UPDATE_GOLDEN=1.\n");
        for (const auto &o : demo().outputs) {
            fprintf(f, "%s %s\n", o.first.c_str(), digest(o.second).c_str());
        }
        fclose(f);
        return;
    }
    std::string text = read_file(golden_path());
    ASSERT_FALSE(text.empty()) << "no golden digests at " << golden_path()
                               << "; generate them with ZEL_UPDATE_GOLDEN=1";
    std::map<std::string, std::string> want;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.find(' ');
        want[line.substr(0, sp)] = line.substr(sp + 1);
    }
    EXPECT_EQ(want.size(), demo().outputs.size());
    for (const auto &o : demo().outputs) {
        auto it = want.find(o.first);
        if (it == want.end()) {
            ADD_FAILURE() << o.first << " has no golden digest";
            continue;
        }
        EXPECT_EQ(digest(o.second), it->second) << o.first << " differs from its golden digest";
    }
}

}  // namespace
