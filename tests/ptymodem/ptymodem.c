/*
 * ptymodem: an LD_PRELOAD stand-in that gives Linux pseudo-terminal slaves RTS and DTR lines.
 *
 * The pty driver has no modem control lines (TIOCMGET and friends fail with ENOTTY), so the
 * tests cannot drive a QSerialPort on a pty the way the application drives a real adapter.
 * This library intercepts open/close/ioctl and emulates RTS and DTR for every /dev/pts/<N>
 * the process opens. Line state lives in $PTYMODEM_DIR/pts<N> ("RTS=<0|1>\nDTR=<0|1>\n") so
 * that other processes can observe it; without PTYMODEM_DIR it is kept in process memory.
 *
 * See README.md next to this file for the behaviour the tests rely on.
 */

/* We define open() and friends ourselves: keep the headers from redirecting or fortifying them. */
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

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
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

/* Lets a test check with dlsym(RTLD_DEFAULT, "ptymodem_loaded") that the library is preloaded. */
__attribute__((visibility("default"))) int ptymodem_loaded = 1;

/* The symbols we replace. Declared here because glibc only declares some of them when
 * fortification is enabled. */
int open(const char *path, int flags, ...);
int open64(const char *path, int flags, ...);
int openat(int dirfd, const char *path, int flags, ...);
int openat64(int dirfd, const char *path, int flags, ...);
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
int close(int fd);
int ioctl(int fd, unsigned long request, ...);
int dup(int fd);
int dup2(int fd, int newfd);
int dup3(int fd, int newfd, int flags);
int fcntl(int fd, int cmd, ...);
int fcntl64(int fd, int cmd, ...);

#define LINE_BITS (TIOCM_RTS | TIOCM_DTR)

/* ------------------------------------------------------------------------------------------ */
/* Resolving the real functions                                                                */

enum real_fn {
    REAL_OPEN,
    REAL_OPEN64,
    REAL_OPENAT,
    REAL_OPENAT64,
    REAL_OPEN_2,
    REAL_OPEN64_2,
    REAL_OPENAT_2,
    REAL_OPENAT64_2,
    REAL_CLOSE,
    REAL_IOCTL,
    REAL_DUP,
    REAL_DUP2,
    REAL_DUP3,
    REAL_FCNTL,
    REAL_FCNTL64,
    REAL_COUNT
};

static const char *const real_names[REAL_COUNT] = {
    "open",  "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2",
    "close", "ioctl",  "dup",    "dup2",     "dup3",     "fcntl",      "fcntl64",
};

static void *real_ptr[REAL_COUNT];

/* Set while this thread is inside dlsym(): anything dlsym() itself opens or closes then goes
 * straight to the kernel instead of recursing into an unresolved pointer. */
static __thread int resolving;

static void *real_lookup(enum real_fn which)
{
    void *p = __atomic_load_n(&real_ptr[which], __ATOMIC_ACQUIRE);
    if (p || resolving)
        return p;
    resolving = 1;
    p = dlsym(RTLD_NEXT, real_names[which]);
    resolving = 0;
    __atomic_store_n(&real_ptr[which], p, __ATOMIC_RELEASE);
    return p;
}

static int call_real_open(enum real_fn which, int dirfd, const char *path, int flags, mode_t mode)
{
    void *p = real_lookup(which);
    if (!p)
        return (int)syscall(SYS_openat, dirfd, path, flags, mode);
    switch (which) {
    case REAL_OPEN:
    case REAL_OPEN64:
        return ((int (*)(const char *, int, ...))p)(path, flags, mode);
    case REAL_OPENAT:
    case REAL_OPENAT64:
        return ((int (*)(int, const char *, int, ...))p)(dirfd, path, flags, mode);
    case REAL_OPEN_2:
    case REAL_OPEN64_2:
        return ((int (*)(const char *, int))p)(path, flags);
    case REAL_OPENAT_2:
    case REAL_OPENAT64_2:
        return ((int (*)(int, const char *, int))p)(dirfd, path, flags);
    default:
        errno = ENOSYS;
        return -1;
    }
}

static int real_close(int fd)
{
    void *p = real_lookup(REAL_CLOSE);
    if (!p)
        return (int)syscall(SYS_close, fd);
    return ((int (*)(int))p)(fd);
}

