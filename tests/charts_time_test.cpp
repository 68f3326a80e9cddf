// SPDX-License-Identifier: Apache-2.0
// Sampling and time keeping: period numbers in local time, wall-clock keys, ranges advancing
// over gaps, late samples, merges of samples in one slot and daylight saving changes.
#include <gtest/gtest.h>

#include <array>

#include "charts_priv.h"
#include "charts_store_util.h"
#include "test_util.h"

using namespace charts;
using zeltest::StoreFixture;

namespace {

constexpr uint32_t kDay = 1709596800;        // 2024-03-05 00:00:00 UTC
constexpr uint32_t k1337Utc = 1709645820;    // 2024-03-05 13:37:00 UTC, 14:37 in Warsaw
constexpr uint32_t kSpringUtc = 1711846800;  // 2024-03-31 01:00 UTC: Warsaw 02:00 CET -> 03:00
constexpr uint32_t kAutumnUtc = 1729990800;  // 2024-10-27 01:00 UTC: Warsaw 03:00 CEST -> 02:00

using Vec = std::array<uint64_t, 3>;  // alpha (additive), beta (level), gamma (additive)

// An empty server-mode store whose clock stands at start.
class SampleStore {
  public:
    explicit SampleStore(uint32_t start) : store_(init_path(start), 0) { EXPECT_EQ(0, store_.rc); }
    // Every slot of every ring holds a distinct value, so cleared and merged slots show.
    void fill() {
        for (uint32_t i = 0; i < g.statdefscount; i++) {
            for (uint32_t r = 0; r < kRanges; r++) {
                for (uint32_t s = 0; s < kRingLength; s++) {
                    charts::ring(i, r)[s] = 1000000 * (i + 1) + 10000 * r + s;
                }
            }
        }
    }

  private:
    const std::string &init_path(uint32_t start) {
        zeltest::store_clock_now = start;
        path_ = dir_.file("none.zel");
        return path_;
    }
    zeltest::TempDir dir_;
    std::string path_;
    StoreFixture store_;
};

struct Snapshot {
    uint32_t pointers[kRanges];
    uint32_t timepoint[kRanges];
    std::vector<uint64_t> rings[3][kRanges];
};

Snapshot snapshot() {
    Snapshot s;
    for (uint32_t r = 0; r < kRanges; r++) {
        s.pointers[r] = g.pointers[r];
        s.timepoint[r] = g.timepoint[r];
        for (uint32_t i = 0; i < 3; i++)
            s.rings[i][r].assign(charts::ring(i, r), charts::ring(i, r) + 4096);
    }
    return s;
}

uint64_t merged(uint32_t i, uint64_t cur, uint64_t v) {
    if (cur == CHARTS_NODATA) return v;
    if (zeltest::kStoreStats[i].mode == 0) return cur + v;
    return v > cur ? v : cur;
}

// The store after one sample at new_ts (local = UTC), given the store before it: every range
// advanced to the sample's period, the skipped slots empty, the sample merged into its slot.
void expect_after_sample(const Snapshot &before, uint32_t old_ts, uint32_t new_ts,
                         const uint64_t *data) {
    for (uint32_t r = 0; r < kRanges; r++) {
        SCOPED_TRACE(testing::Message() << "range " << r);
        const uint32_t P = kRangeSeconds[r];
        const int64_t d = int64_t(new_ts / P) - int64_t(old_ts / P);
        const uint32_t n = d > 0 ? uint32_t(std::min<int64_t>(d, 4096)) : 0;
        const uint32_t newest = (before.pointers[r] + n) & kRingMask;
        EXPECT_EQ(newest, g.pointers[r]);
        EXPECT_EQ(d > 0 ? new_ts / P : before.timepoint[r], g.timepoint[r]);
        const int64_t slot_age = d < 0 ? -d : 0;  // late sample: its slot's age
        for (uint32_t i = 0; i < 3; i++) {
            for (uint32_t s = 0; s < kRingLength; s++) {
                const uint32_t age = (newest - s) & kRingMask;
                uint64_t expect = before.rings[i][r][s];
                if (age != 0 && age < n) expect = CHARTS_NODATA;
                if (age == 0 && n > 0) expect = CHARTS_NODATA;
                if (data != nullptr && age == slot_age && slot_age <= 4095) {
                    expect = merged(i, expect, data[i]);
                }
                ASSERT_EQ(expect, charts::ring(i, r)[s]) << "stat " << i << " slot " << s;
            }
        }
    }
}

TEST(ChartsAdd, SampleAt1437On5March2024) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    SampleStore st(k1337Utc - 2 * 86400);
    const Vec v = {3, 4, 5};
    charts_add(v.data(), k1337Utc);
    EXPECT_EQ(37u, g.shmin);
    EXPECT_EQ(14u, g.shhour);
    EXPECT_EQ(37u, g.medmin);
    EXPECT_EQ(14u, g.medhour);
    EXPECT_EQ(29u, g.lnghalfhour);
    EXPECT_EQ(5u, g.lngmday);
    EXPECT_EQ(3u, g.lngmonth);
    EXPECT_EQ(2024u, g.lngyear);
    const uint32_t local = k1337Utc + 3600;
    EXPECT_EQ(local / 60, g.timepoint[0]);
    EXPECT_EQ(uint32_t(kDay + 3600 * 14 + 60 * 36), g.timepoint[1] * 360);   // slot of 14:36
    EXPECT_EQ(uint32_t(kDay + 3600 * 14 + 60 * 30), g.timepoint[2] * 1800);  // slot of 14:30
    EXPECT_EQ(kDay, g.timepoint[3] * 86400);
    for (uint32_t r = 0; r < kRanges; r++) {
        for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(v[i], charts::ring(i, r)[g.pointers[r]]);
    }
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(v[i], g.monotonic[i]);
}

