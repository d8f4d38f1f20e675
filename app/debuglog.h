// The debug log: one text file, opened, written and closed for every message.
#ifndef KELVOROV_APP_DEBUGLOG_H
#define KELVOROV_APP_DEBUGLOG_H

#include <stddef.h>

enum {
    MESSAGE_BUFFER_SIZE = 256
};

// Set once at start-up when the program is given any argument.
extern unsigned char debuglogenabled;

// Every formatted log message is composed here before it is written.
extern char messagebuffer[MESSAGE_BUFFER_SIZE];

// Writes one record "<time>\n: <message>\n". fresh (low byte) non-zero
// begins the file anew. Ends the process with status 1 when the file cannot
// be opened.
void writeDebugLog(const char* message, int fresh);

// Formats into messagebuffer and writes it with fresh = 0. A record too long
// for the buffer is cut inside its last inserted text, so the literal end of
// its frame (closing quote, line end) is kept.
void logmessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The 24-character time text and its newline: "Mon Jan 04 09:05:07 1999\n".
// out must hold 26 bytes.
void formatlogtime(char* out, size_t size, long long seconds);

#endif
