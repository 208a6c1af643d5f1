/* Starts a program and measures the time until the X server maps its window with the
 * given title (a direct child of the root window: no window manager runs under Xvfb).
 * Prints the milliseconds on standard output, then ends the program with SIGTERM and
 * waits for it.
 *   window_wait <title> <timeout s> <program> [arguments...]
 * Exit 0 when the window was seen, 1 on a timeout, 2 when X or the program fails. */
#define _POSIX_C_SOURCE 200809L
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* WM_NAME of any text type (Qt writes UTF8_STRING for some windows). */
static int has_title(Display* display, Window window, char const* title) {
    XTextProperty name;
    int same = 0;
    if (XGetWMName(display, window, &name) && name.value) {
        same = name.nitems == strlen(title) && memcmp(name.value, title, name.nitems) == 0;
        XFree(name.value);
    }
    return same;
}

/* A window of the program may be gone before it is looked at. */
static int ignore_error(Display* display, XErrorEvent* error) {
    (void)display;
    (void)error;
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: window_wait <title> <timeout s> <program> [arguments...]\n");
        return 2;
    }
    char const* title = argv[1];
    double const timeout_ms = atof(argv[2]) * 1000.0;
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "window_wait: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(ignore_error);
    Window const root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    double const start = now_ms();
    pid_t const child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        close(ConnectionNumber(display));
        execvp(argv[3], argv + 3);
        perror("window_wait: exec");
        _exit(127);
    }

    /* Shown = mapped; the time is the map's, once the window carries the title. */
    enum { max_mapped = 64 };
    Window mapped[max_mapped];
    double mapped_at[max_mapped];
    int mapped_count = 0;
    int seen = 0;
    double shown = 0;
    int const fd = ConnectionNumber(display);
    while (!seen) {
        while (!seen && XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify) {
                /* The title may follow the map: watch the window's properties. */
                Window const window = event.xmap.window;
                double const at = now_ms();
                if (has_title(display, window, title)) {
                    shown = at;
                    seen = 1;
                } else if (mapped_count < max_mapped) {
                    XSelectInput(display, window, PropertyChangeMask);
                    mapped[mapped_count] = window;
                    mapped_at[mapped_count++] = at;
                    if (has_title(display, window, title)) {
                        shown = at;
                        seen = 1;
                    }
                }
            } else if (event.type == PropertyNotify) {
                for (int i = 0; i < mapped_count; ++i)
                    if (mapped[i] == event.xproperty.window &&
                        has_title(display, mapped[i], title)) {
                        shown = mapped_at[i];
                        seen = 1;
                    }
            }
        }
        if (seen)
            break;
        double const left = timeout_ms - (now_ms() - start);
        if (left <= 0)
            break;
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            fprintf(stderr, "window_wait: the program ended before showing its window\n");
            return 2;
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        struct timeval wait = {0, 50000};
        if (left < 50)
            wait.tv_usec = (long)(left * 1000);
        select(fd + 1, &fds, NULL, NULL, &wait);
    }
    if (seen)
        printf("%.1f\n", shown - start);
    kill(child, SIGTERM);
    waitpid(child, NULL, 0);
    XCloseDisplay(display);
    return seen ? 0 : 1;
}
