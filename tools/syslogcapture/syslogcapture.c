/* Preload library: records what a process sends to syslog in the file named by
 * TVB_SYSLOG_FILE, one line per message ("<priority> <text>"), so scenario tests
 * and the demo can read the daemon's log without a system logger. Without the
 * variable the calls go on to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

typedef void (*vsyslog_fn)(int, const char*, va_list);

static int capture(int priority, const char* format, va_list args) {
    const char* path = getenv("TVB_SYSLOG_FILE");
    if (path == NULL || *path == '\0')
        return 0;
    char line[2048];
    int prefix = snprintf(line, sizeof line, "%d ", LOG_PRI(priority));
    int body = vsnprintf(line + prefix, sizeof line - (size_t)prefix - 1, format, args);
    size_t length = (size_t)prefix + (body < 0 ? 0 : (size_t)body);
    if (length > sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    /* One append per message keeps lines whole when several processes log. */
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, length);
        (void)ignored;
        close(fd);
    }
    return 1;
}

static void forward(int priority, const char* format, va_list args) {
    vsyslog_fn next = (vsyslog_fn)dlsym(RTLD_NEXT, "vsyslog");
    if (next != NULL)
        next(priority, format, args);
}

void vsyslog(int priority, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    if (!capture(priority, format, copy))
        forward(priority, format, args);
    va_end(copy);
}

/* In parentheses: a fortified C library header may define syslog as a macro. */
void(syslog)(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int flag, const char* format, ...) {
    (void)flag;
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list args) {
    (void)flag;
    vsyslog(priority, format, args);
}