static int real_ioctl(int fd, unsigned long request, void *arg)
{
    void *p = real_lookup(REAL_IOCTL);
    if (!p)
        return (int)syscall(SYS_ioctl, fd, request, arg);
    return ((int (*)(int, unsigned long, ...))p)(fd, request, arg);
}

static int real_dup(int fd)
{
    void *p = real_lookup(REAL_DUP);
    if (!p)
        return (int)syscall(SYS_dup, fd);
    return ((int (*)(int))p)(fd);
}

static int real_dup3(enum real_fn which, int fd, int newfd, int flags)
{
    void *p = real_lookup(which);
    if (!p)
        return (int)syscall(SYS_dup3, fd, newfd, flags);
    if (which == REAL_DUP2)
        return ((int (*)(int, int))p)(fd, newfd);
    return ((int (*)(int, int, int))p)(fd, newfd, flags);
}

static int real_fcntl(enum real_fn which, int fd, int cmd, void *arg)
{
    void *p = real_lookup(which);
    if (!p)
        return (int)syscall(SYS_fcntl, fd, cmd, arg);
    return ((int (*)(int, int, ...))p)(fd, cmd, arg);
}

/* Our own bookkeeping files are opened through this, never through the interposed open(). */
static int plain_open(const char *path, int flags, mode_t mode)
{
    return call_real_open(REAL_OPENAT, AT_FDCWD, path, flags, mode);
}

/* ------------------------------------------------------------------------------------------ */
/* Tables: tracked descriptors, and line state when there is no state directory                */

struct tracked_fd
{
    int fd;
    int pts;
};

struct mem_state
{
    int pts;
    int bits;
};

/* Recursive so that a libc call made while holding it can never deadlock on us. */
static pthread_mutex_t table_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static struct tracked_fd *fds;
static size_t fd_count, fd_capacity;
static struct mem_state *mem;
static size_t mem_count, mem_capacity;

static int grow(void **array, size_t *capacity, size_t count, size_t element_size)
{
    if (count < *capacity)
        return 0;
    size_t wanted = *capacity ? *capacity * 2 : 16;
    void *p = realloc(*array, wanted * element_size);
    if (!p)
        return -1;
    *array = p;
    *capacity = wanted;
    return 0;
}

static int fd_lookup(int fd)
{
    for (size_t i = 0; i < fd_count; ++i) {
        if (fds[i].fd == fd)
            return fds[i].pts;
    }
    return -1;
}

static int fd_remove(int fd)
{
    for (size_t i = 0; i < fd_count; ++i) {
        if (fds[i].fd == fd) {
            int pts = fds[i].pts;
            fds[i] = fds[--fd_count];
            return pts;
        }
    }
    return -1;
}

static int fd_add(int fd, int pts)
{
    /* A stale entry can exist if the descriptor was closed behind our back (dup2, close_range). */
    fd_remove(fd);
    if (grow((void **)&fds, &fd_capacity, fd_count, sizeof *fds) != 0)
        return -1;
    fds[fd_count].fd = fd;
    fds[fd_count].pts = pts;
    ++fd_count;
    return 0;
}

static int pts_is_open(int pts)
{
    for (size_t i = 0; i < fd_count; ++i) {
        if (fds[i].pts == pts)
            return 1;
    }
    return 0;
}

static int mem_get(int pts)
{
    for (size_t i = 0; i < mem_count; ++i) {
        if (mem[i].pts == pts)
            return mem[i].bits;
    }
    return 0;
}

static int mem_set(int pts, int bits)
{
    for (size_t i = 0; i < mem_count; ++i) {
        if (mem[i].pts == pts) {
            mem[i].bits = bits;
            return 0;
        }
    }
    if (grow((void **)&mem, &mem_capacity, mem_count, sizeof *mem) != 0)
        return ENOMEM;
    mem[mem_count].pts = pts;
    mem[mem_count].bits = bits;
    ++mem_count;
    return 0;
}

/* ------------------------------------------------------------------------------------------ */
/* State files                                                                                 */

/* Read at every use so that a test can point the library at a fresh directory at run time. */
static const char *state_dir(void)
{
    const char *dir = getenv("PTYMODEM_DIR");
    return dir && *dir ? dir : NULL;
}

