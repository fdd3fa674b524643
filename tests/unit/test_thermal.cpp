// The temperature source: the reading, its console line, and every way a
// thermal zone can fail to give a temperature.
#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "board.h"
#include "fake_wiringpi.h"

namespace {

class Thermal : public testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override
    {
        remove(fake::zone_path.c_str());
        rmdir(fake::zone_path.c_str());
    }
};

TEST_F(Thermal, PrintsTheLineAndReturnsDegrees)
{
    struct Case {
        const char *zone;
        const char *line;
        float degrees;
    } cases[] = {
        {"48312\n", "The temperature is 48.312 C.\n", 48.312f},
        {"9500\n", "The temperature is  9.500 C.\n", 9.5f},      // field of 6
        {"105000\n", "The temperature is 105.000 C.\n", 105.0f}, // grows, not cut
        {"-5000\n", "The temperature is -5.000 C.\n", -5.0f},
        {"0\n", "The temperature is  0.000 C.\n", 0.0f},
        {"47236", "The temperature is 47.236 C.\n", 47.236f}, // no newline
        {"  51000 trailing\n", "The temperature is 51.000 C.\n", 51.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zone);
        fake::set_zone(c.zone);
        float got = 0;
        Output o = capture([&] { got = getCPUtemperture(); });
        EXPECT_EQ(o.out, c.line);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(got, c.degrees);
    }
}

TEST_F(Thermal, EachCallReadsTheZoneAgain)
{
    fake::set_zone("40000\n");
    float first = 0, second = 0;
    Output o = capture([&] {
        first = getCPUtemperture();
        fake::set_zone("62500\n");
        second = getCPUtemperture();
    });
    EXPECT_EQ(first, 40.0f);
    EXPECT_EQ(second, 62.5f);
    EXPECT_EQ(fake::zone_opens, 2);
    EXPECT_EQ(o.out, "The temperature is 40.000 C.\nThe temperature is 62.500 C.\n");
}

const std::string cannot_read = "kelvane: cannot read /sys/class/thermal/thermal_zone0/temp: ";
const std::string reads_again = "kelvane: /sys/class/thermal/thermal_zone0/temp reads again\n";

// Puts a zone in place: null for no file, "/" for a directory, else content.
void make_zone(const char *zone)
{
    remove(fake::zone_path.c_str());
    rmdir(fake::zone_path.c_str());
    if (zone && std::string(zone) == "/")
        ASSERT_EQ(mkdir(fake::zone_path.c_str(), 0755), 0);
    else if (zone)
        fake::set_zone(zone);
}

// Every unusable zone gives NaN, no temperature line, and one line on stderr
// naming the file and the cause; the next good reading says it reads again.
TEST_F(Thermal, UnusableZonesAreReportedNotReturned)
{
    struct Case {
        const char *name;
        const char *zone;
        const char *cause;
    } cases[] = {
        {"missing", nullptr, "No such file or directory"},
        {"directory", "/", "Is a directory"},
        {"empty", "", "no number in file"},
        {"text", "hot\n", "no number in file"},
        {"nan", "nan\n", "value is not finite"},
        {"inf", "-inf\n", "value is not finite"},
        {"beyond double", "1e400\n", "value is not finite"},
        {"huge", "1e300\n", "value out of range"},
        {"just past int", "2147483648000\n", "value out of range"},
        // Whole degrees fit an int, but the float they become does not.
        {"float rounds past int", "2147483647000\n", "value out of range"},
        {"below int", "-2147483904000\n", "value out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make_zone(c.zone);
        float got = 0;
        Output bad = capture([&] { got = getCPUtemperture(); });
        EXPECT_TRUE(std::isnan(got)) << got;
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err, cannot_read + c.cause + "\n");

        make_zone("41000\n");
        Output good = capture([&] { got = getCPUtemperture(); });
        EXPECT_EQ(got, 41.0f);
        EXPECT_EQ(good.out, "The temperature is 41.000 C.\n");
        EXPECT_EQ(good.err, reads_again);
    }
}

// A zone that stays broken is reported when it breaks and when its cause
// changes, not on every reading; readings go on being tried each time.
TEST_F(Thermal, LastingFailuresAreReportedOnce)
{
    Output o = capture([] {
        make_zone("hot\n");
        for (int i = 0; i < 20; i++)
            getCPUtemperture();
        make_zone("nan\n");
        for (int i = 0; i < 5; i++)
            getCPUtemperture();
        make_zone(nullptr);
        for (int i = 0; i < 5; i++)
            getCPUtemperture();
        make_zone("hot\n");
        getCPUtemperture();
        make_zone("45500\n");
        getCPUtemperture();
        getCPUtemperture();
    });
    EXPECT_EQ(fake::zone_opens, 33);
    EXPECT_EQ(o.err, cannot_read + "no number in file\n" + cannot_read + "value is not finite\n" +
                         cannot_read + "No such file or directory\n" + cannot_read +
                         "no number in file\n" + reads_again);
    EXPECT_EQ(o.out, "The temperature is 45.500 C.\nThe temperature is 45.500 C.\n");
}

TEST_F(Thermal, ExtremesThatFitAreTemperatures)
{
    fake::set_zone("-2147483648000\n");
    float got = 0;
    Output o = capture([&] { got = getCPUtemperture(); });
    EXPECT_EQ(got, -2147483648.0f);
    EXPECT_EQ(o.out, "The temperature is -2147483648.000 C.\n");
    EXPECT_EQ(o.err, "");
}

} // namespace
