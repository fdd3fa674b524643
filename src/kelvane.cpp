// kelvane: feeds the CPU temperature to the cooling board on the I2C bus,
// every 500 ms, for as long as it runs.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <wiringPi.h>
#include <wiringPiI2C.h>

#include "board.h"

// Line buffering with a buffer of our own: every console line is out before
// the register write that follows it, also into a pipe or the journal, and
// stdio need not stat stdout to size a buffer.
static char console_buf[BUFSIZ];

// Says why the board cannot be reached: on standard error, and, under a
// service manager, as the status text, which "systemctl status" shows while
// the unit waits for its next try.
static void unreachable(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void unreachable(const char *format, ...)
{
    char why[256];
    va_list args;
    va_start(args, format);
    vsnprintf(why, sizeof why, format, args);
    va_end(args);
    fprintf(stderr, "kelvane: %s\n", why);
    notify_status("%s", why);
    notify_send(nullptr);
}

// Opens the board and keeps its handle, which must fit the 8-bit handle;
// a failed open or a descriptor above 255 ends the program. The two causes
// an owner meets first get a hint: no bus device (I2C not enabled, or
// i2c-dev not loaded) and no access to it.
static bool open_board(void)
{
    errno = 0;
    int fd = wiringPiI2CSetup(slave_addr);
    if (fd < 0) {
        int err = errno;
        unreachable("cannot open the I2C board at 0x%02x: %s%s", unsigned(slave_addr),
                    err ? strerror(err) : "wiringPi failed",
                    err == ENOENT   ? " (is I2C enabled? sudo raspi-config nonint do_i2c 0)"
                    : err == EACCES ? " (is the user in the i2c group?)"
                                    : "");
        return false;
    }
    if (fd > UINT8_MAX) {
        unreachable("cannot keep the handle of the I2C board at 0x%02x: descriptor %d does not "
                    "fit in 8 bits",
                    unsigned(slave_addr), fd);
        return false;
    }
    iic_hand = static_cast<uint8_t>(fd);
    return true;
}

// Start-up: initialise wiringPi, open the board, shake hands on the start
// register; only a reply of 0 starts the sample-and-send loop, which never
// ends by itself. Exit status 1 when the board cannot be reached. Under a
// service manager, the handshake's answer is the readiness, and every cycle
// feeds the watchdog with what it did.
int main()
{
    setvbuf(stdout, console_buf, _IOLBF, sizeof console_buf);
    notify_open();

    // Without this, wiringPi ends the process by itself when its set-up or
    // the opening of the bus fails; with it, the calls return -1.
    setenv("WIRINGPI_CODES", "1", 0);
    if (wiringPiSetup() != -1)
        puts("ok");

    if (!open_board())
        return 1;

    uint8_t reply = IIC_start(iic_hand, start_cmd, null);
    if (reply != null) {
        if (reply == 0xFF && errno)
            unreachable("the board at 0x%02x did not answer the handshake: %s",
                        unsigned(slave_addr), strerror(errno));
        else
            unreachable("the board at 0x%02x refused the handshake (reply 0x%02x)",
                        unsigned(slave_addr), unsigned(reply));
        return 1;
    }

    notify_send("READY=1");
    for (;;) {
        trans_temp(iic_hand, sendTemp_cmd);
        notify_send("WATCHDOG=1");
        delay(500);
    }
}
