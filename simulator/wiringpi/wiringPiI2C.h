/* Stand-in for wiringPi's I2C header, with the real library's signatures. */
#ifndef WIRINGPI_I2C_STANDIN_H
#define WIRINGPI_I2C_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiI2CSetup(int devId);
int wiringPiI2CWriteReg8(int fd, int reg, int data);
int wiringPiI2CRead(int fd);

#ifdef __cplusplus
}
#endif

#endif
