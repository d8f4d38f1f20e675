// The debug log. The file is opened, written and closed again for every
// message, so it is complete after every record whatever happens next. A
// record costs that and no more: composed in a fixed buffer, it is handed to
// the file in one write.
#include "debuglog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../platform/files.h"

unsigned char debuglogenabled = 0;
char messagebuffer[MESSAGE_BUFFER_SIZE];

static const char logpath[] = "c:\\temp\\kelvorov.txt";

static const char daynames[] = "SunMonTueWedThuFriSat";
static const char monthnames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// asctime() pads the day of month with a blank; the log pads every numeric
// field with zeros, so the time is rendered here.
void formatlogtime(char* out, size_t size, long long seconds)
{
    if (size == 0) {
        return;
    }
    time_t when = (time_t)seconds;
    const struct tm* local = localtime(&when);
    if (local == NULL) {
        snprintf(out, size, "??? ??? 00 00:00:00 0000\n");
        return;
    }
    int day = (local->tm_wday >= 0 && local->tm_wday < 7) ? local->tm_wday : 0;
    int month = (local->tm_mon >= 0 && local->tm_mon < 12) ? local->tm_mon : 0;
    // Each number kept to its width, so that the line is at most 25 bytes
    // whatever localtime() gives.
    snprintf(out, size, "%.3s %.3s %02u %02u:%02u:%02u %04u\n", &daynames[day * 3], &monthnames[month * 3],
             (unsigned)local->tm_mday % 100u, (unsigned)local->tm_hour % 100u, (unsigned)local->tm_min % 100u,
             (unsigned)local->tm_sec % 100u, (unsigned)(local->tm_year + 1900) % 10000u);
}

// The time text changes once a second; the last one is kept.
static long long lasttextsecond = -1;
static char lasttimetext[32];  // a five-digit year still fits

// A record: the time text, ": ", the message and a newline, written in one
// piece. Every message the system writes fits the MessageBuffer; a longer
// one is cut to fit here.
static char record[sizeof lasttimetext + 2 + 4 * MESSAGE_BUFFER_SIZE + 1];

void writeDebugLog(const char* message, int fresh)
{
    if (debuglogenabled == 0) {
        return;
    }
    long long now = (long long)time(NULL);
    if (now != lasttextsecond || lasttimetext[0] == '\0') {
        formatlogtime(lasttimetext, sizeof lasttimetext, now);
        lasttextsecond = now;
    }
    size_t length = strlen(lasttimetext);
    memcpy(record, lasttimetext, length);
    record[length++] = ':';
    record[length++] = ' ';
    if (message != NULL) {
        size_t room = sizeof record - 1 - length;
        size_t size = strlen(message);
        if (size > room) {
            size = room;
        }
        memcpy(record + length, message, size);
        length += size;
    }
    record[length++] = '\n';
    if (platformwritefile(logpath, (fresh & 0xFF) != 0 ? "w" : "a", record, length) != 0) {
        fputs("Could not create debug file.  Exiting\n", stderr);
        exit(1);
    }
}

// The literal text after the format's last conversion: the end of a
// record's frame, such as the closing quote and line end of
// "community     = \"%s\"\n". "%%" is part of the literal text.
static const char* frameend(const char* format)
{
    const char* end = format;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            p++;
        } else if (p[1] == '%') {
            p += 2;
        } else {
            p++;
            while (*p != '\0' && strchr("diouxXeEfFgGaAcspn", *p) == NULL)
                p++;
            if (*p != '\0')
                p++;
            end = p;
        }
    }
    return end;
}

void logmessage(const char* format, ...)
{
    if (debuglogenabled == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    int length = vsnprintf(messagebuffer, sizeof messagebuffer, format, args);
    va_end(args);
    // A record too long for the buffer loses the end of its last inserted
    // text, never the end of its frame.
    if (length >= (int)sizeof messagebuffer) {
        const char* tail = frameend(format);
        size_t taillength = strlen(tail);
        if (strchr(tail, '%') == NULL && taillength < sizeof messagebuffer)
            memcpy(messagebuffer + sizeof messagebuffer - 1 - taillength, tail, taillength + 1);
    }
    writeDebugLog(messagebuffer, 0);
}
