// ptymodem: an LD_PRELOAD stand-in that gives Linux pseudo-terminal slaves the RTS and DTR lines
// of a serial driver, so the tests can watch what the program does to the lines.
//
// The pty driver has no modem control lines (TIOCMGET and friends fail with ENOTTY). For every
// /dev/pts/<N> the process opens, this library applies the kernel's serial rules instead:
//   - tty_port_block_til_ready(): an open raises DTR and RTS unless the port's speed is B0,
//     also with O_NONBLOCK. The speed is the pty's own: it keeps its termios across opens for as
//     long as its master is open, as a serial driver keeps them for its device.
//   - uart_set_termios(): a change of speed to B0 drops DTR and RTS, a change away raises both.
//   - tty_port_close_start() / tty_port_shutdown(): the last close (here: in this process)
//     drops both lines when HUPCL is set.
//   - a hung-up port (the master was closed, as when an adapter is unplugged) fails the line
//     ioctls with EIO.
// Line state lives in $PTYMODEM_DIR/pts<N> ("RTS=<0|1>\nDTR=<0|1>\n", rewritten in place; no
// file means both lines low), and every change is appended to pts<N>.log as
// "<CLOCK_MONOTONIC ns> <RTS> <DTR>"; without PTYMODEM_DIR the lines stay low.
// While pts<N>.nohw exists, opening the pty fails with EIO, like a /dev/ttyS node without a UART;
// while pts<N>.keep exists, tcsetattr() keeps the speed, as some drivers do. While
// PTYMODEM_FSYNC_FAILS is not empty, fsync() fails with EIO. A real serial device is never
// opened: EACCES. Not modelled: dup(), openat(), ioctl(TCSETS) (only tcsetattr() is seen),
// TIOCMGET and TIOCMSET (only TIOCMBIS and TIOCMBIC change the lines), fork() without exec(),
// and the closes of exit().
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define LINES (TIOCM_RTS | TIOCM_DTR)
#define MAX_FD 4096

__attribute__((visibility("default"))) int ptymodem_loaded = 1;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int tracked[MAX_FD]; /* pty number + 1 of each descriptor this process opened, or 0 */

static int real_open(const char *path, int flags, mode_t mode)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

static int state_path(char *buf, int pts, const char *suffix)
{
    const char *dir = getenv("PTYMODEM_DIR");
    return dir && *dir && snprintf(buf, PATH_MAX, "%s/pts%d%s", dir, pts, suffix) < PATH_MAX;
}

static int load(int pts)
{
    char path[PATH_MAX], text[64] = "";
    if (!state_path(path, pts, ""))
        return 0;
    int fd = real_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0 && read(fd, text, sizeof text - 1) < 0)
        text[0] = '\0';
    syscall(SYS_close, fd);
    return (strstr(text, "RTS=1") ? TIOCM_RTS : 0) | (strstr(text, "DTR=1") ? TIOCM_DTR : 0);
}

static int put(const char *path, int flags, const char *text)
{
    int fd = real_open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    int ok = fd >= 0 && write(fd, text, strlen(text)) == (ssize_t)strlen(text);
    syscall(SYS_close, fd);
    return ok;
}

static void store(int pts, int bits)
{
    char path[PATH_MAX], other[PATH_MAX + 32], text[64];
    if (!state_path(path, pts, "") || load(pts) == bits)
        return; /* only changes are logged */
    int rts = !!(bits & TIOCM_RTS), dtr = !!(bits & TIOCM_DTR);
    snprintf(text, sizeof text, "RTS=%d\nDTR=%d\n", rts, dtr);
    if (!put(path, 0, text)) /* always as long, so rewritten in place: each digit is one byte */
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    snprintf(other, sizeof other, "%s.log", path);
    snprintf(text, sizeof text, "%lld %d %d\n", now.tv_sec * 1000000000LL + now.tv_nsec, rts, dtr);
    put(other, O_APPEND, text);
}

/* The number of a Unix98 pty slave; -2 for a real serial port (ttyS, ttyUSB, ttyACM, ttyAMA) */
static int pts_of(dev_t rdev)
{
    unsigned int maj = major(rdev);
    if ((maj == 4 && minor(rdev) >= 64) || maj == 188 || maj == 166 || maj == 204)
        return -2;
    return maj >= 136 && maj <= 143 ? (int)((maj - 136) * 256 + minor(rdev)) : -1;
}

