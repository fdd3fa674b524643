// kelvane: the cooling board link. The board is an I2C slave; the program
// writes a register number with one data byte, and for the handshake reads
// one byte back, which the board answers for the register just written.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <wiringPiI2C.h>

#include "board.h"

// Settings, in this order in memory (this unit is built without top-level
// reordering, so the layout is the order written here).
uint8_t LED = 25;
uint8_t slave_addr = 0x0B;
uint8_t start_cmd = 1;
uint8_t getMode_cmd = 2;
uint8_t sendTemp_cmd = 3;

uint8_t iic_hand;
uint8_t null;

// Whether the last temperature write failed, so that a board that stops
// taking writes is reported once, and once more when it takes them again.
static bool writes_failing;

uint8_t IIC_start(uint8_t handle, uint8_t reg, uint8_t data)
{
    wiringPiI2CWriteReg8(handle, reg, data);
    errno = 0;
    return static_cast<uint8_t>(wiringPiI2CRead(handle));
}

// The mode register answers like the handshake: write, then read the reply.
void get_Mode(uint8_t handle, uint8_t reg, uint8_t data)
{
    uint8_t mode = IIC_start(handle, reg, data);
    if (mode == 1)
        puts("Mode:Auto_mode");
    if (mode == 2)
        puts("Mode:Manu_mode");
}

// One sample to the board: the console line comes first (from the reading),
// then one register write of the whole degrees, truncated toward zero; the
// register takes the low 8 bits, so -1 arrives as 0xFF. A failed reading
// sends nothing and the board keeps the last good value.
void trans_temp(uint8_t handle, uint8_t reg)
{
    float temp = getCPUtemperture();
    if (std::isnan(temp)) {
        notify_status(", nothing sent to the board at 0x%02x", unsigned(slave_addr));
        return;
    }

    int whole = static_cast<int>(temp);
    if (wiringPiI2CWriteReg8(handle, reg, whole) < 0) {
        const char *cause = strerror(errno);
        if (!writes_failing)
            fprintf(stderr, "kelvane: cannot write register %u of the board at 0x%02x: %s\n",
                    unsigned(reg), unsigned(slave_addr), cause);
        writes_failing = true;
        notify_status(", not sent: the board at 0x%02x does not take writes: %s", unsigned(slave_addr),
                      cause);
    } else {
        if (writes_failing)
            fprintf(stderr, "kelvane: the board at 0x%02x takes writes again\n", unsigned(slave_addr));
        writes_failing = false;
        notify_status(", sent to the board at 0x%02x", unsigned(slave_addr));
    }
}
