// Trap flood sender for the benchmark.
//
// Sends SNMPv2c SNMPv2-Trap datagrams, pre-encoded in BER, from a chosen
// 127.0.0.x source to one UDP destination: a fixed count, at a fixed rate or
// as fast as it can, in batches handed to the kernel with sendmmsg. The
// notification identifiers given with --oid are used in turn (trap i carries
// identifier i mod n), so alternating ...935.0.5 and ...935.0.9 makes every
// trap change the UPS symbol's label.
//
// With --watch-fd it also measures latency: a second thread reads the
// receiving program's console (one line per map change) from that file
// descriptor and timestamps each line on arrival. Trap i is taken as shown
// when the next line whose label ends with trap i's expected suffix arrives
// (--oid OID=SUFFIX); latency is that arrival time minus trap i's send time,
// both on CLOCK_MONOTONIC.
//
// Prints one JSON line on standard output when done.
//
//   sender --dest 127.0.0.1:10162 [--src 127.0.0.1] [--count N]
//          [--rate R | --rate 0 (as fast as possible)] [--duration S]
//          [--batch B] [--community C] --oid OID[=SUFFIX] ...
//          [--watch-fd FD --wait S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t nowns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void sleepuntil(uint64_t ns)
{
    timespec ts;
    ts.tv_sec = time_t(ns / 1000000000ull);
    ts.tv_nsec = long(ns % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) { }
}

[[noreturn]] void fail(const std::string& text)
{
    fprintf(stderr, "sender: %s\n", text.c_str());
    exit(2);
}

// ---- BER ----