static int open_emulated(const char *path, int flags, mode_t mode)
{
    struct stat st;
    char marker[PATH_MAX];
    int saved = errno, pts = -1;
    if (path && !(flags & O_PATH) && stat(path, &st) == 0 && S_ISCHR(st.st_mode)
        && (pts = pts_of(st.st_rdev)) == -2) {
        fprintf(stderr, "ptymodem: refused to open real device %s\n", path);
        return (errno = EACCES, -1);
    }
    if (pts >= 0 && state_path(marker, pts, ".nohw") && access(marker, F_OK) == 0)
        return (errno = EIO, -1);
    errno = saved;
    int fd = real_open(path, flags, mode);
    if (fd < 0 || fd >= MAX_FD)
        return fd;
    struct termios t;
    pthread_mutex_lock(&lock);
    tracked[fd] = pts + 1; /* also forgets a descriptor closed behind our back */
    if (pts >= 0 && (tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != B0))
        store(pts, LINES);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return fd;
}

#define OPEN(name) \
    int name(const char *path, int flags, ...) \
    { \
        mode_t mode = 0; \
        if (__OPEN_NEEDS_MODE(flags)) { \
            va_list ap; \
            va_start(ap, flags); \
            mode = va_arg(ap, mode_t); \
            va_end(ap); \
        } \
        return open_emulated(path, flags, mode); \
    }
OPEN(open)
OPEN(open64)
OPEN(__open_2)
OPEN(__open64_2)

static int hung_up(int fd)
{
    struct pollfd p = {.fd = fd};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

static void release(int fd) /* with the lock held, before the descriptor goes */
{
    int pts = tracked[fd] - 1;
    tracked[fd] = 0;
    for (int other = 0; other < MAX_FD; ++other)
        if (tracked[other] == pts + 1)
            return; /* not the last close */
    struct termios t;
    if (tcgetattr(fd, &t) != 0 || (t.c_cflag & HUPCL) || hung_up(fd))
        store(pts, 0);
}

int close(int fd)
{
    int saved = errno;
    pthread_mutex_lock(&lock);
    if (fd >= 0 && fd < MAX_FD && tracked[fd])
        release(fd);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return (int)syscall(SYS_close, fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    int *arg = va_arg(ap, int *);
    va_end(ap);
    int pts = fd >= 0 && fd < MAX_FD ? tracked[fd] - 1 : -1;
    if (pts < 0 || (request != TIOCMBIS && request != TIOCMBIC))
        return (int)syscall(SYS_ioctl, fd, request, arg);
    if (hung_up(fd))
        return (errno = EIO, -1);
    pthread_mutex_lock(&lock);
    int bits = load(pts);
    store(pts, request == TIOCMBIS ? bits | (*arg & LINES) : bits & ~(*arg & LINES));
    pthread_mutex_unlock(&lock);
    return 0;
}

int tcsetattr(int fd, int when, const struct termios *t)
{
    static int (*real)(int, int, const struct termios *);
    if (!real)
        real = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
    int pts = fd >= 0 && fd < MAX_FD ? tracked[fd] - 1 : -1;
    struct termios old, kept;
    char marker[PATH_MAX];
    int known = pts >= 0 && tcgetattr(fd, &old) == 0;
    if (known && state_path(marker, pts, ".keep") && access(marker, F_OK) == 0 && (kept = *t, 1))
        t = cfsetspeed(&kept, cfgetospeed(&old)) == 0 ? &kept : t;
    int result = real(fd, when, t);
    if (result == 0 && known && (cfgetospeed(&old) == B0) != (cfgetospeed(t) == B0)) {
        pthread_mutex_lock(&lock);
        store(pts, cfgetospeed(t) == B0 ? 0 : LINES);
        pthread_mutex_unlock(&lock);
    }
    return result;
}

int fsync(int fd)
{
    const char *fails = getenv("PTYMODEM_FSYNC_FAILS");
    return fails && *fails ? (errno = EIO, -1) : (int)syscall(SYS_fsync, fd);
}
