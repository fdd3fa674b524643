/* A C program of its own linked against kelvane.o (its main renamed): opens
 * the board as kelvane does and asks for the mode once per argument, the
 * argument being the data byte of the register write. */
#include <stdlib.h>

#include <wiringPiI2C.h>

#include "board.h"

int main(int argc, char **argv)
{
    iic_hand = (uint8_t)wiringPiI2CSetup(slave_addr);
    for (int i = 1; i < argc; i++)
        get_Mode(iic_hand, getMode_cmd, (uint8_t)strtoul(argv[i], NULL, 0));
    return 0;
}
