/* Stand-in for wiringPi's core header: the calls kelvane uses, with the
 * real library's signatures. */
#ifndef WIRINGPI_STANDIN_H
#define WIRINGPI_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
void delay(unsigned int howLong);

#ifdef __cplusplus
}
#endif

#endif
