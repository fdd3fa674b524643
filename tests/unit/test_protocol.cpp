// The board's register protocol: the handshake transactions and replies,
// and the temperature write of every sample.
#include <cerrno>
#include <gtest/gtest.h>

#include "board.h"
#include "fake_wiringpi.h"

namespace {

class Protocol : public testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { remove(fake::zone_path.c_str()); }
};

TEST_F(Protocol, HandshakeWritesTheRegisterThenReadsTheReply)
{
    for (int reply : {0, 7, 0xFF}) {
        SCOPED_TRACE(reply);
        fake::reset();
        fake::read_replies = {reply};
        EXPECT_EQ(IIC_start(5, start_cmd, null), reply);
        EXPECT_EQ(errno, 0) << "a reply is not a failed read";
        EXPECT_EQ(fake::bus(), (Bus{"write fd=5 reg=1 data=0", "read fd=5"}));
    }
}

TEST_F(Protocol, FailedHandshakeReadIs255WithErrno)
{
    fake::read_replies = {-1};
    EXPECT_EQ(IIC_start(5, 1, 0), 0xFF);
    EXPECT_EQ(errno, EREMOTEIO);
}

TEST_F(Protocol, BytesAreWidenedWithoutSignExtension)
{
    IIC_start(200, 0x80, 0xFF);
    EXPECT_EQ(fake::bus(), (Bus{"write fd=200 reg=128 data=255", "read fd=200"}));
}

// One line, then one write of the whole degrees, truncated toward zero and
// not clamped: the library sends the low 8 bits.
TEST_F(Protocol, SampleIsWrittenInWholeDegreesAfterItsLine)
{
    struct Case {
        const char *zone;
        int sent;
    } cases[] = {
        {"48312", 48}, {"48900", 48}, {"99999", 99},   {"100999", 100},
        {"-1500", -1}, {"-500", 0},   {"256000", 256}, {"-2147483648000", -2147483647 - 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zone);
        fake::reset();
        fake::set_zone(c.zone);
        Output o = capture([] { trans_temp(9, sendTemp_cmd); });
        EXPECT_EQ(fake::bus(), Bus{"write fd=9 reg=3 data=" + std::to_string(c.sent)});
        EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
        EXPECT_EQ(o.err, "");
    }
}

TEST_F(Protocol, FailedReadingSendsNothing)
{
    remove(fake::zone_path.c_str());
    Output o = capture([] { trans_temp(9, sendTemp_cmd); });
    EXPECT_TRUE(fake::ops.empty());
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err, "");
}

// Writes go on every cycle whatever happens; failing writes are reported
// when they start and when they end, not once per cycle.
TEST_F(Protocol, WriteFailuresAreReportedAtTheirStartAndEnd)
{
    fake::set_zone("50000\n");
    fake::write_results = {-1, -1, -1, 0, 0, -1, 0};
    Output o = capture([] {
        for (int i = 0; i < 7; i++)
            trans_temp(9, sendTemp_cmd);
    });
    EXPECT_EQ(fake::ops.size(), 7u);
    const std::string failing =
        "kelvane: cannot write register 3 of the board at 0x0b: Remote I/O error\n";
    const std::string again = "kelvane: the board at 0x0b takes writes again\n";
    EXPECT_EQ(o.err, failing + again + failing + again);
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 7);
}

} // namespace
