/* Preloaded into quorin-cli by tests: stops the process (SIGSTOP) inside the write that takes the
 * file whose name ends in $QUORIN_HOLD_FILE past $QUORIN_HOLD_BYTES, once. The test then sends
 * its signals while the rip is certainly in the middle of that file. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long long written;
static int held;

static int IsHeldFile(int fd) {
    const char* want = getenv("QUORIN_HOLD_FILE");
    if (!want || !*want) return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    size_t a = strlen(path), b = strlen(want);
    return a >= b && strcmp(path + a - b, want) == 0;
}

ssize_t write(int fd, const void* data, size_t size) {
    static ssize_t (*next)(int, const void*, size_t);
    if (!next) next = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (!held && fd > 2 && IsHeldFile(fd)) {
        written += (long long)size;
        const char* limit = getenv("QUORIN_HOLD_BYTES");
        if (written > (limit ? atoll(limit) : 0)) {
            held = 1;
            raise(SIGSTOP);
        }
    }
    return next(fd, data, size);
}
