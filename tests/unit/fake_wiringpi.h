// A recording fake of wiringPi for the unit tests: it plays the board,
// records every bus transaction in order, and redirects the thermal zone to
// a file the test controls.
#pragma once

#include <csetjmp>
#include <deque>
#include <string>
#include <vector>

using Bus = std::vector<std::string>;

struct BusOp {
    char kind; // 'W' register write, 'R' plain read
    int fd;
    int reg;            // -1 for a read
    int data;           // the value passed to the write, or the reply of the read
    long console_bytes; // what had reached stdout when the transaction ran
};

namespace fake {
extern std::vector<BusOp> ops;
extern int setup_result;     // wiringPiSetup
extern int i2c_setup_result; // wiringPiI2CSetup
extern int i2c_setup_errno;  // and the errno of its failure
extern std::vector<int> i2c_setup_addrs;
extern std::deque<int> read_replies;  // -1 fails with EREMOTEIO; empty answers 0
extern std::deque<int> write_results; // -1 fails with EREMOTEIO; empty succeeds
extern bool codes_set_at_setup;
extern std::string codes_at_setup;
extern std::vector<unsigned> delays;
extern unsigned max_cycles; // delay() leaves the loop after this many
extern std::jmp_buf loop_exit;
extern std::string zone_path; // where the thermal zone reads from
extern int zone_opens;

void reset();
// The transactions so far, as "write fd=5 reg=1 data=0" and "read fd=5".
std::vector<std::string> bus();
void set_zone(const std::string &content); // writes the zone file
} // namespace fake

// Runs kelvane's start-up and at most `cycles` cycles of its loop.
struct KelvaneRun {
    bool returned; // main returned (otherwise the loop was still running)
    int status;
    std::string out, err;
};
KelvaneRun run_kelvane(unsigned cycles);

// Captures what a call prints on stdout and stderr.
struct Output {
    std::string out, err;
};
void begin_capture();
Output end_capture();
template <typename F> Output capture(F f)
{
    begin_capture();
    f();
    return end_capture();
}
