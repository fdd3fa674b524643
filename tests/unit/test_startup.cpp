// Start-up: wiringPi set-up, opening the board, the handshake gate, and the
// loop that follows it.
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>

#include "board.h"
#include "fake_wiringpi.h"

namespace {

class Startup : public testing::Test {
  protected:
    void SetUp() override
    {
        fake::reset();
        fake::set_zone("48312\n");
    }
    void TearDown() override { remove(fake::zone_path.c_str()); }
};

const std::string line48 = "The temperature is 48.312 C.\n";

TEST_F(Startup, HandshakeZeroStartsTheLoop)
{
    KelvaneRun r = run_kelvane(3);
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(r.out, "ok\n" + line48 + line48 + line48);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fake::i2c_setup_addrs, std::vector<int>{0x0B});
    EXPECT_EQ(fake::delays, (std::vector<unsigned>{500, 500, 500}));
    EXPECT_EQ(iic_hand, 5);

    const std::string sample = "write fd=5 reg=3 data=48";
    EXPECT_EQ(fake::bus(), (Bus{"write fd=5 reg=1 data=0", "read fd=5", sample, sample, sample}));
    // Each sample's line is on stdout, not in a buffer, before its write.
    for (size_t i = 2; i < fake::ops.size(); i++)
        EXPECT_EQ(fake::ops[i].console_bytes, long(3 + (i - 1) * line48.size())) << "write " << i;
}

TEST_F(Startup, WiringPiIsAskedForReturnCodes)
{
    run_kelvane(1);
    EXPECT_TRUE(fake::codes_set_at_setup);

    fake::reset();
    fake::set_zone("48312\n");
    setenv("WIRINGPI_CODES", "user", 1);
    run_kelvane(1);
    EXPECT_EQ(fake::codes_at_setup, "user") << "a value the user gave is kept";
}

TEST_F(Startup, FailedSetupPrintsNoOkAndGoesOn)
{
    fake::setup_result = -1;
    KelvaneRun r = run_kelvane(1);
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(r.out, line48);
    EXPECT_EQ(fake::ops.size(), 3u);
}

TEST_F(Startup, RefusedHandshakeEndsWithStatus1)
{
    struct Case {
        int reply;
        const char *err;
    } cases[] = {
        {1, "kelvane: the board at 0x0b refused the handshake (reply 0x01)\n"},
        {0xFF, "kelvane: the board at 0x0b refused the handshake (reply 0xff)\n"},
        {-1, "kelvane: the board at 0x0b did not answer the handshake: Remote I/O error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        fake::reset();
        fake::set_zone("48312\n");
        fake::read_replies = {c.reply};
        KelvaneRun r = run_kelvane(1);
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "ok\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(fake::ops.size(), 2u) << "nothing after the handshake";
        EXPECT_EQ(fake::zone_opens, 0);
    }
}

TEST_F(Startup, HandleThatCannotBeHeldEndsWithStatus1)
{
    struct Case {
        int fd, err_no;
        const char *err;
    } cases[] = {
        {-1, 0, "kelvane: cannot open the I2C board at 0x0b: wiringPi failed\n"},
        {-1, ENOENT,
         "kelvane: cannot open the I2C board at 0x0b: No such file or directory (is I2C enabled? "
         "sudo raspi-config nonint do_i2c 0)\n"},
        {-1, EACCES,
         "kelvane: cannot open the I2C board at 0x0b: Permission denied (is the user in the i2c "
         "group?)\n"},
        {256, 0,
         "kelvane: cannot keep the handle of the I2C board at 0x0b: descriptor 256 does not "
         "fit in 8 bits\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        fake::reset();
        fake::i2c_setup_result = c.fd;
        fake::i2c_setup_errno = c.err_no;
        KelvaneRun r = run_kelvane(1);
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "ok\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(fake::ops.empty()) << "nothing is sent on a wrong descriptor";
    }

    fake::reset();
    fake::set_zone("48312\n");
    fake::i2c_setup_result = 255;
    KelvaneRun r = run_kelvane(1);
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(fake::ops.at(0).fd, 255);
}

} // namespace
