/* Stand-in for libwiringPi: the same five calls, with the I2C bus replaced
 * by a local socket to the board simulator (board_sim.py). Each register
 * write and each plain read is one request that the board acknowledges or
 * refuses, so the caller sees what wiringPi shows on a real bus: 0 or the
 * byte on success, -1 with errno set when the device does not acknowledge.
 *
 * The simulator's socket is named by WIRINGPI_SIM_SOCKET, default
 * /tmp/kelvane-board.sock. As in wiringPi, a failing set-up or bus open ends
 * the process unless WIRINGPI_CODES was set when wiringPiSetup ran. */
#define _GNU_SOURCE
#include "wiringPi.h"
#include "wiringPiI2C.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    return p && *p ? p : "/tmp/kelvane-board.sock";
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

int wiringPiSetup(void)
{
    if (getenv("WIRINGPI_CODES"))
        return_codes = 1;

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

int wiringPiI2CSetup(int devId)
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

int wiringPiI2CWriteReg8(int fd, int reg, int data)
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

int wiringPiI2CRead(int fd)
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

void delay(unsigned int howLong)
{
    struct timespec ts = {.tv_sec = howLong / 1000, .tv_nsec = (long)(howLong % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
        ;
}
