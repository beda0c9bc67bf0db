/*
 * ptymodem: an LD_PRELOAD stand-in that gives Linux pseudo-terminal slaves the RTS and DTR lines
 * of a serial driver, so the tests can watch what the program does to the lines.
 *
 * The pty driver has no modem control lines (TIOCMGET and friends fail with ENOTTY). For every
 * /dev/pts/<N> the process opens, this library applies the kernel's serial rules instead:
 *   - tty_port_block_til_ready(): an open raises DTR and RTS unless the port's speed is B0,
 *     also with O_NONBLOCK. The speed is the pty's own: it keeps its termios across opens for as
 *     long as its master is open, as a serial driver keeps them until the adapter is unplugged.
 *   - uart_set_termios(): a change of speed to B0 drops DTR and RTS, a change away raises both.
 *   - tty_port_close_start() / tty_port_shutdown(): the last close (here: in this process) drops
 *     both lines when HUPCL is set.
 *   - a hung-up port (the master was closed, as when an adapter is unplugged) fails the line
 *     ioctls with EIO.
 * Line state lives in $PTYMODEM_DIR/pts<N> ("RTS=<0|1>\nDTR=<0|1>\n", replaced atomically; a
 * missing file means both lines low), and every change is appended to pts<N>.log as
 * "<CLOCK_MONOTONIC ns> <RTS> <DTR>". Without PTYMODEM_DIR it stays in the process's memory. While pts<N>.nohw exists, opening the pty fails with EIO, like
 * a /dev/ttyS node without a UART. A real serial device is never opened: EACCES.
 * Not modelled: dup(), close_range(), and processes killed without running exit().
 */
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
static struct {
    int pts, bits;
} memory[64]; /* line state without PTYMODEM_DIR: pty number + 1 and its lines */

static int *remembered(int pts)
{
    for (int i = 0; i < 64; ++i) {
        if (memory[i].pts == pts + 1 || memory[i].pts == 0) {
            memory[i].pts = pts + 1;
            return &memory[i].bits;
        }
    }
    return &memory[0].bits;
}

static int real_open(int dirfd, const char *path, int flags, mode_t mode)
{
    return (int)syscall(SYS_openat, dirfd, path, flags, mode);
}

static int real_ioctl(int fd, unsigned long request, void *arg)
{
    return (int)syscall(SYS_ioctl, fd, request, arg);
}

static int state_path(char *buf, int pts, const char *suffix)
{
    const char *dir = getenv("PTYMODEM_DIR");
    if (!dir || !*dir)
        return -1;
    int n = snprintf(buf, PATH_MAX, "%s/pts%d%s", dir, pts, suffix);
    return n > 0 && n < PATH_MAX ? 0 : -1;
}