TEST(ChartsAdd, SamplesOfOneMinuteAreMerged) {
    zeltest::ScopedTz tz("UTC");
    const uint32_t t = kDay + 600;
    SampleStore st(t - 3600);
    const std::vector<std::pair<uint32_t, Vec>> samples = {
        {t, {5, 5, 0}}, {t + 20, {7, 7, 0}}, {t + 59, {3, 3, 0}}};
    charts_add(samples[0].second.data(), samples[0].first);
    Snapshot first = snapshot();
    for (size_t k = 1; k < samples.size(); k++)
        charts_add(samples[k].second.data(), samples[k].first);
    const Vec expect = {15, 7, 0};  // sum, largest, sum
    for (uint32_t r = 0; r < kRanges; r++) {
        EXPECT_EQ(first.pointers[r], g.pointers[r]);
        EXPECT_EQ(first.timepoint[r], g.timepoint[r]);
        for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(expect[i], charts::ring(i, r)[g.pointers[r]]);
    }
    EXPECT_EQ(15u, g.monotonic[0]);
    EXPECT_EQ(15u, g.monotonic[1]);
}

struct GapCase {
    const char *what;
    uint32_t start;  // time of the newest sample
    uint32_t gap;    // seconds to the next sample
    bool with_data;
};

TEST(ChartsAdd, GapsAdvanceTheRanges) {
    zeltest::ScopedTz tz("UTC");
    const uint32_t noon = kDay + 12 * 3600;
    const std::vector<GapCase> cases = {
        {"one minute", noon, 60, true},
        {"same 6 minutes", noon + 60, 60, true},
        {"10 minutes over one 6-minute boundary", noon, 600, true},
        {"10 minutes over two 6-minute boundaries", noon + 300, 600, true},
        {"across midnight", kDay + 86400 - 30, 60, true},
        {"4095 minutes", noon, 4095 * 60, true},
        {"4096 minutes", noon, 4096 * 60, true},
        {"5000 minutes", noon, 5000 * 60, true},
        {"4096 days", noon, 4096u * 86400, true},
        {"10 minutes without data", noon, 600, false},
        {"5000 minutes without data", noon, 5000 * 60, false},
    };
    const Vec first = {11, 12, 13};
    const Vec second = {21, 2, 23};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SampleStore st(c.start - 86400);
        st.fill();
        charts_add(first.data(), c.start);
        Snapshot before = snapshot();
        charts_add(c.with_data ? second.data() : nullptr, c.start + c.gap);
        expect_after_sample(before, c.start, c.start + c.gap,
                            c.with_data ? second.data() : nullptr);
        for (uint32_t i = 0; i < 3; i++) {
            EXPECT_EQ(first[i] + (c.with_data ? second[i] : 0), g.monotonic[i]);
        }
    }
}

TEST(ChartsAdd, LateSamplesGoToTheirOwnSlot) {
    zeltest::ScopedTz tz("UTC");
    const uint32_t t = kDay + 12 * 3600 + 17 * 60;
    const Vec newest = {11, 12, 13};
    const Vec late = {21, 22, 23};
    for (uint32_t minutes : {1u, 5u, 4095u, 4096u, 4096u * 6, 4096u * 1440 + 1440}) {
        SCOPED_TRACE(testing::Message() << minutes << " minutes late");
        SampleStore st(t - 60);
        st.fill();
        charts_add(newest.data(), t);
        Snapshot before = snapshot();
        charts_add(late.data(), t - minutes * 60);
        expect_after_sample(before, t, t - minutes * 60, late.data());
        for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(newest[i] + late[i], g.monotonic[i]);
    }
}

