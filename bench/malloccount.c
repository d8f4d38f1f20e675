// Counts heap allocations: preloaded (LD_PRELOAD) into a receiver, it
// counts every malloc, calloc, realloc and aligned allocation (operator new
// comes through malloc) and, when the process ends normally, writes
// "allocations N" to the file named by $MALLOCCOUNT_OUT. SIGUSR1 writes the
// count so far to the same file, so that a test can read it between two
// moments of one run.
//
//   cc -O2 -shared -fPIC -o malloccount.so malloccount.c
//   MALLOCCOUNT_OUT=/tmp/n LD_PRELOAD=./malloccount.so receiver ...
//
// glibc only: the counted calls hand on to glibc's own __libc_ functions.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* old, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static unsigned long long allocations;

void* malloc(size_t size)
{
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_calloc(count, size);
}

void* realloc(void* old, size_t size)
{
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_realloc(old, size);
}

void* memalign(size_t alignment, size_t size)
{
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    void* p = memalign(alignment, size);
    if (p == NULL) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

// Async-signal-safe: no stdio, the digits made by hand.
static void writecount(void)
{
    const char* path = getenv("MALLOCCOUNT_OUT");
    if (path == NULL || path[0] == '\0') {
        return;
    }
    char text[64] = "allocations ";
    size_t n = strlen(text);
    char digits[24];
    size_t d = 0;
    unsigned long long v = __atomic_load_n(&allocations, __ATOMIC_RELAXED);
    do {
        digits[d++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (d > 0) {
        text[n++] = digits[--d];
    }
    text[n++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (write(fd, text, n) != (ssize_t)n) {
            // Nothing to do: the reader sees a short or empty file.
        }
        close(fd);
    }
}

static void onsignal(int signal)
{
    (void)signal;
    int saved = errno;
    writecount();
    errno = saved;
}

__attribute__((constructor)) static void start(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onsignal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, NULL);
}

__attribute__((destructor)) static void report(void)
{
    writecount();
}
