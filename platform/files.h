/*
 * Files named by drive paths such as "c:\temp\name.txt". On Windows the
 * path is used as it stands; elsewhere the platform maps the drive onto a
 * folder of its own. Otherwise the same as the standard library's fopen.
 */
#ifndef KELVOROV_PLATFORM_FILES_H
#define KELVOROV_PLATFORM_FILES_H

#include <stdio.h>

FILE* platformfopen(const char* path, const char* mode);

#endif