static int state_path(char *buf, size_t size, const char *dir, int pts, const char *suffix)
{
    int n = snprintf(buf, size, "%s/pts%d%s", dir, pts, suffix);
    return n > 0 && (size_t)n < size ? 0 : -1;
}

/* Returns the RTS/DTR bits of pty <pts>; an absent state file means both lines are low. */
static int state_load(int pts)
{
    const char *dir = state_dir();
    if (!dir)
        return mem_get(pts);

    char path[PATH_MAX];
    if (state_path(path, sizeof path, dir, pts, "") != 0)
        return 0;
    int fd = plain_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    char text[64];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    real_close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';

    int bits = 0;
    if (strstr(text, "RTS=1"))
        bits |= TIOCM_RTS;
    if (strstr(text, "DTR=1"))
        bits |= TIOCM_DTR;
    return bits;
}

/* Stores the RTS/DTR bits of pty <pts>. Returns 0 or an errno value. The file is replaced
 * atomically so that a reader never sees a half-written state. */
static int state_store(int pts, int bits)
{
    const char *dir = state_dir();
    if (!dir)
        return mem_set(pts, bits);

    static unsigned long serial;
    char path[PATH_MAX], tmp[PATH_MAX];
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".tmp.%ld.%lu", (long)getpid(), ++serial);
    if (state_path(path, sizeof path, dir, pts, "") != 0
        || snprintf(tmp, sizeof tmp, "%s/.pts%d%s", dir, pts, suffix) >= (int)sizeof tmp)
        return ENAMETOOLONG;

    int fd = plain_open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    char text[32];
    int len = snprintf(text, sizeof text, "RTS=%d\nDTR=%d\n", (bits & TIOCM_RTS) ? 1 : 0,
                       (bits & TIOCM_DTR) ? 1 : 0);
    ssize_t written;
    do {
        written = write(fd, text, (size_t)len);
    } while (written < 0 && errno == EINTR);
    int error = written == len ? 0 : (written < 0 ? errno : EIO);
    if (real_close(fd) != 0 && !error)
        error = errno;
    if (!error && rename(tmp, path) != 0)
        error = errno;
    if (error)
        unlink(tmp);
    return error;
}

static int no_hardware_marker(int pts)
{
    const char *dir = state_dir();
    char path[PATH_MAX];
    if (!dir || state_path(path, sizeof path, dir, pts, ".nohw") != 0)
        return 0;
    return access(path, F_OK) == 0;
}

/* ------------------------------------------------------------------------------------------ */
/* Recognising devices                                                                         */

static int has_prefix(const char *s, const char *prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

/* The real serial devices of this machine; a test must never open one. */
static int is_real_serial_path(const char *path)
{
    return has_prefix(path, "/dev/ttyS") || has_prefix(path, "/dev/ttyUSB")
        || has_prefix(path, "/dev/ttyACM");
}

static int is_real_serial_device(dev_t rdev)
{
    unsigned int maj = major(rdev);
    unsigned int min = minor(rdev);
    return (maj == 4 && min >= 64) /* ttyS */ || maj == 188 /* ttyUSB */ || maj == 166 /* ttyACM */;
}

/* Returns the pty number of a Unix98 pty slave device number, or -1. */
static int pts_from_device(dev_t rdev)
{
    unsigned int maj = major(rdev);
    if (maj < 136 || maj > 143)
        return -1;
    return (int)((maj - 136) * 256 + minor(rdev));
}

/* Returns N for a path of the form /dev/pts/<N>, or -1. */
static int pts_from_path(const char *path)
{
    static const char prefix[] = "/dev/pts/";
    if (!has_prefix(path, prefix))
        return -1;
    const char *digits = path + sizeof prefix - 1;
    if (*digits < '0' || *digits > '9')
        return -1;
    long n = 0;
    for (const char *p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || n > INT_MAX / 10)
            return -1;
        n = n * 10 + (*p - '0');
    }
    return (int)n;
}

/* ------------------------------------------------------------------------------------------ */
/* The interposed calls                                                                        */

static int refuse(const char *path)
{
    fprintf(stderr, "ptymodem: refused to open real device %s\n", path);
    errno = EACCES;
    return -1;
}