static int load(int pts)
{
    char path[PATH_MAX], text[64] = "";
    if (state_path(path, pts, "") != 0)
        return *remembered(pts);
    int fd = real_open(AT_FDCWD, path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    syscall(SYS_close, fd);
    text[n > 0 ? n : 0] = '\0';
    return (strstr(text, "RTS=1") ? TIOCM_RTS : 0) | (strstr(text, "DTR=1") ? TIOCM_DTR : 0);
}

static void store(int pts, int bits)
{
    char path[PATH_MAX], tmp[PATH_MAX + 32], text[64];
    if (state_path(path, pts, "") != 0) {
        *remembered(pts) = bits;
        return;
    }
    if (load(pts) == bits)
        return; /* only changes are logged */
    int rts = !!(bits & TIOCM_RTS), dtr = !!(bits & TIOCM_DTR);
    snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid());
    int fd = real_open(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    int len = snprintf(text, sizeof text, "RTS=%d\nDTR=%d\n", rts, dtr);
    int ok = write(fd, text, (size_t)len) == len;
    syscall(SYS_close, fd);
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    strcat(path, ".log");
    fd = real_open(AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    len = snprintf(text, sizeof text, "%lld %d %d\n",
                   (long long)now.tv_sec * 1000000000LL + now.tv_nsec, rts, dtr);
    if (write(fd, text, (size_t)len) != len)
        fprintf(stderr, "ptymodem: cannot log pts%d\n", pts);
    syscall(SYS_close, fd);
}

/* The pty number of a Unix98 pty slave, or -1. */
static int pts_of(dev_t rdev)
{
    unsigned int maj = major(rdev);
    return maj >= 136 && maj <= 143 ? (int)((maj - 136) * 256 + minor(rdev)) : -1;
}

/* ttyS, ttyUSB, ttyACM and ttyAMA: hardware a test must never touch. */
static int is_real_serial(dev_t rdev)
{
    unsigned int maj = major(rdev);
    return (maj == 4 && minor(rdev) >= 64) || maj == 188 || maj == 166 || maj == 204;
}

static int open_emulated(int dirfd, const char *path, int flags, mode_t mode)
{
    struct stat st;
    int saved = errno;
    int pts = -1;
    if (path && !(flags & O_PATH) && fstatat(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode)) {
        if (is_real_serial(st.st_rdev)) {
            fprintf(stderr, "ptymodem: refused to open real device %s\n", path);
            errno = EACCES;
            return -1;
        }
        pts = pts_of(st.st_rdev);
    }
    char marker[PATH_MAX];
    if (pts >= 0 && state_path(marker, pts, ".nohw") == 0 && access(marker, F_OK) == 0) {
        errno = EIO;
        return -1;
    }
    errno = saved;
    int fd = real_open(dirfd, path, flags, mode);
    if (fd < 0 || fd >= MAX_FD)
        return fd;
    tracked[fd] = 0; /* forget a descriptor closed behind our back */
    if (pts < 0)
        return fd;
    struct termios t;
    pthread_mutex_lock(&lock);
    tracked[fd] = pts + 1;
    if (tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != B0)
        store(pts, LINES);
    pthread_mutex_unlock(&lock);
    errno = saved;
    return fd;
}

#define MODE_ARG(flags, mode) \
    mode_t mode = 0; \
    if (__OPEN_NEEDS_MODE(flags)) { \
        va_list ap; \
        va_start(ap, flags); \
        mode = va_arg(ap, mode_t); \
        va_end(ap); \
    }

int open(const char *path, int flags, ...)
{
    MODE_ARG(flags, mode);
    return open_emulated(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    MODE_ARG(flags, mode);
    return open_emulated(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags, mode);
    return open_emulated(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags, mode);
    return open_emulated(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return open_emulated(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return open_emulated(AT_FDCWD, path, flags, 0);
}

static int hung_up(int fd)
{
    struct pollfd p = {.fd = fd, .events = 0, .revents = 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

/* Called with the lock held, before the descriptor goes. */
static void release(int fd)
{
    int pts = tracked[fd] - 1;
    tracked[fd] = 0;
    for (int other = 0; other < MAX_FD; ++other) {
        if (tracked[other] == pts + 1)
            return; /* not the last close */
    }
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
    if (pts < 0
        || (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS
            && request != TIOCMBIC))
        return real_ioctl(fd, request, arg);
    if (hung_up(fd)) {
        errno = EIO;
        return -1;
    }
    pthread_mutex_lock(&lock);
    int bits = load(pts);
    if (request == TIOCMGET)
        *arg = bits;
    else if (request == TIOCMSET)
        store(pts, *arg & LINES);
    else if (request == TIOCMBIS)
        store(pts, bits | (*arg & LINES));
    else
        store(pts, bits & ~(*arg & LINES));
    pthread_mutex_unlock(&lock);
    return 0;
}

int tcsetattr(int fd, int when, const struct termios *t)
{
    static int (*real)(int, int, const struct termios *);
    if (!real)
        real = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
    int pts = fd >= 0 && fd < MAX_FD ? tracked[fd] - 1 : -1;
    struct termios old;
    int known = pts >= 0 && tcgetattr(fd, &old) == 0;
    int result = real(fd, when, t);
    if (result == 0 && known) {
        int was_zero = cfgetospeed(&old) == B0, is_zero = cfgetospeed(t) == B0;
        if (was_zero != is_zero) {
            pthread_mutex_lock(&lock);
            store(pts, is_zero ? 0 : LINES);
            pthread_mutex_unlock(&lock);
        }
    }
    return result;
}

/* A forked child shares the parent's descriptors: its closes are never the last ones. */
static void before_fork(void)
{
    pthread_mutex_lock(&lock);
}

static void after_fork_parent(void)
{
    pthread_mutex_unlock(&lock);
}

static void after_fork_child(void)
{
    memset(tracked, 0, sizeof tracked);
    pthread_mutex_init(&lock, NULL);
}

__attribute__((constructor)) static void ptymodem_init(void)
{
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

/* exit() closes what is still open: apply the last-close rule while the descriptors answer. */
__attribute__((destructor)) static void ptymodem_fini(void)
{
    pthread_mutex_lock(&lock);
    for (int fd = 0; fd < MAX_FD; ++fd) {
        if (tracked[fd])
            release(fd);
    }
    pthread_mutex_unlock(&lock);
}
