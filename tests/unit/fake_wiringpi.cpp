#include "fake_wiringpi.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board.h"
#include "wiringPi.h"
#include "wiringPiI2C.h"

int kelvane_main();

namespace fake {
std::vector<BusOp> ops;
int setup_result;
int i2c_setup_result;
int i2c_setup_errno;
std::vector<int> i2c_setup_addrs;
std::deque<int> read_replies;
std::deque<int> write_results;
bool codes_set_at_setup;
std::string codes_at_setup;
std::vector<unsigned> delays;
unsigned max_cycles;
std::jmp_buf loop_exit;
std::string zone_path;
int zone_opens;

void reset()
{
    ops.clear();
    setup_result = 0;
    i2c_setup_result = 5;
    i2c_setup_errno = 0;
    i2c_setup_addrs.clear();
    read_replies.clear();
    write_results.clear();
    codes_set_at_setup = false;
    codes_at_setup.clear();
    delays.clear();
    max_cycles = 0;
    zone_path = testing::TempDir() + "kelvane-zone-" + std::to_string(getpid());
    unsetenv("WIRINGPI_CODES");

    // The temperature source remembers a failing zone; one good reading
    // leaves it as at start, so no test sees the recovery of an earlier one.
    set_zone("25000\n");
    begin_capture();
    getCPUtemperture();
    end_capture();
    remove(zone_path.c_str());
    zone_opens = 0;
}

std::vector<std::string> bus()
{
    std::vector<std::string> lines;
    for (const BusOp &op : ops) {
        std::string line = (op.kind == 'W' ? "write fd=" : "read fd=") + std::to_string(op.fd);
        if (op.kind == 'W')
            line += " reg=" + std::to_string(op.reg) + " data=" + std::to_string(op.data);
        lines.push_back(line);
    }
    return lines;
}

void set_zone(const std::string &content)
{
    std::ofstream(zone_path, std::ios::trunc) << content;
}
} // namespace fake

static long console_bytes()
{
    struct stat st;
    return fstat(STDOUT_FILENO, &st) == 0 ? long(st.st_size) : -1;
}

static int next(std::deque<int> &q, int fallback)
{
    if (q.empty())
        return fallback;
    int v = q.front();
    q.pop_front();
    return v;
}

extern "C" {
int wiringPiSetup(void)
{
    const char *codes = getenv("WIRINGPI_CODES");
    fake::codes_set_at_setup = codes != nullptr;
    fake::codes_at_setup = codes ? codes : "";
    return fake::setup_result;
}

int wiringPiI2CSetup(int devId)
{
    fake::i2c_setup_addrs.push_back(devId);
    if (fake::i2c_setup_errno)
        errno = fake::i2c_setup_errno;
    return fake::i2c_setup_result;
}

int wiringPiI2CWriteReg8(int fd, int reg, int data)
{
    fake::ops.push_back({'W', fd, reg, data, console_bytes()});
    int rc = next(fake::write_results, 0);
    if (rc < 0)
        errno = EREMOTEIO;
    return rc;
}

int wiringPiI2CRead(int fd)
{
    int reply = next(fake::read_replies, 0);
    fake::ops.push_back({'R', fd, -1, reply, console_bytes()});
    if (reply < 0)
        errno = EREMOTEIO;
    return reply;
}

void delay(unsigned int howLong)
{
    fake::delays.push_back(howLong);
    if (fake::delays.size() >= fake::max_cycles)
        std::longjmp(fake::loop_exit, 1);
}

// The program opens the thermal zone by its sysfs path; the tests point
// that path at a file of their own.
FILE *__real_fopen(const char *path, const char *mode);
FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (strcmp(path, "/sys/class/thermal/thermal_zone0/temp") == 0) {
        fake::zone_opens++;
        return __real_fopen(fake::zone_path.c_str(), mode);
    }
    return __real_fopen(path, mode);
}
}

void begin_capture()
{
    fflush(stdout);
    fflush(stderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

Output end_capture()
{
    fflush(stdout);
    fflush(stderr);
    Output o;
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

KelvaneRun run_kelvane(unsigned cycles)
{
    fake::max_cycles = cycles;
    volatile bool returned = false;
    volatile int status = -1;
    begin_capture();
    if (setjmp(fake::loop_exit) == 0) {
        status = kelvane_main();
        returned = true;
    }
    Output o = end_capture();
    return {returned, status, o.out, o.err};
}
