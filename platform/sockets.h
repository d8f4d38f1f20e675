/*
 * Sockets as the program sees them: IPv4 address records, inet_ntoa and
 * gethostbyname. The records and inet_ntoa are the operating system's
 * socket library's. On Windows gethostbyname is the operating system's too
 * (Windows Sockets 1.1, WSOCK32.dll). Elsewhere gethostbyname is the
 * platform's name service, which looks in the platform's own hosts file
 * before it asks the operating system; like the socket library's, it
 * returns one static record that the next call overwrites.
 */
#ifndef KELVOROV_PLATFORM_SOCKETS_H
#define KELVOROV_PLATFORM_SOCKETS_H

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

struct hostent* platformgethostbyname(const char* name);

#define gethostbyname(name) platformgethostbyname(name)
#endif

#endif
