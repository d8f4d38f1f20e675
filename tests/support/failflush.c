/* Preloaded into the program by the end-to-end tests: while the file named
 * by $KELVOROV_FAIL_FLUSH exists, fdatasync and fsync fail with EIO, as a
 * failing disk makes them fail; otherwise they are the C library's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

static int failing(void)
{
    const char* path = getenv("KELVOROV_FAIL_FLUSH");
    return path != NULL && access(path, F_OK) == 0;
}

int fdatasync(int fd)
{
    static int (*real)(int);
    if (failing()) {
        errno = EIO;
        return -1;
    }
    if (real == NULL) {
        real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    }
    return real(fd);
}

int fsync(int fd)
{
    static int (*real)(int);
    if (failing()) {
        errno = EIO;
        return -1;
    }
    if (real == NULL) {
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    }
    return real(fd);
}
