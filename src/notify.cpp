// kelvane: tells the service manager how the service is doing, by one
// datagram at a time to the socket NOTIFY_SOCKET names (a path, or an
// abstract name after '@'). Outside a service manager the variable is unset
// and nothing here makes a system call.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "board.h"

static int notify_fd = -1;
static sockaddr_un notify_addr;
static socklen_t notify_addr_len;

// What the running cycle did, in the words of the units that did it; sent
// as the status text with the cycle's watchdog ping.
static char status[256];
static size_t status_len;

// Opens the socket once, at start. A name that is no socket name is
// reported and leaves kelvane running without notifications.
void notify_open(void)
{
    if (notify_fd >= 0)
        close(notify_fd);
    notify_fd = -1;
    status_len = 0;

    const char *name = getenv("NOTIFY_SOCKET");
    if (!name)
        return;
    size_t len = strlen(name);
    if ((name[0] != '/' && name[0] != '@') || len < 2 || len >= sizeof notify_addr.sun_path) {
        fprintf(stderr, "kelvane: cannot notify the service manager: bad NOTIFY_SOCKET\n");
        return;
    }
    memset(&notify_addr, 0, sizeof notify_addr);
    notify_addr.sun_family = AF_UNIX;
    memcpy(notify_addr.sun_path, name, len);
    // A path is sent with its terminating null; an abstract name is the
    // bytes after its leading null, and nothing more.
    notify_addr_len = socklen_t(offsetof(sockaddr_un, sun_path) + len + 1);
    if (name[0] == '@') {
        notify_addr.sun_path[0] = '\0';
        notify_addr_len--;
    }

    notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (notify_fd < 0)
        fprintf(stderr, "kelvane: cannot notify the service manager: %s\n", strerror(errno));
}

// Adds to the running cycle's status text.
void notify_status(const char *format, ...)
{
    if (notify_fd < 0 || status_len >= sizeof status - 1)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(status + status_len, sizeof status - status_len, format, args);
    va_end(args);
    if (n > 0)
        status_len +=
            size_t(n) < sizeof status - status_len ? size_t(n) : sizeof status - 1 - status_len;
}

// Sends one datagram: the state ("READY=1", "WATCHDOG=1", or none), with the
// status text gathered since the last one, if any. The send neither waits nor
// fails the loop: a service manager that does not read loses the datagram.
void notify_send(const char *state)
{
    if (notify_fd < 0)
        return;
    char message[sizeof status + 32];
    int n = !state       ? snprintf(message, sizeof message, "STATUS=%s", status)
            : status_len ? snprintf(message, sizeof message, "%s\nSTATUS=%s", state, status)
                         : snprintf(message, sizeof message, "%s", state);
    status_len = 0;
    if (n < 0)
        return;
    size_t len = size_t(n) < sizeof message ? size_t(n) : sizeof message - 1;
    int saved = errno;
    sendto(notify_fd, message, len, MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&notify_addr), notify_addr_len);
    errno = saved;
}
