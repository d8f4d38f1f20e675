// The Windows message-loop backend, run under Wine: handlers inside the
// system's DispatchMessageA, datagram bursts whatever a handler reads per
// call, records released before the next handler, handlers that unwatch or
// close their own socket, writable handlers while the socket takes data,
// timers that tick inside DispatchMessageA and stop, and postQuit. Prints one line per case and exits 0 when all
// passed.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "simplatform/os/net.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/loop.h"

namespace {

using simplatform::Socket;

int failures = 0;
bool insideDispatch = false;
int handlerCallsOutsideDispatch = 0;

#define CHECK(condition, ...)                                               \
    do {                                                                    \
        if (!(condition)) {                                                 \
            ++failures;                                                     \
            printf("  FAILED %s:%d: %s: ", __FILE__, __LINE__, #condition); \
            printf(__VA_ARGS__);                                            \
            printf("\n");                                                   \
        }                                                                   \
    } while (0)

void noteHandler()
{
    if (!insideDispatch) {
        ++handlerCallsOutsideDispatch;
    }
}

// Runs the program's loop until done() or ms have passed; done()'s answer.
bool pumpUntil(const std::function<bool()>& done, UINT ms)
{
    if (done()) {
        return true;
    }
    UINT_PTR timer = SetTimer(nullptr, 0, ms, nullptr);
    MSG msg;
    bool result = false;
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == timer) {
            result = done();
            break;
        }
        TranslateMessage(&msg);
        insideDispatch = true;
        DispatchMessageA(&msg);
        insideDispatch = false;
        if (done()) {
            result = true;
            break;
        }
    }
    KillTimer(nullptr, timer);
    return result;
}

sockaddr_in loopback(unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

Socket boundSocket(int type)
{
    Socket s = socket(AF_INET, type, 0);
    sockaddr_in addr = loopback(0);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        printf("cannot open a socket: %s\n", simplatform::lastSocketError().c_str());
        exit(2);
    }
    return s;
}

sockaddr_in addressOf(Socket s)
{
    sockaddr_in addr{};
    int length = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length);
    return addr;
}

