// The last socket error on Windows (WSAGetLastError) and the texts of
// Windows error codes.
#include <string>

#include "socket.h"

namespace simplatform {
namespace {

// Texts of the socket errors the platform can meet, for systems whose
// message tables have none for them (Wine's, for one).
struct SocketErrorText {
    DWORD code;
    const char* text;
};
const SocketErrorText kSocketErrorTexts[] = {
    {WSAEINTR, "Interrupted function call"},
    {WSAEACCES, "Permission denied"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open sockets"},
    {WSAEWOULDBLOCK, "Resource temporarily unavailable"},
    {WSAENOTSOCK, "Socket operation on nonsocket"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEAFNOSUPPORT, "Address family not supported"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSANOTINITIALISED, "Windows sockets not started"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Nonauthoritative host not found"},
    {WSANO_DATA, "Valid name, no data record of requested type"},
};

}  // namespace

bool retryLater()
{
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}

bool passingDatagramError()
{
    int e = WSAGetLastError();
    return e == WSAECONNRESET || e == WSAEMSGSIZE || e == WSAEINTR || e == WSAENETRESET;
}

std::string lastSocketError()
{
    return windowsErrorText(static_cast<DWORD>(WSAGetLastError()));
}

// Without the trailing line break and full stop.
std::string windowsErrorText(unsigned long code)
{
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    while (n > 0 &&
           (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) {
        --n;
    }
    if (n > 0) {
        return std::string(buffer, n);
    }
    std::string number = std::to_string(code);
    for (const SocketErrorText& row : kSocketErrorTexts) {
        if (row.code == code) {
            return std::string(row.text) + " (error " + number + ")";
        }
    }
    return "error " + number;
}

}  // namespace simplatform
