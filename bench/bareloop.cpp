// The benchmark's ceiling: a bare UDP receive loop that only counts
// datagrams, batching with recvmmsg. It parses nothing.
//
//   bareloop --bind 127.0.0.1:PORT [--batch B] [--rcvbuf BYTES]
//
// Prints "ready" once bound. SIGUSR1 prints "count N"; SIGTERM or SIGINT
// prints "count N" and exits. The socket keeps the system's default receive
// buffer unless --rcvbuf is given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t reportwanted = 0;
volatile sig_atomic_t stopwanted = 0;

void onusr1(int)
{
    reportwanted = 1;
}
void onterm(int)
{
    stopwanted = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string bindto;
    int batch = 64;
    int rcvbuf = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--bind")
            bindto = argv[i + 1];
        else if (a == "--batch")
            batch = atoi(argv[i + 1]);
        else if (a == "--rcvbuf")
            rcvbuf = atoi(argv[i + 1]);
        else {
            fprintf(stderr, "bareloop: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    size_t colon = bindto.rfind(':');
    if (colon == std::string::npos || batch < 1 || batch > 1024) {
        fprintf(stderr, "usage: bareloop --bind HOST:PORT [--batch B] [--rcvbuf BYTES]\n");
        return 2;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(atoi(bindto.c_str() + colon + 1)));
    if (inet_pton(AF_INET, bindto.substr(0, colon).c_str(), &addr.sin_addr) != 1) {
        fprintf(stderr, "bareloop: bad address %s\n", bindto.c_str());
        return 2;
    }

    struct sigaction sa { };
    sa.sa_handler = onusr1;  // no SA_RESTART: a blocked receive returns EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = onterm;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "bareloop: bind %s: %s\n", bindto.c_str(), strerror(errno));
        return 1;
    }
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // A signal that lands just before the receive call is seen within this.
    timeval tv{0, 20000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    std::vector<char> buffers(static_cast<size_t>(batch) * 2048);
    std::vector<iovec> iovs(static_cast<size_t>(batch));
    std::vector<mmsghdr> msgs(static_cast<size_t>(batch));
    for (int b = 0; b < batch; b++) {
        iovs[size_t(b)].iov_base = &buffers[size_t(b) * 2048];
        iovs[size_t(b)].iov_len = 2048;
        memset(&msgs[size_t(b)], 0, sizeof(mmsghdr));
        msgs[size_t(b)].msg_hdr.msg_iov = &iovs[size_t(b)];
        msgs[size_t(b)].msg_hdr.msg_iovlen = 1;
    }

    printf("ready\n");
    fflush(stdout);
    unsigned long long count = 0;
    while (!stopwanted) {
        if (reportwanted) {
            reportwanted = 0;
            printf("count %llu\n", count);
            fflush(stdout);
        }
        int n = recvmmsg(s, msgs.data(), unsigned(batch), MSG_WAITFORONE, nullptr);
        if (n > 0)
            count += unsigned(n);
    }
    printf("count %llu\n", count);
    fflush(stdout);
    return 0;
}
