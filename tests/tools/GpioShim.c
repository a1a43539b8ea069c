/* Stands in for the GPIO driver under a kqser subprocess (LD_PRELOAD):
 * "/dev/gpio" opens as /dev/null, a 4-byte read of it reports the level that
 * KQTEST_GPIO_LEVELS gives the record's line ("18=1,17=0"), and every ioctl
 * on it is appended to the file KQTEST_GPIO_LOG as "ioctl REQUEST ARG". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

/* The plain symbol names go through asm labels: with _FILE_OFFSET_BITS=64 on
 * a 32-bit target the headers rename open to open64, and a definition named
 * open would become a second open64. */
int shim_open(const char* path, int flags, ...) __asm__("open");
int shim_open64(const char* path, int flags, ...) __asm__("open64");
int shim_open_2(const char* path, int flags) __asm__("__open_2");
int shim_open64_2(const char* path, int flags) __asm__("__open64_2");
ssize_t shim_read(int fd, void* buf, size_t n) __asm__("read");
int shim_ioctl(int fd, unsigned long request, ...) __asm__("ioctl");
int shim_close(int fd) __asm__("close");
#if defined(__TIMESIZE) && __TIMESIZE == 32
/* What ioctl becomes with _TIME_BITS=64 on a 32-bit target. */
int shim_ioctl_time64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
#endif

static int gpio_fd = -1;

static int real_open(const char* path, int flags, mode_t mode) {
    static int (*next)(const char*, int, ...);
    if (next == NULL) next = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
    return next(path, flags, mode);
}

static ssize_t real_read(int fd, void* buf, size_t n) {
    static ssize_t (*next)(int, void*, size_t);
    if (next == NULL) next = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    return next(fd, buf, n);
}

static void log_line(const char* line) {
    const char* path = getenv("KQTEST_GPIO_LOG");
    if (path == NULL) return;
    int fd = real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)!write(fd, line, strlen(line));
    close(fd);
}

static int open_gpio(const char* path, int flags, mode_t mode) {
    if (path != NULL && strcmp(path, "/dev/gpio") == 0) {
        gpio_fd = real_open("/dev/null", O_RDONLY, 0);
        char line[64];
        snprintf(line, sizeof line, "open %d\n", flags);
        log_line(line);
        return gpio_fd;
    }
    return real_open(path, flags, mode);
}

static mode_t mode_arg(int flags, va_list ap) {
    return ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) ? (mode_t)va_arg(ap, int)
                                                                        : 0;
}

int shim_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_gpio(path, flags, mode);
}

int shim_open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_gpio(path, flags, mode);
}

int shim_open_2(const char* path, int flags) {
    return open_gpio(path, flags, 0);
}

int shim_open64_2(const char* path, int flags) {
    return open_gpio(path, flags, 0);
}

/* The driver reads the line the caller put in the record, which the libc
 * declaration of read calls write-only. */
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
ssize_t shim_read(int fd, void* buf, size_t n) {
    if (fd >= 0 && fd == gpio_fd && n == 4) {
        uint16_t record[2];
        memcpy(record, buf, sizeof record);
        const char* levels = getenv("KQTEST_GPIO_LEVELS");
        char key[16];
        snprintf(key, sizeof key, "%u=", (unsigned)record[0]);
        const char* at = levels != NULL ? strstr(levels, key) : NULL;
        record[1] = at != NULL ? (uint16_t)atoi(at + strlen(key)) : 0;
        memcpy(buf, record, sizeof record);
        char line[64];
        snprintf(line, sizeof line, "read %u\n", (unsigned)record[0]);
        log_line(line);
        return 4;
    }
    return real_read(fd, buf, n);
}

static int ioctl_via(const char* name, int fd, unsigned long request, void* arg) {
    if (fd >= 0 && fd == gpio_fd) {
        char line[64];
        snprintf(line, sizeof line, "ioctl %lu %d\n", request, (int)(intptr_t)arg);
        log_line(line);
        return 0;
    }
    int (*next)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, name);
    return next(fd, request, arg);
}

int shim_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return ioctl_via("ioctl", fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
int shim_ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return ioctl_via("__ioctl_time64", fd, request, arg);
}
#endif

int shim_close(int fd) {
    static int (*next)(int);
    if (next == NULL) next = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd == gpio_fd) {
        gpio_fd = -1;
        log_line("close\n");
    }
    return next(fd);
}
