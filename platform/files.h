/*
 * Files named by drive paths such as "c:\temp\name.txt". On Windows the
 * path is used as it stands; elsewhere the platform maps the drive onto a
 * folder of its own.
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
int platformwritefile(const char* path, const char* mode, const char* text, size_t size);

#endif
