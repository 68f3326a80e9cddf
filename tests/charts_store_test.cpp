#include <gtest/gtest.h>

#include "charts_priv.h"
#include "statsdump.h"
#include "test_util.h"

using namespace charts;

TEST(ChartsInit, ServerModeWithoutFileGivesEmptyRings) {
    zeltest::TempDir dir;
    ASSERT_EQ(0, charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs,
                             dir.file("none.zel").c_str(), 0));
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            for (uint32_t s = 0; s < kRingLength; s++) ASSERT_EQ(CHARTS_NODATA, g.series[i][r][s]);
        }
    }
    charts_term();
}