static int emulated_open(enum real_fn which, int dirfd, const char *path, int flags, mode_t mode)
{
    if (resolving || !path)
        return call_real_open(which, dirfd, path, flags, mode);

    if (is_real_serial_path(path))
        return refuse(path);

    /* Look at the node before opening it: that catches symlinks to real devices without
     * touching them, and gives the pty number for the no-hardware marker. Callers that read
     * errno after a successful call must not see our probing. */
    int saved_errno = errno;
    int pts = -1;
    struct stat st;
    if (fstatat(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode)) {
        if (is_real_serial_device(st.st_rdev))
            return refuse(path);
        pts = pts_from_device(st.st_rdev);
        int by_path = pts_from_path(path);
        if (pts >= 0 && by_path >= 0)
            pts = by_path;
    }
    errno = saved_errno;
    if (pts < 0 || (flags & O_PATH))
        return call_real_open(which, dirfd, path, flags, mode);

    if (no_hardware_marker(pts)) {
        errno = EIO;
        return -1;
    }
    errno = saved_errno;

    int fd = call_real_open(which, dirfd, path, flags, mode);
    if (fd < 0)
        return fd;

    saved_errno = errno;
    pthread_mutex_lock(&table_lock);
    if (fd_add(fd, pts) == 0) {
        /* A serial driver raises DTR and RTS on every open unless the baud rate is B0. */
        struct termios t;
        if (tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != B0) {
            int error = state_store(pts, LINE_BITS);
            if (error)
                fprintf(stderr, "ptymodem: cannot store line state of /dev/pts/%d: %s\n", pts,
                        strerror(error));
        }
    } else {
        fprintf(stderr, "ptymodem: out of memory, /dev/pts/%d is not emulated\n", pts);
    }
    pthread_mutex_unlock(&table_lock);
    errno = saved_errno;
    return fd;
}

