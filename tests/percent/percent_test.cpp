// The percentage of the progress lines must read exactly as "%5.1f" prints the same float
// widened to double: the status file's readers have always seen that text.
#include "status/status.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

static std::string printed(float percent) {
    char text[32];
    snprintf(text, sizeof text, "%5.1f", static_cast<double>(percent));
    return text;
}

static std::string formatted(float percent) {
    char text[8];
    memset(text, '#', sizeof text);
    format_percent(percent, text);
    EXPECT_EQ(text[6], '#') << "wrote past the text";
    return text;
}

TEST(Percent, KnownLines) {
    EXPECT_EQ(formatted(0.0f), "  0.0");
    EXPECT_EQ(formatted(50.0f), " 50.0");
    EXPECT_EQ(formatted(6.25f), "  6.2");
    EXPECT_EQ(formatted(18.75f), " 18.8");
    EXPECT_EQ(formatted(99.21875f), " 99.2");
    EXPECT_EQ(formatted(100.0f), "100.0");
    EXPECT_EQ(formatted(999.94f), "999.9");
}

// Every value the erase and verify phases report.
TEST(Percent, EveryBlockOfTheEraseAndVerifyPhases) {
    for (uint32_t block = 0; block < 128; block++) {
        float percent = static_cast<float>(block) * 100.0f * 0.0078125f;
        EXPECT_EQ(formatted(percent), printed(percent)) << "block " << block;
    }
}

// Every value the write phase can report, whatever the number of present blocks.
TEST(Percent, EveryStepOfTheWritePhase) {
    for (uint32_t loaded = 1; loaded <= 128; loaded++) {
        for (uint32_t handled = 0; handled < loaded; handled++) {
            float percent = static_cast<float>(handled) * 100.0f / static_cast<float>(loaded);
            ASSERT_EQ(formatted(percent), printed(percent)) << handled << " of " << loaded;
        }
    }
}

// Exact halves between two tenths (x.25, x.75) round to the even tenth, as printf does.
TEST(Percent, EveryExactTieBelowAThousand) {
    for (uint32_t quarters = 0; quarters < 4000; quarters++) {
        float percent = static_cast<float>(quarters) / 4.0f;
        ASSERT_EQ(formatted(percent), printed(percent)) << percent;
    }
}

// A spread of floats over [0, 999), every bit pattern in steps of 1009.
TEST(Percent, SpreadOfFloatsBelowAThousand) {
    uint32_t last;
    float limit = 999.0f;
    memcpy(&last, &limit, sizeof last);
    for (uint32_t bits = 0; bits < last; bits += 1009) {
        float percent;
        memcpy(&percent, &bits, sizeof percent);
        ASSERT_EQ(formatted(percent), printed(percent)) << bits;
    }
}
