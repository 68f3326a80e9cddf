// SPDX-License-Identifier: Apache-2.0
// The built statsdump program: help text, usage errors and field selection messages byte for
// byte, exit status 0 on every path, and a run over a real data file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "charts_priv.h"
#include "statsdump.h"
#include "test_util.h"

namespace {

std::string help(const std::string &app) {
    return "usage: " + app +
           " -f fields [-i stats_file] [-r range] [-s separator] [-p png_filename [-x "
           "chart_width] [-y chart_height]] [-hHd]\n"
           "\t-f - field names separated by ',' or '*' for all fields\n"
           "\t-i - name of zel binary stats file (default:/var/zel/csstats.zel)\n"
           "\t-r - range type (see below)\n"
           "\t-s - specify column separator (default: tabulator)\n"
           "\t-p - optional PNG filename (field name will be added before .png ; YYYY -> "
           "YYYY_FIELD.png , YYYY.png -> YYYY_FIELD.png)\n"
           "\t-x - PNG chart width (default: 1600)\n"
           "\t-y - PNG chart height (should be divisible by 20 - if not then it will be "
           "adjusted; default:320)\n"
           "\t-h - \"human-readable\" numbers using base 2 prefixes (IEC 60027)\n"
           "\t-H - \"human-readable\" numbers using base 10 prefixes (SI)\n"
           "\t-d - show timestamps in YYYY-MM-DD HH:MM format\n"
           "\n"
           "\tranges:\n"
           "\t\t0 - short range (minute)\n"
           "\t\t1 - medium range (6 minutes)\n"
           "\t\t2 - long range (30 minutes)\n"
           "\t\t3 - very long range (day)\n"
           "\n"
           "\tfield names:\n"
           "\t\t           ucpu,           scpu,       masterin,      masterout,\n"
           "\t\t        csrepin,       csrepout,       csservin,      csservout,\n"
           "\t\t      hdrbytesr,      hdrbytesw,       hdrllopr,       hdrllopw,\n"
           "\t\t     databytesr,     databytesw,      datallopr,      datallopw,\n"
           "\t\t          hlopr,          hlopw,          rtime,          wtime,\n"
           "\t\t           repl,         create,         delete,        version,\n"
           "\t\t      duplicate,       truncate,       duptrunc,           test,\n"
           "\t\t           load,      memoryrss,     memoryvirt,         movels,\n"
           "\t\t         movehs,         change,          split,      usedspace,\n"
           "\t\t     totalspace,     chunkcount,    tdusedspace,   tdtotalspace,\n"
           "\t\t   tdchunkcount,     copychunks,      ec4chunks,      ec8chunks,\n"
           "\t\t          hddok,         hddmfr,         hdddmg,          udiff,\n"
           "\t\t            cpu,           bwin,          bwout,        hddread,\n"
           "\t\t       hddwrite,        hddopsr,        hddopsw,            mem,\n"
           "\t\t           move,          space,         chunks,         hddcnt,\n";
}

zeltest::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), STATSDUMP_BIN);
    return zeltest::run_program(args, {"TZ=UTC"});
}

TEST(StatsdumpCli, MessagesAndHelp) {
    const std::string h = help(STATSDUMP_BIN);
    const std::string nofields = "fields not specified\n" + h;
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, h},
        {{"-d"}, nofields},
        {{"-f", ""}, nofields},
        {{"-f", ","}, nofields},
        {{"-f", "UCPU"}, "statistic 'UCPU' not found\n" + nofields},
        {{"-f", "ucpu", "-r", "4"}, h},
        {{"-f", "ucpu", "-r", "01"}, h},
        {{"-f", "ucpu", "-r", ""}, h},
        {{"-f", "ucpu", "-s", ""}, h},
        {{"-f", "ucpu", "-s", ",,"}, h},
        {{"-f", "ucpu", "-?"}, h},
        {{"-f", "nope,ucpu", "-r", "9"}, "statistic 'nope' not found\n" + h},
    };
    for (const auto &c : cases) {
        const auto r = run(c.args);
        std::string what;
        for (const auto &a : c.args) what += a + " ";
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err, c.err) << what;
    }
    // An unknown option: the platform's own line first, then the help text.
    const auto r = run({"-f", "ucpu", "-Z"});
    EXPECT_EQ(r.status, 2);
    ASSERT_GT(r.err.size(), h.size());
    EXPECT_EQ(r.err.substr(r.err.size() - h.size()), h);
}

uint32_t clock_2025() {
    return 1740000000;
}

// A data file holding one ucpu sample of 50 % at its newest minute.
std::string make_data_file(const zeltest::TempDir &dir) {
    const std::string path = dir.file("cs.zel");
    charts_set_clock(clock_2025);
    EXPECT_EQ(
        charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(), 0),
        0);
    for (uint32_t i = 0; i < charts::g.statdefscount; i++) {
        for (uint32_t r = 0; r < charts::kRanges; r++) {
            memset(charts::ring(i, r), 0xFF, charts::kRingBytes);
        }
    }
    charts::ring(0, 0)[charts::g.pointers[0]] = 30000000;
    charts::g.timepoint[0] = 29000000;
    charts_store();
    charts_term();
    charts_set_clock(nullptr);
    return path;
}

