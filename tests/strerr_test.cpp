// SPDX-License-Identifier: Apache-2.0
// Error-number texts: known numbers, the number two symbols share, unknown numbers in the
// shared buffer, lookups before strerr_init and rebuilding after strerr_term.
#include "strerr.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>

#include <set>
#include <string>

namespace {

class StrerrTest : public ::testing::Test {
  protected:
    void SetUp() override { strerr_term(); }
    void TearDown() override { strerr_term(); }
};

bool is_unknown(const char *text) {
    return std::string(text).rfind("Unknown error: ", 0) == 0;
}

TEST_F(StrerrTest, ZeroIsSuccessEvenBeforeInit) {
    EXPECT_STREQ(strerr(0), "Success (errno=0)");
    strerr_init();
    EXPECT_STREQ(strerr(0), "Success (errno=0)");
}

TEST_F(StrerrTest, KnownNumbers) {
    strerr_init();
    const struct {
        int num;
        const char *text;
    } cases[] = {
        {E2BIG, "E2BIG (Argument list too long)"},
        {EACCES, "EACCES (Permission denied)"},
        {ENOENT, "ENOENT (No such file or directory)"},
        {EAGAIN, "EAGAIN (Resource temporarily unavailable)"},
        {ENOSYS, "ENOSYS (Unsupported file system operation)"},
        {EPROTOTYPE, "EPROTOTYPE (Protocol wrong type for socket)"},
        {EPROTO, "EPROTO (Protocol error)"},
        {ETOOMANYREFS, "ETOOMANYREFS (Too many references: cannot splice)"},
        {ESTALE, "ESTALE (Stale NFS file handle)"},
        {EXDEV, "EXDEV (Cross-device link)"},
        // Two symbols, one number here: the first in table order answers.
        {ENOTSUP, "ENOTSUP (Operation not supported)"},
        {EOPNOTSUPP, "ENOTSUP (Operation not supported)"},
    };
    for (const auto &c : cases) EXPECT_STREQ(strerr(c.num), c.text) << c.num;
}

TEST_F(StrerrTest, BuildsTheTableOnDemand) {
    EXPECT_STREQ(strerr(ENOENT), "ENOENT (No such file or directory)");
    strerr_init();  // already built: keeps it
    EXPECT_STREQ(strerr(EIO), "EIO (Input/output error)");
}

TEST_F(StrerrTest, UnknownNumbersShareOneBuffer) {
    strerr_init();
    const char *first = strerr(999);
    EXPECT_STREQ(first, "Unknown error: 999");
    const char *second = strerr(-1);
    EXPECT_EQ(second, first);
    EXPECT_STREQ(first, "Unknown error: -1");
    EXPECT_STREQ(strerr(INT_MIN), "Unknown error: -2147483648");
    EXPECT_STREQ(strerr(INT_MAX), "Unknown error: 2147483647");
}

TEST_F(StrerrTest, TermAndInitAgainRebuilds) {
    strerr_init();
    EXPECT_STREQ(strerr(12345), "Unknown error: 12345");
    strerr_term();
    strerr_term();
    strerr_init();
    EXPECT_STREQ(strerr(EBUSY), "EBUSY (Device or resource busy)");
    EXPECT_STREQ(strerr(54321), "Unknown error: 54321");
}

#ifdef __linux__
// 95 symbols, 11 of them missing here, and ENOTSUP/EOPNOTSUPP sharing one number: every
// remaining entry must be reachable through the hash, each number answering with its own
// well-formed text.
TEST_F(StrerrTest, EveryEntryOfThisPlatformIsReachable) {
    strerr_init();
    int known = 0;
    std::set<std::string> texts;
    for (int n = -300; n <= 300; n++) {
        const char *t = strerr(n);
        if (n == 0 || is_unknown(t)) continue;
        known++;
        std::string s(t);
        EXPECT_EQ(s[0], 'E') << n;
        EXPECT_NE(s.find(" ("), std::string::npos) << n;
        EXPECT_EQ(s.back(), ')') << n;
        texts.insert(s);
    }
    EXPECT_EQ(known, 83);
    EXPECT_EQ(texts.size(), 83U);
    EXPECT_EQ(texts.count("EOPNOTSUPP (Operation not supported on transport endpoint)"), 0U);
}
#endif

}  // namespace
