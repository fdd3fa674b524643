// kelvane: the cooling board link, the temperature source, the settings
// they share, and the notifications to the service manager. C linkage, so
// the object file carries the plain names and C programs can link against
// it as they do against wiringPi.
#ifndef KELVANE_BOARD_H
#define KELVANE_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Settings: compiled in, never written by the program.
extern uint8_t LED;          // not used by the program
extern uint8_t slave_addr;   // the board's 7-bit I2C address (0x0B)
extern uint8_t start_cmd;    // handshake register
extern uint8_t getMode_cmd;  // mode register
extern uint8_t sendTemp_cmd; // temperature register

// The board handle (written once at start-up) and the handshake byte (0).
extern uint8_t iic_hand;
extern uint8_t null;

// Writes data to reg, then reads the board's one-byte reply. A failed read
// gives 0xFF with errno set; a board answering 0xFF leaves errno at 0.
uint8_t IIC_start(uint8_t handle, uint8_t reg, uint8_t data);

// Asks the board for its mode: writes data to reg (the mode register is
// getMode_cmd), reads the reply, and prints "Mode:Auto_mode" for 1 or
// "Mode:Manu_mode" for 2. Any other reply, or a failed read, prints nothing.
void get_Mode(uint8_t handle, uint8_t reg, uint8_t data);

// Takes one temperature sample and writes its whole degrees to reg. A failed
// reading writes nothing. Write failures are reported when they start and
// when they end, not on every cycle.
void trans_temp(uint8_t handle, uint8_t reg);

// Reads the CPU temperature in degrees Celsius and prints the console line.
// Returns NaN, after a line on stderr, when there is no usable reading.
float getCPUtemperture(void);

// Notifications to the service manager, when NOTIFY_SOCKET names its
// socket; without it these do nothing. notify_open opens the socket at
// start; notify_status adds to the status text of the running cycle, and
// notify_send sends a state ("READY=1", "WATCHDOG=1", or null for the text
// alone) with that text.
void notify_open(void);
void notify_status(const char *format, ...) __attribute__((format(printf, 1, 2)));
void notify_send(const char *state);

#ifdef __cplusplus
}
#endif

#endif
