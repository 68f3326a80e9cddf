// SPDX-License-Identifier: Apache-2.0
// CRC-32: the published check value, agreement with zlib's crc32 as the reference for every
// short length and alignment and for large buffers, chaining through the register, and the
// combination of adjacent pieces.
#include "crc.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

class CrcTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { mycrc32_init(); }

    static uint32_t ref(const unsigned char *p, size_t n, uint32_t crc = 0) {
        return static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(n)));
    }

    static std::vector<unsigned char> random_bytes(size_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<unsigned char> v(n);
        for (auto &b : v) b = static_cast<unsigned char>(rng());
        return v;
    }
};

TEST_F(CrcTest, PublishedCheckValue) {
    EXPECT_EQ(mycrc32(0, "123456789", 9), 0xCBF43926U);
}

TEST_F(CrcTest, ZeroLengthReturnsTheRegisterUnchanged) {
    EXPECT_EQ(mycrc32(0, "", 0), 0U);
    EXPECT_EQ(mycrc32(0xDEADBEEFU, "x", 0), 0xDEADBEEFU);
}

// Lengths 0-40 from every start offset mod 4 exercise the head, one or two blocks and every
// tail length.
TEST_F(CrcTest, EveryShortLengthAtEveryAlignment) {
    auto buf = random_bytes(64, 1);
    for (size_t align = 0; align < 4; align++) {
        for (uint32_t len = 0; len <= 40; len++) {
            const unsigned char *p = buf.data() + align;
            EXPECT_EQ(mycrc32(0, p, len), ref(p, len)) << "align " << align << " len " << len;
        }
    }
}

TEST_F(CrcTest, LargeRandomBuffers) {
    const size_t kMiB = 1 << 20;
    auto buf = random_bytes(kMiB + 3, 2);
    EXPECT_EQ(mycrc32(0, buf.data(), kMiB), ref(buf.data(), kMiB));
    std::mt19937 rng(3);
    for (int i = 0; i < 20; i++) {
        size_t off = rng() % 4;
        uint32_t len = rng() % (kMiB + 1 - off);
        uint32_t seed = rng();
        EXPECT_EQ(mycrc32(seed, buf.data() + off, len), ref(buf.data() + off, len, seed))
            << "offset " << off << " len " << len;
    }
}

TEST_F(CrcTest, ChainingAtEverySplitPoint) {
    auto buf = random_bytes(100, 4);
    const uint32_t whole = ref(buf.data(), buf.size());
    for (uint32_t cut = 0; cut <= buf.size(); cut++) {
        uint32_t c = mycrc32(0, buf.data(), cut);
        EXPECT_EQ(mycrc32(c, buf.data() + cut, static_cast<uint32_t>(buf.size() - cut)), whole)
            << "cut " << cut;
    }
}

TEST_F(CrcTest, ChainingInRandomPieces) {
    auto buf = random_bytes(300000, 5);
    std::mt19937 rng(6);
    uint32_t c = 0;
    size_t pos = 0;
    while (pos < buf.size()) {
        size_t piece = std::min<size_t>(rng() % 5000, buf.size() - pos);
        c = mycrc32(c, buf.data() + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    EXPECT_EQ(c, ref(buf.data(), buf.size()));
}

TEST_F(CrcTest, CombineEqualsTheCrcOfTheJoinedData) {
    auto buf = random_bytes(200000, 7);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{4097}, size_t{131072},
                       buf.size() - 1, buf.size()}) {
        uint32_t a = mycrc32(0, buf.data(), static_cast<uint32_t>(cut));
        uint32_t blen = static_cast<uint32_t>(buf.size() - cut);
        uint32_t b = mycrc32(0, buf.data() + cut, blen);
        EXPECT_EQ(mycrc32_combine(a, b, blen), ref(buf.data(), buf.size())) << "cut " << cut;
    }
}

TEST_F(CrcTest, CombineWithAnEmptySecondPiece) {
    uint32_t a = mycrc32(0, "123456789", 9);
    EXPECT_EQ(mycrc32_combine(a, 0, 0), a);
    EXPECT_EQ(mycrc32_combine(0x12345678U, 0x9ABCDEF0U, 0), 0x12345678U ^ 0x9ABCDEF0U);
}

// Lengths far beyond any buffer the test can hold: zlib's own combination is the reference.
TEST_F(CrcTest, CombineWithHighLengthBits) {
    std::mt19937 rng(8);
    for (uint32_t len : {0x80000000U, 0xFFFFFFFFU, 0x40000001U, 0xC0FFEE00U, 0x10000U}) {
        for (int i = 0; i < 4; i++) {
            uint32_t a = rng();
            uint32_t b = rng();
            EXPECT_EQ(mycrc32_combine(a, b, len),
                      static_cast<uint32_t>(crc32_combine(a, b, static_cast<z_off_t>(len))))
                << "len " << len;
        }
    }
}

}  // namespace