void sendDatagrams(const sockaddr_in& to, int count)
{
    Socket sender = boundSocket(SOCK_DGRAM);
    for (int i = 0; i < count; ++i) {
        char text[16];
        int n = snprintf(text, sizeof text, "%d", i);
        sendto(sender, text, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    closesocket(sender);
}

// Reads one datagram; false when none was waiting.
bool readDatagram(Socket s)
{
    char buffer[64];
    return recv(s, buffer, sizeof buffer, 0) >= 0;
}

// A handler that drains every waiting datagram per call gets further calls
// that find nothing (Winsock posts FD_READ again after each recv while data
// remained); one that reads one per call is called once per datagram.
void datagramBursts()
{
    printf("datagram bursts\n");
    const int count = 200;
    for (bool drain : {true, false}) {
        Socket s = boundSocket(SOCK_DGRAM);
        CHECK(simplatform::setNonBlocking(s), "%s", simplatform::lastSocketError().c_str());
        int received = 0;
        int emptyCalls = 0;
        simplatform::watchSocket(s, [&, s] {
            noteHandler();
            int before = received;
            while (readDatagram(s)) {
                ++received;
                if (!drain) {
                    break;
                }
            }
            if (received == before) {
                CHECK(WSAGetLastError() == WSAEWOULDBLOCK, "error %d", WSAGetLastError());
                ++emptyCalls;
            }
        });
        sendDatagrams(addressOf(s), count);
        pumpUntil([&] { return received == count; }, 10000);
        CHECK(received == count, "%s handler: %d of %d datagrams", drain ? "draining" : "one-a-call", received,
              count);
        // Let any messages still queued arrive: none may find data.
        pumpUntil([] { return false; }, 200);
        CHECK(received == count, "%d datagrams after the queue settled", received);
        printf("  %s handler: %d datagrams, %d calls found nothing\n", drain ? "draining" : "one-a-call", received,
               emptyCalls);
        simplatform::closeSocket(s);
    }
}

// A record kept while one handler runs is released before the next handler
// is called, and not before that handler returns.
void recordsReleasedBeforeTheNextHandler()
{
    printf("records released before the next handler\n");
    Socket s = boundSocket(SOCK_DGRAM);
    int released = 0;
    std::vector<int> seenAtCall;
    simplatform::watchSocket(s, [&, s] {
        noteHandler();
        readDatagram(s);
        seenAtCall.push_back(released);
        simplatform::keepUntilNextMessage([&] { ++released; });
        CHECK(released == static_cast<int>(seenAtCall.size()) - 1, "call %d: %d records released",
              static_cast<int>(seenAtCall.size()), released);
    });
    for (int i = 0; i < 3; ++i) {
        sendDatagrams(addressOf(s), 1);
        size_t calls = seenAtCall.size() + 1;
        pumpUntil([&] { return seenAtCall.size() == calls; }, 5000);
    }
    CHECK(seenAtCall.size() == 3, "%d handler calls", static_cast<int>(seenAtCall.size()));
    for (size_t i = 0; i < seenAtCall.size(); ++i) {
        CHECK(seenAtCall[i] == static_cast<int>(i), "call %d saw %d released", static_cast<int>(i), seenAtCall[i]);
    }
    simplatform::closeSocket(s);
    simplatform::releaseReturnedRecords();
}

// A handler may unwatch or close its own socket; it then is never called
// again, and a handler may watch a new socket.
void handlersThatEndTheirOwnWatch()
{
    printf("handlers that end their own watch\n");
    Socket a = boundSocket(SOCK_DGRAM);
    Socket b = boundSocket(SOCK_DGRAM);
    Socket c = boundSocket(SOCK_DGRAM);
    int callsA = 0;
    int callsB = 0;
    int callsC = 0;
    std::string captured = "state a handler still reads after its watch ended";
    simplatform::watchSocket(a, [&, a, captured] {
        noteHandler();
        ++callsA;
        simplatform::unwatchSocket(a);
        CHECK(captured.size() > 10, "the handler's own captures went away under it");
        readDatagram(a);
        simplatform::watchSocket(c, [&, c] {
            noteHandler();
            ++callsC;
            readDatagram(c);
        });
    });
    simplatform::watchSocket(b, [&, b] {
        noteHandler();
        ++callsB;
        simplatform::closeSocket(b);
    });
    sendDatagrams(addressOf(a), 3);
    sendDatagrams(addressOf(b), 3);
    pumpUntil([&] { return callsA >= 1 && callsB >= 1; }, 5000);
    sendDatagrams(addressOf(c), 1);
    pumpUntil([&] { return callsC >= 1; }, 5000);
    sendDatagrams(addressOf(a), 1);
    pumpUntil([] { return false; }, 300);
    CHECK(callsA == 1, "unwatched handler called %d times", callsA);
    CHECK(callsB == 1, "closed handler called %d times", callsB);
    CHECK(callsC == 1, "handler watched from a handler called %d times", callsC);
    simplatform::closeSocket(a);
    simplatform::closeSocket(c);
}

// A connected TCP pair on loopback, both ends non-blocking.
void tcpPair(Socket& server, Socket& client)
{
    Socket listener = boundSocket(SOCK_STREAM);
    listen(listener, 4);
    sockaddr_in at = addressOf(listener);
    client = socket(AF_INET, SOCK_STREAM, 0);
    CHECK(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0, "connect: %s",
          simplatform::lastSocketError().c_str());
    server = accept(listener, nullptr, nullptr);
    CHECK(server != INVALID_SOCKET, "accept: %s", simplatform::lastSocketError().c_str());
    closesocket(listener);
    simplatform::setNonBlocking(server);
    simplatform::setNonBlocking(client);
}

// A writable handler is called while its socket can take data, until it
// stops its watch: after the send buffer filled up, whether it sends until
// the buffer is full again or one chunk a call, and at once when the socket
// is writable as the watch is set. The readable watch stays meanwhile.
void writableWhileTheSocketTakesData()
{
    printf("writable while the socket takes data\n");
    for (bool oneChunkACall : {false, true}) {
        const char* style = oneChunkACall ? "one chunk a call" : "until full";
        Socket server;
        Socket client;
        tcpPair(server, client);
        int small = 4096;
        setsockopt(server, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);

        const size_t total = 2 << 20;
        std::string chunk(16384, 'k');
        size_t sent = 0;
        bool full = false;
        if (!oneChunkACall) {
            while (sent < total) {
                int n = send(server, chunk.data(), static_cast<int>(chunk.size()), 0);
                if (n < 0) {
                    full = WSAGetLastError() == WSAEWOULDBLOCK;
                    break;
                }
                sent += static_cast<size_t>(n);
            }
            CHECK(full, "the send buffer never filled (%d bytes went)", static_cast<int>(sent));
        }

        int serverReads = 0;
        simplatform::watchSocket(server, [&] {
            noteHandler();
            ++serverReads;
        });
        int writableCalls = 0;
        bool writeDone = false;
        simplatform::watchSocketWritable(server, [&] {
            noteHandler();
            ++writableCalls;
            while (sent < total) {
                size_t left = total - sent < chunk.size() ? total - sent : chunk.size();
                int n = send(server, chunk.data(), static_cast<int>(left), 0);
                if (n < 0) {
                    CHECK(WSAGetLastError() == WSAEWOULDBLOCK, "send: %d", WSAGetLastError());
                    return;
                }
                sent += static_cast<size_t>(n);
                if (oneChunkACall) {
                    break;
                }
            }
            if (sent == total) {
                writeDone = true;
                simplatform::watchSocketWritable(server, nullptr);
            }
        });
        size_t received = 0;
        simplatform::watchSocket(client, [&] {
            noteHandler();
            char buffer[65536];
            int n = recv(client, buffer, sizeof buffer, 0);
            if (n > 0) {
                received += static_cast<size_t>(n);
            }
        });
        pumpUntil([&] { return received == total; }, 20000);
        CHECK(writeDone && received == total, "%s: %d of %d bytes sent, %d received", style,
              static_cast<int>(sent), static_cast<int>(total), static_cast<int>(received));
        CHECK(writableCalls >= 2, "%s: writable handler called %d times", style, writableCalls);
        printf("  %s: %d bytes, writable handler called %d times\n", style, static_cast<int>(received),
               writableCalls);

        // The readable watch survived the writable one: the peer's data arrives.
        send(client, "x", 1, 0);
        pumpUntil([&] { return serverReads > 0; }, 5000);
        CHECK(serverReads > 0, "%s: the readable watch was lost", style);
        simplatform::closeSocket(client);
        simplatform::closeSocket(server);
    }
}

// A timer ticks inside DispatchMessageA, more than once, and not after it
// was stopped, even from its own tick.
void timersTickUntilStopped()
{
    printf("timers\n");
    int ticks = 0;
    int timer = 0;
    timer = simplatform::startTimer(std::chrono::milliseconds(20), [&] {
        noteHandler();
        if (++ticks == 3) {
            simplatform::stopTimer(timer);
        }
    });
    CHECK(timer != 0, "no timer id");
    CHECK(pumpUntil([&] { return ticks >= 3; }, 2000), "%d ticks", ticks);
    pumpUntil([] { return false; }, 150);
    CHECK(ticks == 3, "%d ticks after the timer stopped", ticks);
}

// postQuit makes the next GetMessageA return 0.
void quit()
{
    printf("postQuit\n");
    simplatform::postQuit();
    MSG msg;
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    CHECK(got == 0 && msg.message == WM_QUIT, "GetMessageA gave %d, message %u", static_cast<int>(got),
          msg.message);
}

}  // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Linking the platform starts nothing: sockets start when the platform
    // makes its first one (or here, when asked), not while it is loaded.
    Socket early = socket(AF_INET, SOCK_DGRAM, 0);
    CHECK(early == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED,
          "a socket could be made before the platform started sockets");
    if (!simplatform::startSockets()) {
        return 2;
    }
    for (void (*run)() : {datagramBursts, recordsReleasedBeforeTheNextHandler, handlersThatEndTheirOwnWatch,
                          writableWhileTheSocketTakesData, timersTickUntilStopped}) {
        DWORD start = GetTickCount();
        run();
        printf("  (%lu ms)\n", static_cast<unsigned long>(GetTickCount() - start));
    }
    CHECK(handlerCallsOutsideDispatch == 0, "%d handler calls outside DispatchMessageA",
          handlerCallsOutsideDispatch);
    quit();
    if (failures != 0) {
        printf("%d failed\n", failures);
        return 1;
    }
    printf("all passed\n");
    return 0;
}
