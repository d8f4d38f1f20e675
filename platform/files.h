/*
 * Files named by drive paths such as "c:\temp\name.txt". On Windows the
 * path is used as it stands: platformfopen is the C runtime's fopen.
 * Elsewhere the platform maps the drive onto a folder of its own; otherwise
 * the same as the standard library's fopen.
 */
#ifndef KELVOROV_PLATFORM_FILES_H
#define KELVOROV_PLATFORM_FILES_H

#include <stdio.h>

#ifdef _WIN32
#define platformfopen(path, mode) fopen((path), (mode))
#else
FILE* platformfopen(const char* path, const char* mode);
#endif

#endif