TEST(StatsdumpCli, TableAndChartsFromDataFile) {
    zeltest::TempDir dir;
    const std::string data = make_data_file(dir);

    auto r = run({"-f", "ucpu", "-f", "ucpu;cpu", "-i", data, "-d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, 14), "date\tucpu\tcpu\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4097);
    EXPECT_EQ(r.out.substr(r.out.size() - 39), "2025-02-19 21:20\t50.000000%\t50.000000%\n");

    const std::string base = dir.file("out");
    r = run({"-f", "ucpu,cpu", "-i", data, "-p", base, "-x", "abc", "-y", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    for (const char *name : {"_ucpu.png", "_cpu.png"}) {
        const std::string png = zeltest::read_file(base + name);
        ASSERT_GT(png.size(), 24u) << name;
        EXPECT_EQ(png.substr(1, 3), "PNG");
        EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x03\xe8\0\0\0\x78", 8));  // 1000 x 120
    }
}

// Every program's exit status on its failing paths: 0 done, 1 a file failed or the server could
// not start, 2 a usage error; --help and --version answer on standard output.
TEST(ExitStatus, EveryProgramEveryPath) {
    zeltest::TempDir dir;
    const std::string data = make_data_file(dir);
    const std::string file = dir.file("plain");
    zeltest::write_file(file, "x");
    const std::string raw = zeltest::read_file(data);
    zeltest::write_file(dir.file("cut.zel"), raw.substr(0, raw.size() / 2));
    zeltest::write_file(dir.file("tag.zel"), "XXXX" + raw.substr(4));
    // A port that is taken: bound and listening while statsweb tries it.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(0, bind(taken, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    ASSERT_EQ(0, listen(taken, 1));
    ASSERT_EQ(0, getsockname(taken, reinterpret_cast<sockaddr *>(&sa), &len));
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));

    const std::string dump = STATSDUMP_BIN, gen = STATSGEN_BIN, web = STATSWEB_BIN;
    const struct {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string out_start;  // standard output starts with this
        std::string err_has;    // standard error contains this
    } cases[] = {
        {dump, {"-i", data, "-f", "ucpu"}, 0, "timestamp\tucpu\n", ""},
        {dump, {"-i", data}, 2, "", "fields not specified\n"},
        {dump, {"-i", data, "-f", "ucpu", "-Z"}, 2, "", "usage: "},
        {dump, {"-i", data, "-f", "ucpu", "-r", "4"}, 2, "", "usage: "},
        {dump, {"-i", data, "-f", "ucpu,nope"}, 2, "timestamp\tucpu\n", "'nope' not found"},
        {dump, {"-i", dir.file("none.zel"), "-f", "ucpu"}, 1, "", "ENOENT"},
        {dump, {"-i", dir.file("cut.zel"), "-f", "ucpu"}, 1, "", "error reading charts data file"},
        {dump,
         {"-i", dir.file("tag.zel"), "-f", "ucpu"},
         1,
         "",
         "unrecognized charts data file format"},
        {dump, {"-i", data, "-f", "cpu", "-p", file + "/c.png"}, 1, "", "can't create output file"},
        {dump, {"-i", data, "-f", "cpu", "-p", dir.file("c.png")}, 0, "", ""},
        {dump, {"--help"}, 0, "usage: " + dump + " -f fields", ""},
        {dump, {"-i", data, "--version"}, 0, "statsdump " ZEL_VERSION "\n", ""},
        {gen, {"-o", file + "/s.zel", "-d", "1"}, 1, "", "can't remove"},
        {gen, {"-d", "0"}, 2, "", "usage: "},
        {gen, {"-x"}, 2, "", "usage: "},
        {gen, {"--help"}, 0, "usage: " + gen, ""},
        {gen, {"--version"}, 0, "statsgen " ZEL_VERSION "\n", ""},
        {web, {"-i", data, "-l", "127.0.0.1:99999"}, 2, "", "usage: "},
        {web, {"-i", data, "-l", "nowhere"}, 2, "", "usage: "},
        {web, {"-i", data, "-z", "No/Such_Zone"}, 2, "", "unknown time zone"},
        {web, {"-i", data, "-l", busy}, 1, "", busy},
        {web, {"-i", data, "-a", dir.file("none")}, 1, "", "can't read auth file"},
        {web, {"--help"}, 0, "usage: " + web, ""},
        {web, {"--version"}, 0, "statsweb " ZEL_VERSION "\n", ""},
    };
    bool left_out = false;
    for (const auto &c : cases) {
        std::string what = c.program.substr(c.program.rfind('/') + 1);
        for (const auto &a : c.args) what += " " + a;
        if (c.program.empty()) {  // statsweb, built only where libmicrohttpd is
            left_out = true;
            continue;
        }
        std::vector<std::string> argv = {c.program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = zeltest::run_program(argv, {"TZ=UTC"});
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.err;
        EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << what;
        EXPECT_NE(r.err.find(c.err_has), std::string::npos) << what << "\n" << r.err;
    }
    close(taken);
    if (left_out) GTEST_SKIP() << "statsweb is not built: libmicrohttpd-dev is missing";
}

}  // namespace
