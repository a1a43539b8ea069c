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

static int gpio_fd = -1;

static int real_open(const char* path, int flags, mode_t mode) {
    static int (*next)(const char*, int, ...);
    if (next == NULL) next = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
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
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_gpio(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_gpio(path, flags, mode);
}

int __open_2(const char* path, int flags) {
    return open_gpio(path, flags, 0);
}

int __open64_2(const char* path, int flags) {
    return open_gpio(path, flags, 0);
}

/* The driver reads the line the caller put in the record, which the libc
 * declaration of read calls write-only. */
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
ssize_t read(int fd, void* buf, size_t n) {
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

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd >= 0 && fd == gpio_fd) {
        char line[64];
        snprintf(line, sizeof line, "ioctl %lu %d\n", request, (int)(intptr_t)arg);
        log_line(line);
        return 0;
    }
    static int (*next)(int, unsigned long, ...);
    if (next == NULL) next = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

int close(int fd) {
    static int (*next)(int);
    if (next == NULL) next = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd == gpio_fd) {
        gpio_fd = -1;
        log_line("close\n");
    }
    return next(fd);
}
