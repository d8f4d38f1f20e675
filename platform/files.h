/*
 * Files named by drive paths such as "c:\temp\name.txt". On Windows the
 * path is used as it stands and the C runtime does the work, so the
 * program needs nothing of the platform's libraries for its files;
 * elsewhere the platform maps the drive onto a folder of its own.
 */
#ifndef KELVOROV_PLATFORM_FILES_H
#define KELVOROV_PLATFORM_FILES_H

#include <stddef.h>

/*
 * Writes one piece of text to a file as a text stream would, and closes the
 * file again: mode "w" begins the file anew, "a" appends to it. The text is
 * written in one piece, unbuffered; nothing is held between calls and the
 * open never waits (for a reader of a FIFO, say).
 *
 * Returns 0 once the file was opened, whether or not the write then
 * succeeded; -1 when it could not be opened or is no regular file (a
 * folder, a FIFO or a terminal in its place).
 */
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

/* A text-mode handle: the runtime writes each "\n" as "\r\n", as a text
 * stream does. A folder does not open. */
static inline int platformwritefile(const char* path, const char* mode, const char* text, size_t size)
{
    int file;
    if (path == NULL || mode == NULL || text == NULL) {
        return -1;
    }
    file = _open(path, _O_WRONLY | _O_CREAT | _O_TEXT | (mode[0] == 'w' ? _O_TRUNC : _O_APPEND),
                 _S_IREAD | _S_IWRITE);
    if (file < 0) {
        return -1;
    }
    if (_write(file, text, (unsigned)size) < 0) {
        /* Write errors after the open are not reported. */
    }
    _close(file);
    return 0;
}

#else

int platformwritefile(const char* path, const char* mode, const char* text, size_t size);

#endif

#endif
