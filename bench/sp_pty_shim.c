// SPDX-License-Identifier: MIT
// libserialport refuses a pseudo-terminal in two set-up calls: looking the
// port up (it wants a device under /sys/class/tty) and opening it (a pty has
// no modem lines, so TIOCMGET/TIOCMBIS fail). These wrappers answer those two
// questions for ptys only and while kqbench_sp_setup is set; everything else,
// and every call made during the timed round trips, goes straight through.
#ifndef _GNU_SOURCE  // the core's headers may define it already
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int kqbench_sp_setup = 0;

static int PtySysPath(const char* path) {
    static const char prefix[] = "/sys/class/tty/pts/";
    return kqbench_sp_setup && path != NULL && strncmp(path, prefix, sizeof prefix - 1) == 0;
}

// Older builds of libserialport call lstat through __lxstat.
int __lxstat(int ver, const char* path, struct stat* st) {
    if (PtySysPath(path)) {
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFLNK | 0777;
        return 0;
    }
    static int (*real)(int, const char*, struct stat*);
    if (real == NULL) {
        *(void**)&real = dlsym(RTLD_NEXT, "__lxstat");
    }
    return real(ver, path, st);
}

int lstat(const char* path, struct stat* st) {
    if (PtySysPath(path)) {
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFLNK | 0777;
        return 0;
    }
    static int (*real)(const char*, struct stat*);
    if (real == NULL) {
        *(void**)&real = dlsym(RTLD_NEXT, "lstat");
    }
    return real(path, st);
}

ssize_t readlink(const char* path, char* buf, size_t size) {
    if (PtySysPath(path)) {
        static const char target[] = "../../devices/virtual/tty/pts";
        const size_t n = sizeof target - 1 < size ? sizeof target - 1 : size;
        memcpy(buf, target, n);
        return (ssize_t)n;
    }
    static ssize_t (*real)(const char*, char*, size_t);
    if (real == NULL) {
        *(void**)&real = dlsym(RTLD_NEXT, "readlink");
    }
    return real(path, buf, size);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static int (*real)(int, unsigned long, ...);
    if (real == NULL) {
        *(void**)&real = dlsym(RTLD_NEXT, "ioctl");
    }
    const int r = real(fd, request, arg);
    if (r < 0 && errno == ENOTTY && kqbench_sp_setup &&
        (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC ||
         request == TIOCMSET)) {
        if (request == TIOCMGET) {
            *(int*)arg = TIOCM_DTR | TIOCM_RTS;
        }
        return 0;
    }
    return r;
}
