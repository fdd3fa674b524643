/* Stand-in for libwiringPi: the same five calls, over one of two buses.
 *
 * With WIRINGPI_SIM_SOCKET naming the board simulator's socket
 * (board_sim.py), each register write and each plain read is one request
 * that the simulated board acknowledges or refuses, so the caller sees what
 * wiringPi shows on a real bus: 0 or the byte on success, -1 with errno set
 * when the device does not acknowledge.
 *
 * Without it, the calls go where wiringPi sends them on a Pi: the GPIO
 * registers through /dev/gpiomem, the bus through the kernel's i2c-dev
 * interface (/dev/i2c-1, or /dev/i2c-0 on the first board revision), with
 * SMBus write-byte-data and receive-byte transfers, and the kernel's errno.
 *
 * As in wiringPi, a failing set-up or bus open ends the process unless
 * WIRINGPI_CODES was set when wiringPiSetup ran. */
#define _GNU_SOURCE
#include "wiringPi.h"
#include "wiringPiI2C.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int return_codes;

static int failure(const char *fmt, ...)
{
    if (return_codes)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(EXIT_FAILURE);
}

static const char *socket_path(void)
{
    const char *p = getenv("WIRINGPI_SIM_SOCKET");
    return p && *p ? p : NULL;
}

static int connect_board(void)
{
    struct sockaddr_un sa = {.sun_family = AF_UNIX};
    const char *path = socket_path();
    if (strlen(path) >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(sa.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

/* One request and its reply; a lost board reads as a device that is gone.
 * errno is left alone on success, as a successful ioctl leaves it. */
static int transact(int fd, const char *req, char *reply, size_t size)
{
    if (send(fd, req, strlen(req), MSG_NOSIGNAL) < 0) {
        errno = ENXIO;
        return -1;
    }
    ssize_t n = recv(fd, reply, size - 1, 0);
    if (n <= 0) {
        errno = ENXIO;
        return -1;
    }
    reply[n] = '\0';
    return 0;
}

static int sim_setup(void)
{
    char reply[32];
    int fd = connect_board();
    if (fd < 0)
        return failure("wiringPiSetup: cannot reach the simulated Pi at %s: %s\n", socket_path(),
                       strerror(errno));
    int rc = transact(fd, "SETUP", reply, sizeof reply);
    close(fd);
    if (rc < 0 || strcmp(reply, "OK") != 0)
        return failure("wiringPiSetup: the simulated Pi refused the set-up\n");
    return 0;
}

static int sim_i2c_setup(int devId)
{
    char req[32], reply[32];
    int fd = connect_board();
    if (fd < 0)
        return failure("Unable to open I2C device: %s\n", strerror(errno));
    snprintf(req, sizeof req, "OPEN %d", devId);
    if (transact(fd, req, reply, sizeof reply) < 0 || strncmp(reply, "OK", 2) != 0) {
        close(fd);
        errno = ENOENT;
        return failure("Unable to open I2C device: %s\n", strerror(errno));
    }
    /* The simulator can ask for a descriptor above 255, as a process with
     * many files open would get. */
    if (strcmp(reply, "OK HIGH") == 0) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 300);
        close(fd);
        fd = high;
    }
    return fd;
}

static int sim_write_reg8(int fd, int reg, int data)
{
    char req[32], reply[32];
    snprintf(req, sizeof req, "W %d %d", reg & 0xFF, data & 0xFF);
    if (transact(fd, req, reply, sizeof reply) < 0)
        return -1;
    if (strcmp(reply, "ACK") != 0) {
        errno = EREMOTEIO;
        return -1;
    }
    return 0;
}

static int sim_read(int fd)
{
    char reply[32];
    if (transact(fd, "R", reply, sizeof reply) < 0)
        return -1;
    unsigned byte;
    if (sscanf(reply, "ACK %u", &byte) != 1) {
        errno = EREMOTEIO;
        return -1;
    }
    return (int)(byte & 0xFF);
}

/* The Linux side. */

/* The GPIO registers are mapped through /dev/gpiomem, which wiringPi keeps
 * open; a set-up that cannot open it fails. */
static int gpiomem = -1;

static int dev_setup(void)
{
    if (gpiomem >= 0)
        return 0;
    gpiomem = open("/dev/gpiomem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (gpiomem < 0)
        return failure("wiringPiSetup: Unable to open /dev/gpiomem: %s\n", strerror(errno));
    return 0;
}

/* The Pi's bus is i2c-1, but i2c-0 on the first board revision (codes 0002
 * and 0003 in /proc/cpuinfo). A machine that is no Pi, which the real
 * library refuses, gets whichever of the two exists, i2c-1 first. */
static const char *i2c_device(void)
{
    FILE *f = fopen("/proc/cpuinfo", "re");
    char line[256];
    int known = 0, first_revision = 0;
    while (f && fgets(line, sizeof line, f)) {
        unsigned long rev;
        /* A space in the format takes any run of blanks, tabs included. */
        if (sscanf(line, "Revision : %lx", &rev) == 1) {
            known = 1;
            first_revision = !(rev & (1UL << 23)) && (rev & 0xFFFF) <= 3;
        }
    }
    if (f)
        fclose(f);
    if (known)
        return first_revision ? "/dev/i2c-0" : "/dev/i2c-1";
    return access("/dev/i2c-1", F_OK) == 0 || access("/dev/i2c-0", F_OK) != 0 ? "/dev/i2c-1"
                                                                               : "/dev/i2c-0";
}

static int dev_i2c_setup(int devId)
{
    int fd = open(i2c_device(), O_RDWR);
    if (fd < 0)
        return failure("Unable to open I2C device: %s\n", strerror(errno));
    if (ioctl(fd, I2C_SLAVE, devId) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return failure("Unable to select I2C device: %s\n", strerror(errno));
    }
    return fd;
}

static int smbus(int fd, char rw, uint8_t command, int size, union i2c_smbus_data *data)
{
    struct i2c_smbus_ioctl_data args = {
        .read_write = rw, .command = command, .size = size, .data = data};
    return ioctl(fd, I2C_SMBUS, &args);
}

static int dev_write_reg8(int fd, int reg, int value)
{
    union i2c_smbus_data data = {.byte = value & 0xFF};
    return smbus(fd, I2C_SMBUS_WRITE, reg, I2C_SMBUS_BYTE_DATA, &data);
}

static int dev_read(int fd)
{
    union i2c_smbus_data data;
    if (smbus(fd, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data) < 0)
        return -1;
    return data.byte & 0xFF;
}

/* The five calls. */

int wiringPiSetup(void)
{
    if (getenv("WIRINGPI_CODES"))
        return_codes = 1;
    return socket_path() ? sim_setup() : dev_setup();
}

int wiringPiI2CSetup(int devId)
{
    return socket_path() ? sim_i2c_setup(devId) : dev_i2c_setup(devId);
}

int wiringPiI2CWriteReg8(int fd, int reg, int data)
{
    return socket_path() ? sim_write_reg8(fd, reg, data) : dev_write_reg8(fd, reg, data);
}

int wiringPiI2CRead(int fd)
{
    return socket_path() ? sim_read(fd) : dev_read(fd);
}

void delay(unsigned int howLong)
{
    struct timespec ts = {.tv_sec = howLong / 1000, .tv_nsec = (long)(howLong % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
        ;
}
