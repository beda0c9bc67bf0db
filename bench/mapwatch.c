/* mapwatch: how long a program takes to map its first top-level window, and its idle memory.
 *
 *   mapwatch [-t TIMEOUT_MS] [-i IDLE_MS] [-k KILL_MS] [-o PATH] -- COMMAND [ARG...]
 *
 * Needs an X server without a window manager: a top-level's MapNotify then reaches the root
 * window's SubstructureNotify directly. Prints key=value lines on stdout:
 *   map_us=<microseconds from just before fork to the first MapNotify>
 *   window=0x<id>
 * and with -i, after IDLE_MS more milliseconds:
 *   rss_kb=<VmRSS> rss_anon_kb=<RssAnon> rss_file_kb=<RssFile> rss_shmem_kb=<RssShmem>
 *   open=<1|0>  (with -o: whether the child has PATH open)
 * Then it sends SIGTERM, SIGKILL after KILL_MS, reaps the child and prints exit=<status>.
 * Exits non-zero when no window was mapped in time or the child died first.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

static long long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

static void usage(void)
{
    fprintf(stderr,
            "usage: mapwatch [-t TIMEOUT_MS] [-i IDLE_MS] [-k KILL_MS] [-o PATH] -- "
            "COMMAND [ARG...]\n");
    exit(2);
}

/* Reaps the child if it has ended; returns 1 and its status then. */
static int child_ended(pid_t pid, int *status)
{
    return waitpid(pid, status, WNOHANG) == pid;
}

static void print_status(int status)
{
    if (WIFEXITED(status))
        printf("exit=%d\n", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        printf("exit=signal%d\n", WTERMSIG(status));
}

static long status_field(pid_t pid, const char *name)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    long value = -1;
    size_t length = strlen(name);
    while (fgets(line, sizeof line, file)) {
        if (strncmp(line, name, length) == 0 && line[length] == ':') {
            value = strtol(line + length + 1, NULL, 10);
            break;
        }
    }
    fclose(file);
    return value;
}

static int has_open(pid_t pid, const char *wanted)
{
    char dir[64], link[PATH_MAX], target[PATH_MAX];
    for (int fd = 0; fd < 1024; ++fd) {
        snprintf(dir, sizeof dir, "/proc/%d/fd", (int)pid);
        snprintf(link, sizeof link, "%s/%d", dir, fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n < 0)
            continue;
        target[n] = '\0';
        if (strcmp(target, wanted) == 0)
            return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    long timeout_ms = 20000, idle_ms = -1, kill_ms = 3000;
    const char *open_path = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "+t:i:k:o:")) != -1) {
        switch (opt) {
        case 't':
            timeout_ms = atol(optarg);
            break;
        case 'i':
            idle_ms = atol(optarg);
            break;
        case 'k':
            kill_ms = atol(optarg);
            break;
        case 'o':
            open_path = optarg;
            break;
        default:
            usage();
        }
    }
    if (optind >= argc)
        usage();

    int screen_number;
    xcb_connection_t *connection = xcb_connect(NULL, &screen_number);
    if (xcb_connection_has_error(connection)) {
        fprintf(stderr, "mapwatch: cannot connect to the X server\n");
        return 1;
    }
    const xcb_setup_t *setup = xcb_get_setup(connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screen_number; ++i)
        xcb_screen_next(&screens);
    xcb_window_t root = screens.data->root;

    // The selection must be in force before the child starts, or an early map would be missed.
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_generic_error_t *error = xcb_request_check(
        connection,
        xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &mask));
    if (error) {
        fprintf(stderr, "mapwatch: cannot watch the root window (X error %d)\n", error->error_code);
        return 1;
    }
    int xfd = xcb_get_file_descriptor(connection);
    fcntl(xfd, F_SETFD, FD_CLOEXEC);
    fflush(stdout);

    long long start = now_us();
    pid_t pid = fork();
    if (pid < 0) {
        perror("mapwatch: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[optind], argv + optind);
        fprintf(stderr, "mapwatch: cannot run %s: %s\n", argv[optind], strerror(errno));
        _exit(127);
    }

    long long deadline = start + timeout_ms * 1000LL;
    long long mapped_at = -1;
    xcb_window_t window = 0;
    int status = 0, ended = 0;
    while (mapped_at < 0) {
        xcb_generic_event_t *event;
        while (mapped_at < 0 && (event = xcb_poll_for_event(connection))) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                xcb_map_notify_event_t *map = (xcb_map_notify_event_t *)event;
                // Menus and tooltips are override-redirect; the main window is not.
                if (map->event == root && !map->override_redirect) {
                    mapped_at = now_us();
                    window = map->window;
                }
            }
            free(event);
        }
        if (mapped_at >= 0)
            break;
        if (xcb_connection_has_error(connection)) {
            fprintf(stderr, "mapwatch: lost the X connection\n");
            break;
        }
        if (child_ended(pid, &status)) {
            ended = 1;
            fprintf(stderr, "mapwatch: the program ended before mapping a window\n");
            break;
        }
        long long left = deadline - now_us();
        if (left <= 0) {
            fprintf(stderr, "mapwatch: no window mapped within %ld ms\n", timeout_ms);
            break;
        }
        // Short slices only so that an early exit of the child is noticed.
        struct pollfd pfd = {xfd, POLLIN, 0};
        poll(&pfd, 1, left > 20000 ? 20 : (int)((left + 999) / 1000));
    }

    int result = 1;
    if (mapped_at >= 0) {
        printf("map_us=%lld\nwindow=0x%x\n", mapped_at - start, (unsigned)window);
        result = 0;
        if (idle_ms >= 0) {
            sleep_ms(idle_ms);
            if (child_ended(pid, &status)) {
                ended = 1;
                fprintf(stderr, "mapwatch: the program ended while idle\n");
                result = 1;
            } else {
                printf("rss_kb=%ld rss_anon_kb=%ld rss_file_kb=%ld rss_shmem_kb=%ld\n",
                       status_field(pid, "VmRSS"), status_field(pid, "RssAnon"),
                       status_field(pid, "RssFile"), status_field(pid, "RssShmem"));
                if (open_path)
                    printf("open=%d\n", has_open(pid, open_path));
            }
        }
    }

    if (!ended) {
        kill(pid, SIGTERM);
        long long kill_deadline = now_us() + kill_ms * 1000LL;
        while (!(ended = child_ended(pid, &status)) && now_us() < kill_deadline)
            sleep_ms(5);
        if (!ended) {
            fprintf(stderr, "mapwatch: no exit %ld ms after SIGTERM, sending SIGKILL\n", kill_ms);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    print_status(status);
    xcb_disconnect(connection);
    return result;
}