Bytes tlv(uint8_t tag, const Bytes& content)
{
    Bytes out{tag};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(uint8_t(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(uint8_t(n));
    } else {
        out.push_back(0x82);
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(n));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Minimal two's-complement encoding of a non-negative number.
Bytes uintcontent(uint32_t v)
{
    Bytes out;
    do {
        out.insert(out.begin(), uint8_t(v & 0xff));
        v >>= 8;
    } while (v != 0);
    if (out[0] & 0x80)
        out.insert(out.begin(), 0);
    return out;
}

Bytes oidcontent(const std::string& dotted)
{
    std::vector<uint32_t> subs;
    const char* p = dotted.c_str();
    if (*p == '.')
        p++;
    while (*p) {
        char* end = nullptr;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p)
            fail("bad identifier " + dotted);
        subs.push_back(uint32_t(v));
        p = end;
        if (*p == '.')
            p++;
        else if (*p)
            fail("bad identifier " + dotted);
    }
    if (subs.size() < 2)
        fail("identifier too short: " + dotted);
    Bytes out;
    auto put = [&out](uint32_t v) {
        uint8_t tmp[5];
        int n = 0;
        do {
            tmp[n++] = uint8_t(v & 0x7f);
            v >>= 7;
        } while (v != 0);
        while (n > 1)
            out.push_back(uint8_t(tmp[--n] | 0x80));
        out.push_back(tmp[0]);
    };
    put(subs[0] * 40 + subs[1]);
    for (size_t i = 2; i < subs.size(); i++)
        put(subs[i]);
    return out;
}

// One trap, with a four-byte request id whose offset is returned so that
// each copy can carry its own id.
struct Template {
    Bytes bytes;
    size_t requestidoffset = 0;
    std::string suffix;  // expected end of the label it produces (latency)
};

Template encodetrap(const std::string& community, const std::string& notifyoid)
{
    const uint32_t idplaceholder = 0x10000000u;  // always four content bytes
    Bytes varbinds = tlv(
        0x30,
        cat({
            tlv(0x30, cat({tlv(0x06, oidcontent("1.3.6.1.2.1.1.3.0")), tlv(0x43, uintcontent(4242))})),
            tlv(0x30, cat({tlv(0x06, oidcontent("1.3.6.1.6.3.1.1.4.1.0")), tlv(0x06, oidcontent(notifyoid))})),
        }));
    Bytes requestid = tlv(0x02, uintcontent(idplaceholder));
    Bytes pdu = tlv(0xA7, cat({requestid, tlv(0x02, {0}), tlv(0x02, {0}), varbinds}));
    Bytes message = tlv(0x30, cat({tlv(0x02, {1}), tlv(0x04, Bytes(community.begin(), community.end())), pdu}));
    // Locate the request id: the first INTEGER inside the PDU.
    Template t;
    t.bytes = message;
    for (size_t i = 0; i + 6 <= message.size(); i++) {
        if (message[i] == 0xA7) {
            size_t j = i + 2;
            if (message[i + 1] & 0x80)
                j += message[i + 1] & 0x7f;
            if (message[j] != 0x02 || message[j + 1] != 4)
                fail("internal: request id not found");
            t.requestidoffset = j + 2;
            break;
        }
    }
    if (t.requestidoffset == 0)
        fail("internal: PDU not found");
    return t;
}

bool parseaddr(const std::string& text, sockaddr_in& addr)
{
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    std::string host = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        addr.sin_port = htons(uint16_t(atoi(text.c_str() + colon + 1)));
    }
    return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

// ---- latency watcher ----

struct Watcher {
    int fd = -1;
    const std::vector<Template>* templates = nullptr;
    std::vector<uint64_t> shown;  // arrival time per trap, 0 = not yet
    std::atomic<size_t> next{0};  // next trap whose label is awaited
    std::atomic<bool> stop{false};
    size_t lines = 0;
    size_t total = 0;

    void run()
    {
        std::string pending;
        char buf[65536];
        while (!stop.load()) {
            ssize_t n = read(fd, buf, sizeof buf);
            uint64_t t = nowns();
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(buf, size_t(n));
            size_t start = 0;
            for (;;) {
                size_t eol = pending.find('\n', start);
                if (eol == std::string::npos)
                    break;
                online(pending.substr(start, eol - start), t);
                start = eol + 1;
            }
            pending.erase(0, start);
        }
    }

    // A console line: map: symbol 1000 "ups01: Powerfail" critical (4)
    void online(const std::string& line, uint64_t t)
    {
        lines++;
        size_t open = line.find('"');
        size_t close = line.rfind('"');
        if (open == std::string::npos || close <= open)
            return;
        std::string label = line.substr(open + 1, close - open - 1);
        size_t k = next.load();
        if (k >= total)
            return;
        const std::string& suffix = (*templates)[k % templates->size()].suffix;
        if (label.size() >= suffix.size() &&
            label.compare(label.size() - suffix.size(), suffix.size(), suffix) == 0) {
            shown[k] = t;
            next.store(k + 1);
        }
    }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t idx = size_t(p / 100.0 * double(v.size() - 1) + 0.5);
    return v[std::min(idx, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dest, src = "127.0.0.1", community = "public";
    uint64_t count = 1000;
    double rate = 0, duration = 0, wait = 5;
    int batch = 64;
    int watchfd = -1;
    std::vector<std::string> oids;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail("missing value for " + a);
            return argv[++i];
        };
        if (a == "--dest")
            dest = value();
        else if (a == "--src")
            src = value();
        else if (a == "--count")
            count = strtoull(value().c_str(), nullptr, 10);
        else if (a == "--rate")
            rate = atof(value().c_str());
        else if (a == "--duration")
            duration = atof(value().c_str());
        else if (a == "--batch")
            batch = atoi(value().c_str());
        else if (a == "--community")
            community = value();
        else if (a == "--oid")
            oids.push_back(value());
        else if (a == "--watch-fd")
            watchfd = atoi(value().c_str());
        else if (a == "--wait")
            wait = atof(value().c_str());
        else
            fail("unknown option " + a);
    }
    if (oids.empty())
        oids = {"1.3.6.1.4.1.935.0.5=: Powerfail", "1.3.6.1.4.1.935.0.9=: ok"};
    if (batch < 1 || batch > 1024)
        fail("batch must be 1..1024");

    // Wake up on time when pacing, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::vector<Template> templates;
    for (const std::string& o : oids) {
        size_t eq = o.find('=');
        Template t = encodetrap(community, o.substr(0, eq));
        if (eq != std::string::npos)
            t.suffix = o.substr(eq + 1);
        templates.push_back(t);
    }

    sockaddr_in to, from;
    if (!parseaddr(dest, to) || to.sin_port == 0)
        fail("bad --dest " + dest);
    if (!parseaddr(src, from))
        fail("bad --src " + src);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        fail(std::string("socket: ") + strerror(errno));
    int sndbuf = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        fail("bind " + src + ": " + strerror(errno));
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        fail("connect " + dest + ": " + strerror(errno));

    Watcher watcher;
    std::thread watchthread;
    std::vector<uint64_t> senttime;
    if (watchfd >= 0) {
        for (const Template& t : templates)
            if (t.suffix.empty())
                fail("--watch-fd needs --oid OID=SUFFIX for every identifier");
        watcher.fd = watchfd;
        watcher.templates = &templates;
        watcher.total = count;
        watcher.shown.assign(count, 0);
        senttime.assign(count, 0);
        watchthread = std::thread([&watcher] { watcher.run(); });
    }

    // One buffer per batch slot; the template is copied and its request id
    // patched per packet.
    std::vector<Bytes> slots(static_cast<size_t>(batch));
    std::vector<iovec> iovs(static_cast<size_t>(batch));
    std::vector<mmsghdr> msgs(static_cast<size_t>(batch));
    for (int b = 0; b < batch; b++) {
        slots[size_t(b)].resize(1500);
        memset(&msgs[size_t(b)], 0, sizeof(mmsghdr));
        msgs[size_t(b)].msg_hdr.msg_iov = &iovs[size_t(b)];
        msgs[size_t(b)].msg_hdr.msg_iovlen = 1;
    }

    uint64_t sent = 0, errors = 0;
    const uint64_t t0 = nowns();
    // The pacing schedule starts here; a sender that was held up (not given
    // a CPU) moves it on instead of catching up with a burst: the offered
    // load stays a steady rate, at most one batch ahead of it, and the
    // achieved rate reported is what was really offered.
    uint64_t tstart = t0;
    uint64_t slips = 0;
    const uint64_t deadline = duration > 0 ? t0 + uint64_t(duration * 1e9) : 0;
    while (sent < count) {
        uint64_t now = nowns();
        if (deadline && now >= deadline)
            break;
        uint64_t due = count;
        if (rate > 0) {
            due = uint64_t(double(now - tstart) * rate / 1e9) + 1;
            if (due > sent + uint64_t(batch)) {
                // Behind by more than a batch: slip the schedule.
                uint64_t behind = due - sent - uint64_t(batch);
                tstart += uint64_t(double(behind) * 1e9 / rate);
                due -= behind;
                slips++;
            }
            if (due > count)
                due = count;
            if (due <= sent) {
                sleepuntil(tstart + uint64_t(double(sent) * 1e9 / rate));
                continue;
            }
        }
        int n = int(std::min<uint64_t>(due - sent, uint64_t(batch)));
        for (int b = 0; b < n; b++) {
            uint64_t i = sent + uint64_t(b);
            const Template& t = templates[i % templates.size()];
            Bytes& buf = slots[size_t(b)];
            memcpy(buf.data(), t.bytes.data(), t.bytes.size());
            uint32_t id = 0x10000000u + uint32_t(i & 0x0fffffffu);
            buf[t.requestidoffset + 0] = uint8_t(id >> 24);
            buf[t.requestidoffset + 1] = uint8_t(id >> 16);
            buf[t.requestidoffset + 2] = uint8_t(id >> 8);
            buf[t.requestidoffset + 3] = uint8_t(id);
            iovs[size_t(b)].iov_base = buf.data();
            iovs[size_t(b)].iov_len = t.bytes.size();
        }
        if (!senttime.empty()) {
            uint64_t t = nowns();
            for (int b = 0; b < n; b++)
                senttime[sent + uint64_t(b)] = t;
        }
        int done = sendmmsg(s, msgs.data(), unsigned(n), 0);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            // ENOBUFS and the like: the packet is skipped (and not counted
            // as sent), so that a persistent fault cannot spin.
            errors++;
            sent += 1;
            continue;
        }
        sent += uint64_t(done);
    }
    const uint64_t t1 = nowns();
    double seconds = double(t1 - t0) / 1e9;

    printf("{\"sent\": %llu, \"errors\": %llu, \"slips\": %llu, \"seconds\": %.6f, \"rate\": %.1f, "
           "\"t0\": %.6f, \"t1\": %.6f",
           (unsigned long long)(sent - errors), (unsigned long long)errors, (unsigned long long)slips, seconds,
           seconds > 0 ? double(sent - errors) / seconds : 0.0, double(t0) / 1e9, double(t1) / 1e9);

    if (watchfd >= 0) {
        uint64_t limit = nowns() + uint64_t(wait * 1e9);
        while (watcher.next.load() < sent && nowns() < limit)
            usleep(1000);
        watcher.stop.store(true);
        size_t shown = watcher.next.load();
        std::vector<double> lat;
        for (size_t i = 0; i < shown && i < sent; i++)
            lat.push_back(double(watcher.shown[i] - senttime[i]) / 1e3);
        double mean = 0;
        for (double v : lat)
            mean += v;
        if (!lat.empty())
            mean /= double(lat.size());
        printf(", \"shown\": %zu, \"latency_us\": {\"p50\": %.1f, \"p90\": %.1f, \"p99\": %.1f, \"p999\": %.1f, "
               "\"max\": %.1f, \"mean\": %.1f}",
               shown, percentile(lat, 50), percentile(lat, 90), percentile(lat, 99), percentile(lat, 99.9),
               lat.empty() ? 0.0 : *std::max_element(lat.begin(), lat.end()), mean);
        printf("}\n");
        fflush(stdout);
        // The reader may still block in read(); the process ends anyway.
        watchthread.detach();
        _exit(0);
    }
    printf("}\n");
    return 0;
}