TEST(ChartsAdd, NoDataMarkerAsSampleLeavesSlotsEmpty) {
    zeltest::ScopedTz tz("UTC");
    SampleStore st(kDay);
    g.monotonic[0] = 5;
    const Vec v = {CHARTS_NODATA, CHARTS_NODATA, CHARTS_NODATA};
    charts_add(v.data(), kDay + 60);
    for (uint32_t i = 0; i < 3; i++) {
        for (uint32_t r = 0; r < kRanges; r++)
            ASSERT_TRUE(zeltest::ring_is_empty(charts::ring(i, r)));
    }
    EXPECT_EQ(4u, g.monotonic[0]);  // the running total wraps
    EXPECT_EQ(CHARTS_NODATA, g.monotonic[1]);
}

TEST(ChartsAdd, ClocksGoingForwardSkipAnHour) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    SampleStore st(kSpringUtc - 3600);
    const Vec v = {1, 1, 1};
    charts_add(v.data(), kSpringUtc - 60);  // 01:59 CET
    Snapshot before = snapshot();
    charts_add(v.data(), kSpringUtc);  // 03:00 CEST
    EXPECT_EQ(before.timepoint[0] + 61, g.timepoint[0]);
    EXPECT_EQ((before.pointers[0] + 61) & kRingMask, g.pointers[0]);
    for (uint32_t age = 1; age <= 60; age++) {
        EXPECT_EQ(CHARTS_NODATA, charts::ring(0, 0)[(g.pointers[0] - age) & kRingMask]);
    }
    EXPECT_EQ(1u, charts::ring(0, 0)[(g.pointers[0] - 61) & kRingMask]);
    EXPECT_EQ(3u, g.shhour);
    EXPECT_EQ(0u, g.shmin);
    EXPECT_EQ(6u, g.lnghalfhour);
}

TEST(ChartsAdd, ClocksGoingBackRepeatAnHour) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    SampleStore st(kAutumnUtc - 3 * 3600);
    const Vec v = {1, 4, 1};
    charts_add(v.data(), kAutumnUtc - 60);  // 02:59 CEST
    Snapshot before = snapshot();
    const Vec w = {2, 3, 2};
    charts_add(w.data(), kAutumnUtc);  // 02:00 CET: the slot 59 minutes back
    for (uint32_t r = 0; r < kRanges; r++) {
        EXPECT_EQ(before.pointers[r], g.pointers[r]);
        EXPECT_EQ(before.timepoint[r], g.timepoint[r]);
    }
    EXPECT_EQ(2u, charts::ring(0, 0)[(g.pointers[0] - 59) & kRingMask]);
    charts_add(w.data(), kAutumnUtc + 59 * 60);  // 02:59 CET: the newest slot again
    EXPECT_EQ(3u, charts::ring(0, 0)[g.pointers[0]]);
    EXPECT_EQ(4u, charts::ring(1, 0)[g.pointers[0]]);
    EXPECT_EQ(59u, g.shmin);
    EXPECT_EQ(2u, g.shhour);
    EXPECT_EQ(before.pointers[0], g.pointers[0]);
}

// In tool mode the period numbers and keys come from the file's newest minute, which already
// counts local time, whatever the zone of the reader.
TEST(ChartsInitTime, ToolModeDerivesFromTheFile) {
    zeltest::ScopedTz tz("America/New_York");
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    const uint32_t newest = (k1337Utc + 3600) / 60;  // 14:37 local
    zeltest::write_file(path, zeltest::file_header(4096, 0, newest));
    zeltest::store_clock_now = 1;
    StoreFixture st(path, 1);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(newest, g.timepoint[0]);
    EXPECT_EQ(newest * 60 / 360, g.timepoint[1]);
    EXPECT_EQ(newest * 60 / 1800, g.timepoint[2]);
    EXPECT_EQ(newest * 60 / 86400, g.timepoint[3]);
    const uint32_t keys[8] = {g.shmin,       g.shhour,  g.medmin,   g.medhour,
                              g.lnghalfhour, g.lngmday, g.lngmonth, g.lngyear};
    const uint32_t expect[8] = {37, 14, 37, 14, 29, 5, 3, 2024};
    for (int k = 0; k < 8; k++) EXPECT_EQ(expect[k], keys[k]) << "key " << k;
}

TEST(ChartsInitTime, ToolModeWithoutNewestMinuteUsesTheClock) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    zeltest::TempDir dir;
    std::string path = dir.file("s.zel");
    zeltest::write_file(path, zeltest::file_header(4096, 0, 0));
    zeltest::store_clock_now = k1337Utc;
    StoreFixture st(path, 1);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ((k1337Utc + 3600) / 60, g.timepoint[0]);
    EXPECT_EQ((k1337Utc + 3600) / 86400, g.timepoint[3]);
    EXPECT_EQ(37u, g.shmin);
    EXPECT_EQ(14u, g.shhour);
    EXPECT_EQ(29u, g.lnghalfhour);
    for (uint32_t r = 0; r < kRanges; r++) EXPECT_EQ(4095u, g.pointers[r]);
}

}  // namespace