#define OPEN_MODE(flags, mode) \
    do { \
        if (__OPEN_NEEDS_MODE(flags)) { \
            va_list ap; \
            va_start(ap, flags); \
            mode = va_arg(ap, mode_t); \
            va_end(ap); \
        } \
    } while (0)

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return emulated_open(REAL_OPEN, AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return emulated_open(REAL_OPEN64, AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return emulated_open(REAL_OPENAT, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return emulated_open(REAL_OPENAT64, dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return emulated_open(REAL_OPEN_2, AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return emulated_open(REAL_OPEN64_2, AT_FDCWD, path, flags, 0);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return emulated_open(REAL_OPENAT_2, dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return emulated_open(REAL_OPENAT64_2, dirfd, path, flags, 0);
}

/* The kernel drops DTR and RTS on the last close of a serial port when HUPCL is set. A
 * descriptor that no longer answers tcgetattr (the other end hung up) loses its lines too. */
static void drop_lines_on_last_close(int fd, int pts)
{
    if (pts_is_open(pts))
        return;
    struct termios t;
    if (tcgetattr(fd, &t) != 0 || (t.c_cflag & HUPCL))
        state_store(pts, 0);
}

int close(int fd)
{
    if (!resolving) {
        int saved_errno = errno;
        pthread_mutex_lock(&table_lock);
        int pts = fd_remove(fd);
        if (pts >= 0)
            drop_lines_on_last_close(fd, pts);
        pthread_mutex_unlock(&table_lock);
        errno = saved_errno;
    }
    return real_close(fd);
}

/* A duplicate refers to the same open pty as the original, so it is tracked too: shells move
 * the descriptor they opened with fcntl(F_DUPFD) and close the original. */
static int track_duplicate(int fd, int newfd)
{
    if (newfd >= 0 && newfd != fd) {
        int saved_errno = errno;
        int pts = fd_lookup(fd);
        if (pts >= 0)
            fd_add(newfd, pts);
        errno = saved_errno;
    }
    return newfd;
}

int dup(int fd)
{
    if (resolving)
        return real_dup(fd);
    pthread_mutex_lock(&table_lock);
    int newfd = track_duplicate(fd, real_dup(fd));
    pthread_mutex_unlock(&table_lock);
    return newfd;
}

/* dup2() and dup3() close newfd first, which can be the last close of a pty. */
static int emulated_dup3(enum real_fn which, int fd, int newfd, int flags)
{
    if (resolving)
        return real_dup3(which, fd, newfd, flags);
    pthread_mutex_lock(&table_lock);
    int replaced = fd == newfd ? -1 : fd_lookup(newfd);
    int drop = 0;
    if (replaced >= 0) {
        struct termios t;
        drop = tcgetattr(newfd, &t) != 0 || (t.c_cflag & HUPCL);
    }
    int result = real_dup3(which, fd, newfd, flags);
    if (result >= 0 && replaced >= 0) {
        int saved_errno = errno;
        fd_remove(newfd);
        if (drop && !pts_is_open(replaced))
            state_store(replaced, 0);
        errno = saved_errno;
    }
    track_duplicate(fd, result);
    pthread_mutex_unlock(&table_lock);
    return result;
}

int dup2(int fd, int newfd)
{
    return emulated_dup3(REAL_DUP2, fd, newfd, 0);
}

int dup3(int fd, int newfd, int flags)
{
    return emulated_dup3(REAL_DUP3, fd, newfd, flags);
}

static int emulated_fcntl(enum real_fn which, int fd, int cmd, void *arg)
{
    if (resolving || (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC))
        return real_fcntl(which, fd, cmd, arg);
    pthread_mutex_lock(&table_lock);
    int newfd = track_duplicate(fd, real_fcntl(which, fd, cmd, arg));
    pthread_mutex_unlock(&table_lock);
    return newfd;
}

/* The third argument is an int or a pointer depending on cmd; like glibc, pass it on as a
 * pointer-sized value. */
int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return emulated_fcntl(REAL_FCNTL, fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return emulated_fcntl(REAL_FCNTL64, fd, cmd, arg);
}

static int emulated_line_ioctl(int fd, int pts, unsigned long request, int *arg)
{
    /* An adapter that went away (here: the master side was closed) fails line requests with
     * EIO instead of pretending they worked. */
    struct pollfd pfd = {.fd = fd, .events = 0, .revents = 0};
    if (poll(&pfd, 1, 0) > 0) {
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        if (pfd.revents & POLLHUP) {
            errno = EIO;
            return -1;
        }
    }
    if (!arg) {
        errno = EFAULT;
        return -1;
    }

    int saved_errno = errno;
    pthread_mutex_lock(&table_lock);
    int bits = state_load(pts);
    int wanted = bits;
    switch (request) {
    case TIOCMGET:
        *arg = bits; /* CTS, DSR, CD and RI read as inactive */
        break;
    case TIOCMSET:
        wanted = *arg & LINE_BITS;
        break;
    case TIOCMBIS:
        wanted = bits | (*arg & LINE_BITS);
        break;
    case TIOCMBIC:
        wanted = bits & ~(*arg & LINE_BITS);
        break;
    }
    int error = request == TIOCMGET ? 0 : state_store(pts, wanted);
    pthread_mutex_unlock(&table_lock);

    if (error) {
        errno = error;
        return -1;
    }
    errno = saved_errno;
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    if (!resolving
        && (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS
            || request == TIOCMBIC)) {
        pthread_mutex_lock(&table_lock);
        int pts = fd_lookup(fd);
        pthread_mutex_unlock(&table_lock);
        if (pts >= 0)
            return emulated_line_ioctl(fd, pts, request, (int *)arg);
    }
    return real_ioctl(fd, request, arg);
}

/* ------------------------------------------------------------------------------------------ */
/* Process lifetime                                                                            */

static void before_fork(void)
{
    pthread_mutex_lock(&table_lock);
}

static void after_fork_parent(void)
{
    pthread_mutex_unlock(&table_lock);
}

/* The child shares the parent's descriptors: its closes and its exit are never the last close
 * of a pty, so it does not track them. The lock is still owned by the parent's thread id, which
 * the child cannot unlock: start it afresh. */
static void after_fork_child(void)
{
    fd_count = 0;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&table_lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

__attribute__((constructor)) static void ptymodem_init(void)
{
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

/* On a normal exit the kernel will close what is still open: apply the last-close rule now,
 * while the descriptors can still be queried, and release our tables. */
__attribute__((destructor)) static void ptymodem_fini(void)
{
    pthread_mutex_lock(&table_lock);
    while (fd_count > 0) {
        struct tracked_fd last = fds[--fd_count];
        drop_lines_on_last_close(last.fd, last.pts);
    }
    free(fds);
    fds = NULL;
    fd_capacity = 0;
    free(mem);
    mem = NULL;
    mem_count = mem_capacity = 0;
    pthread_mutex_unlock(&table_lock);
}
