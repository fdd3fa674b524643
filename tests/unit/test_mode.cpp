// The mode query: one write with the caller's register and data byte, the
// read right after it, and at most one console line.
#include <gtest/gtest.h>

#include "board.h"
#include "fake_wiringpi.h"

namespace {

TEST(Mode, WritesTheCallersRegisterAndDataThenReads)
{
    fake::reset();
    capture([] { get_Mode(7, getMode_cmd, 0x5A); });
    EXPECT_EQ(fake::bus(), (Bus{"write fd=7 reg=2 data=90", "read fd=7"}));
}

TEST(Mode, PrintsTheModeOrNothing)
{
    struct Case {
        int reply;
        const char *out;
    } cases[] = {
        {1, "Mode:Auto_mode\n"},
        {2, "Mode:Manu_mode\n"},
        {0, ""},
        {3, ""},
        {255, ""},
        {-1, ""}, // failed read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        fake::reset();
        fake::read_replies = {c.reply};
        Output o = capture([] { get_Mode(7, getMode_cmd, 0); });
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
    }
}

} // namespace
