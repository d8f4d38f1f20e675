// The HTTP port: the request parser as a table, responses, the event
// stream framing, metrics label escaping, the embedded page, and the port
// itself over live loopback connections.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopbackclient.h"
#include "platform/ovw.h"
#include "platform/winmsg.h"

#include "simplatform/http/eventstream.h"
#include "simplatform/http/httpport.h"
#include "simplatform/http/httprequest.h"
#include "simplatform/http/httpresponse.h"
#include "simplatform/http/httproutes.h"
#include "simplatform/http/mappage.h"
#include "simplatform/http/metrics.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/mapdb/mapview.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/loop.h"
#include "simplatform/runtime/stats.h"

namespace {

using simplatform::HttpMethod;
using simplatform::HttpParseOutcome;
using simplatform::HttpRequest;
using simplatform::parseHttpRequest;

struct RequestCase {
    std::string bytes;
    HttpParseOutcome outcome;
    size_t consumed;  // for Request; for Bad a part of the reason is in reason
    HttpMethod method;
    std::string path;
    bool keepAlive;
    std::string reason;
};

RequestCase request(std::string bytes, size_t consumed, HttpMethod method, std::string path, bool keepAlive)
{
    return {std::move(bytes), HttpParseOutcome::Request, consumed, method, std::move(path), keepAlive, ""};
}

RequestCase bad(std::string bytes, std::string reason)
{
    return {std::move(bytes), HttpParseOutcome::Bad, 0, HttpMethod::Get, "", false, std::move(reason)};
}

RequestCase incomplete(std::string bytes)
{
    return {std::move(bytes), HttpParseOutcome::Incomplete, 0, HttpMethod::Get, "", false, ""};
}

std::string headOfSize(size_t size)
{
    std::string start = "GET / HTTP/1.1\r\nHost: h\r\nX-Pad: ";
    return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
}

TEST(HttpRequestParser, RequestsAndTheirOutcomes)
{
    const std::string get = "GET /api/v1/state HTTP/1.1\r\nHost: h\r\n\r\n";
    std::string manyHeaders = "GET / HTTP/1.1\r\nHost: h\r\n";
    for (int i = 0; i < 63; ++i) {
        manyHeaders += "X-A: b\r\n";
    }
    const RequestCase cases[] = {
        request(get, get.size(), HttpMethod::Get, "/api/v1/state", true),
        // Only the first of pipelined requests; the rest stays for the next turn.
        request(get + "HEAD / HTTP/1.1\r\n", get.size(), HttpMethod::Get, "/api/v1/state", true),
        request("HEAD /metrics?x=1 HTTP/1.1\nhost:h\n\n", 35, HttpMethod::Head, "/metrics", true),
        request("\r\nGET http://127.0.0.1:1621/api/v1/stats HTTP/1.1\r\nHost: h\r\n\r\n", 62, HttpMethod::Get,
                "/api/v1/stats", true),
        request("GET HTTP://h?q HTTP/1.1\r\nHost: h\r\n\r\n", 36, HttpMethod::Get, "/", true),
        request("GET / HTTP/1.1\r\nHost: h\r\nConnection: Upgrade, CLOSE\r\n\r\n", 55, HttpMethod::Get, "/",
                false),
        request("GET / HTTP/1.0\r\n\r\n", 18, HttpMethod::Get, "/", false),
        request("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 42, HttpMethod::Get, "/", true),
        request("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\ncontent-length: 000\r\n\r\n", 67,
                HttpMethod::Get, "/", true),
        // Another method is answered 405; its body is not read, so no keep-alive.
        request("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc", 47, HttpMethod::Other, "/", false),
        request(manyHeaders + "\r\n", manyHeaders.size() + 2, HttpMethod::Get, "/", true),
        request(headOfSize(8192), 8192, HttpMethod::Get, "/", true),

        incomplete(""),
        incomplete("\r\n"),
        incomplete("GET / HTTP/1.1\r\nHost: h\r\n\r"),
        incomplete(headOfSize(8192).substr(0, 8191)),

        bad(headOfSize(8193), "too large"),
        bad(std::string(8193, '\n'), "too large"),
        bad(manyHeaders + "X-A: b\r\n\r\n", "too many header lines"),
        bad("{\"not\": \"a request\"}", "malformed request line"),
        bad(std::string("GET / HTTP/1.1\r\nHost: h\0", 24), "control byte"),
        bad("GET / HTTP/1.1\r\nHost: h\rX: y\r\n\r\n", "CR inside"),
        bad("GET / HTTP/1.1\r\nHost: h\r\n folded\r\n\r\n", "folded"),
        bad("GET / HTTP/1.1\r\nHost : h\r\n\r\n", "malformed header"),
        bad("GET  / HTTP/1.1\r\nHost: h\r\n\r\n", "request line"),
        bad("GET /\r\n\r\n", "request line"),
        bad("GET index.html HTTP/1.1\r\nHost: h\r\n\r\n", "target"),
        bad("GET / HTTP/2.0\r\n\r\n", "version"),
        bad("GET / HTTP/1.1\r\n\r\n", "no Host"),
        bad("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "more than one Host"),
        bad("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n\r\nx", "body"),
        bad("GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n", "body"),
        bad("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\n", "contradicting"),
        bad("GET / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n", "Content-Length"),
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 80)));
        HttpRequest parsed;
        simplatform::HttpParseResult result = parseHttpRequest(c.bytes, parsed);
        ASSERT_EQ(result.outcome, c.outcome) << result.reason;
        if (c.outcome == HttpParseOutcome::Request) {
            EXPECT_EQ(result.consumed, c.consumed);
            EXPECT_EQ(parsed.method, c.method);
            EXPECT_EQ(parsed.path, c.path);
            EXPECT_EQ(parsed.keep_alive, c.keepAlive);
        } else if (c.outcome == HttpParseOutcome::Bad) {
            EXPECT_NE(std::string(result.reason).find(c.reason), std::string::npos) << result.reason;
        }
    }
}

TEST(HttpResponse, HeadBodyAndErrors)
{
    std::string out;
    simplatform::appendHttpResponse(out, 404, "application/json", simplatform::httpErrorJson("no \"such\"\npath"),
                                    false, false);
    EXPECT_EQ(out, "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 26\r\n"
                   "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n"
                   "{\"error\":\"no ?such??path\"}");
    out.clear();
    // HEAD: the length of the body it would have, and no body.
    simplatform::appendHttpResponse(out, 405, "text/plain", "abc", true, true, "Allow: GET, HEAD\r\n");
    EXPECT_NE(out.find("Content-Length: 3\r\n"), std::string::npos);
    EXPECT_NE(out.find("Connection: close\r\nAllow: GET, HEAD\r\n\r\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 4), "\r\n\r\n");
}

TEST(EventStream, EventsCommentsAndLineEnds)
{
    std::string out;
    simplatform::appendEventStreamStart(out);
    simplatform::appendEvent(out, 7, "symbol", "{\"id\":1}");
    simplatform::appendEvent(out, 8, "snapshot", "a\r\nb\rc\n");
    simplatform::appendEventComment(out, "keep\nalive");
    EXPECT_EQ(out, "retry: 2000\n\n"
                   "id: 7\nevent: symbol\ndata: {\"id\":1}\n\n"
                   "id: 8\nevent: snapshot\ndata: a\ndata: b\ndata: c\ndata: \n\n"
                   ": keep alive\n");
}

TEST(Metrics, CountersAndEscapedStatusLabels)
{
    const simplatform::MetricsCounter counters[] = {{"simplatform_datagrams_total", "Datagrams.", 12}};
    std::string out;
    simplatform::appendMetricsCounters(out, counters, 1);
    simplatform::appendMetricsStatusFamily(out);
    // Quote, backslash, line feed escaped; a stray byte and a cut UTF-8
    // sequence become U+FFFD; a whole sequence stays.
    simplatform::appendMetricsSymbol(out, {"De\"f", "Hall\\3", 4294967295u, "a\nb\xff\xe2\x82 \xe2\x82\xac", 4});
    EXPECT_EQ(out, "# HELP simplatform_datagrams_total Datagrams.\n"
                   "# TYPE simplatform_datagrams_total counter\n"
                   "simplatform_datagrams_total 12\n"
                   "# HELP simplatform_symbol_status Status of a map symbol: 0 unknown, 1 unmanaged, 2 normal, "
                   "3 warning, 4 critical, 5 minor, 6 restricted, 7 major.\n"
                   "# TYPE simplatform_symbol_status gauge\n"
                   "simplatform_symbol_status{map=\"De\\\"f\",submap=\"Hall\\\\3\",symbol_id=\"4294967295\","
                   "label=\"a\\nb\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xe2\x82\xac\"} 4\n");
}

TEST(MapPage, IsOneSelfContainedDocument)
{
    std::string_view page = simplatform::mapPage();
    EXPECT_EQ(page.substr(0, 15), "<!DOCTYPE html>");
    EXPECT_NE(page.find("new EventSource(\"/api/v1/events\")"), std::string_view::npos);
    // Nothing that would load a resource from elsewhere.
    for (const char* reference : {"src=", "href=", "@import", "url(", "http://", "https://"}) {
        EXPECT_EQ(page.find(reference), std::string_view::npos) << reference;
    }
}

// ---- the map's documents ----

// A map of count objects with one symbol each (10000 + n): three slices
// take three turns.
std::string manyObjects(size_t count)
{
    std::string text = R"({"name":"Many","submaps":[{"id":1,"name":"Root"}],"objects":[)";
    for (size_t n = 0; n < count; ++n) {
        text += (n > 0 ? R"(,{"id":)" : R"({"id":)") + std::to_string(100 + n) + R"(,"symbols":[{"id":)" +
                std::to_string(10000 + n) + R"(,"label":"s","submap":1}]})";
    }
    return text + "]}";
}

std::string joined(const simplatform::SharedTextRef& text)
{
    std::string whole;
    for (const std::string& piece : text->pieces) {
        whole += piece;
    }
    EXPECT_EQ(whole.size(), text->size);
    return whole;
}

// Made at most once per change of the map, whoever asks, and shared: 63
// requests while nothing changes begin one document; a change makes the
// next request begin another. While two made ones are still referenced, a
// stale request gets the newest rather than a third, unless it must be
// exact.
TEST(MapDocuments, OnePerChangeSharedAndAtMostTwoMadeAlive)
{
    using simplatform::MapDocumentKind;
    alarm(60);
    setenv("SIMPLATFORM_QUIET", "1", 1);
    std::string error;
    ASSERT_TRUE(simplatform::openMapText(manyObjects(3 * simplatform::kSliceObjects), "many.json", error))
        << error;
    int ready = 0;
    simplatform::MapDocuments documents([&ready] { ++ready; });
    auto turnUntilReady = [&](int count) {
        MSG msg;
        while (ready < count && GetMessageA(&msg, nullptr, 0, 0) == 1) {
            DispatchMessageA(&msg);
        }
    };
    simplatform::SharedTextRef text;
    for (int request = 0; request < 63; ++request) {
        EXPECT_FALSE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text));
    }
    turnUntilReady(1);
    std::vector<simplatform::SharedTextRef> held(63);
    for (simplatform::SharedTextRef& one : held) {
        ASSERT_TRUE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), one));
        EXPECT_EQ(one, held[0]);
    }
    EXPECT_EQ(documents.begun(MapDocumentKind::State), 1u);
    EXPECT_TRUE(joined(held[0]) == simplatform::mapStateJson());

    MapHandle* map = simplatform::openMapHandle();
    OVwSetStatusOnSymbol(map, 10000, 4);
    EXPECT_FALSE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text));
    turnUntilReady(2);
    ASSERT_TRUE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text));
    EXPECT_NE(text, held[0]);
    EXPECT_TRUE(joined(text) == simplatform::mapStateJson());

    OVwSetStatusOnSymbol(map, 10000, 5);
    simplatform::SharedTextRef newest = text;
    EXPECT_TRUE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text));
    EXPECT_EQ(text, newest);
    EXPECT_EQ(documents.alive(MapDocumentKind::State), 2u);
    held.clear();
    EXPECT_FALSE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text));
    EXPECT_EQ(documents.begun(MapDocumentKind::State), 3u);
    // An event stream's snapshot never takes a stale one.
    turnUntilReady(3);
    OVwSetStatusOnSymbol(map, 10000, 6);
    ASSERT_EQ(documents.alive(MapDocumentKind::State), 2u);
    EXPECT_FALSE(documents.find(MapDocumentKind::State, simplatform::mapChangeSerial(), text, true));
    EXPECT_EQ(documents.begun(MapDocumentKind::State), 4u);

    // The metrics' part: every status, then the change times, across slices.
    EXPECT_FALSE(documents.find(MapDocumentKind::Metrics, simplatform::mapChangeSerial(), text));
    turnUntilReady(5);
    ASSERT_TRUE(documents.find(MapDocumentKind::Metrics, simplatform::mapChangeSerial(), text));
    std::string metrics = joined(text);
    size_t changedFamily = metrics.find("# HELP simplatform_symbol_changed_timestamp_seconds");
    EXPECT_EQ(metrics.rfind("simplatform_symbol_status{"),
              metrics.rfind("simplatform_symbol_status{", changedFamily));
    EXPECT_NE(metrics.find("symbol_id=\"10749\",label=\"s\"} 2\n"), std::string::npos);
    EXPECT_NE(metrics.find("simplatform_symbol_changed_timestamp_seconds{", changedFamily), std::string::npos);
    simplatform::endTurn();
    simplatform::closeMap();
    unsetenv("SIMPLATFORM_QUIET");
    alarm(0);
}

// ---- the port over loopback ----

// A client that reads HTTP responses.
class HttpClient : public LoopbackClient {
public:
    using LoopbackClient::LoopbackClient;
    // The head of the next response and its body (none for a HEAD).
    std::string response(bool head = false)
    {
        if (!readUntil("\r\n\r\n")) {
            return "<closed> " + buffer();
        }
        size_t end = buffer().find("\r\n\r\n") + 4;
        size_t length = 0;
        size_t at = buffer().find("Content-Length: ");
        if (!head && at < end) {
            length = std::stoul(buffer().substr(at + 16));
        }
        while (buffer().size() < end + length && receive()) { }
        std::string text = buffer().substr(0, end + length);
        buffer().erase(0, end + length);
        return text;
    }
};

const char* const kPortMap = R"json({"name": "Lab", "submaps": [{"id": 1, "name": "Root"}],
  "objects": [{"id": 100, "symbols": [{"id": 1000, "label": "ups", "submap": 1}]}]})json";

class HttpPortLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        alarm(60);  // a hang fails the run instead of stalling it
        setenv("SIMPLATFORM_QUIET", "1", 1);
        simplatform::endTurn();
        std::string error;
        ASSERT_TRUE(simplatform::openMapText(kPortMap, "lab.json", error)) << error;
        port_ = simplatform::HttpPort::open("127.0.0.1:0", error);
        ASSERT_NE(port_, nullptr) << error;
    }
    void TearDown() override
    {
        port_.reset();
        simplatform::closeMap();
        unsetenv("SIMPLATFORM_QUIET");
        alarm(0);
    }

    // Runs the clients' conversation on a thread while this thread runs the
    // message loop, until the conversation ends. Between turns, onLoop runs
    // on the loop's thread (a 10 ms timer keeps the loop turning), for
    // changes the map must see from there.
    void converse(const std::function<void(uint16_t)>& clients, const std::function<void()>& onLoop = {})
    {
        std::atomic<bool> done{false};
        uint16_t port = port_->port();
        std::thread talk([&] {
            clients(port);
            done = true;
        });
        int timer = simplatform::startTimer(std::chrono::milliseconds(10), [&] {
            if (onLoop) {
                onLoop();
            }
        });
        MSG msg;
        while (!done && GetMessageA(&msg, nullptr, 0, 0) == 1) {
            DispatchMessageA(&msg);
        }
        simplatform::stopTimer(timer);
        talk.join();
    }

    std::unique_ptr<simplatform::HttpPort> port_;
};

TEST_F(HttpPortLive, PipelinedRequestsAreAnsweredInOrderUntilClose)
{
    converse([](uint16_t port) {
        HttpClient c(port);
        ASSERT_TRUE(c.send("GET /api/v1/stats HTTP/1.1\r\nHost: h\r\n\r\n"
                           "HEAD / HTTP/1.1\r\nHost: h\r\n\r\n"
                           "GET /api/v1/state HTTP/1.1\r\nHost: h\r\n\r\n"
                           "GET /nope HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"
                           "GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
        std::string stats = c.response();
        EXPECT_EQ(stats.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << stats;
        EXPECT_NE(stats.find("\r\n\r\n" + simplatform::statsJson()), std::string::npos) << stats;
        std::string head = c.response(true);
        EXPECT_NE(head.find("Content-Type: text/html"), std::string::npos) << head;
        std::string state = c.response();
        EXPECT_NE(state.find("\r\n\r\n" + simplatform::mapStateJson()), std::string::npos) << state;
        std::string missing = c.response();
        EXPECT_EQ(missing.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << missing;
        EXPECT_NE(missing.find("Connection: close\r\n"), std::string::npos);
        // The request after the close is not answered.
        EXPECT_TRUE(c.closedByPeer());
        EXPECT_EQ(c.buffer(), "");
    });
}

// 64 idle connections from one loopback host (not capped per host) do not
// keep a newcomer out: the least recently active makes room. Each has the
// port's bounded send buffer.
TEST_F(HttpPortLive, LimitsMalformedRequestsAndConnections)
{
    converse([](uint16_t port) {
        std::vector<std::unique_ptr<HttpClient>> held;
        for (size_t i = 0; i < simplatform::HttpPort::kMaxConnections; ++i) {
            held.push_back(std::make_unique<HttpClient>(port));
            ASSERT_TRUE(held.back()->connected());
        }
        // Answered once accepted: all 64 are in by then.
        ASSERT_TRUE(held[0]->send("GET /api/v1/stats HTTP/1.1\r\nHost: h\r\n\r\n"));
        EXPECT_EQ(held[0]->response().rfind("HTTP/1.1 200", 0), 0u);
        int sendBuffer = 0;
        socklen_t length = sizeof sendBuffer;
        ASSERT_EQ(getsockopt(held[0]->serverSide(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length), 0);
        EXPECT_EQ(sendBuffer, 2 * simplatform::HttpPort::kSendBufferBytes);  // Linux keeps twice what is asked
        HttpClient extra(port);
        ASSERT_TRUE(extra.send("GET /api/v1/stats HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
        EXPECT_EQ(extra.response().rfind("HTTP/1.1 200", 0), 0u);
        EXPECT_TRUE(held[1]->closedByPeer());
        held.erase(held.begin() + 1);

        ASSERT_TRUE(held[1]->send("GET / HTTP/1.1\r\nHost: h\r\n" + std::string(9000, 'x')));
        std::string bad = held[1]->response();
        EXPECT_EQ(bad.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << bad;
        EXPECT_NE(bad.find("too large"), std::string::npos) << bad;
        EXPECT_TRUE(held[1]->closedByPeer());
        ASSERT_TRUE(held[2]->send("DELETE / HTTP/1.1\r\nHost: h\r\n\r\n"));
        std::string method = held[2]->response();
        EXPECT_NE(method.find("405 Method Not Allowed\r\n"), std::string::npos) << method;
        EXPECT_NE(method.find("Allow: GET, HEAD\r\n"), std::string::npos) << method;
    });
}

TEST_F(HttpPortLive, EventClientsGetTheSnapshotThenEachChangeAndSlowOnesAreDropped)
{
    std::atomic<int> wanted{0};  // label changes the clients ask the loop for
    int made = 0;
    converse(
        [&](uint16_t port) {
            HttpClient reader(port);
            ASSERT_TRUE(reader.send("GET /api/v1/events HTTP/1.1\r\nHost: h\r\n\r\n"));
            ASSERT_TRUE(reader.readUntil("\n\n"));
            ASSERT_TRUE(reader.readUntil("event: snapshot\ndata: {\"name\":\"Lab\""));
            EXPECT_EQ(reader.buffer().rfind("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", 0), 0u);
            EXPECT_NE(reader.buffer().find("id: 1\nevent: snapshot"), std::string::npos) << reader.buffer();
            // The counters follow the snapshot, and again at the next tick
            // after a change changed them, with the counter that grew.
            ASSERT_TRUE(reader.readUntil("id: 2\nevent: stats\ndata: {\"stats\":{\"datagrams\":"));
            wanted = 1;
            ASSERT_TRUE(reader.readUntil("id: 3\nevent: symbol\ndata: {\"id\":1000,\"label\":\"ups 1\""))
                << reader.buffer();
            ASSERT_TRUE(reader.readUntil("id: 4\nevent: stats\n"));
            size_t at = reader.buffer().find("id: 4\n");
            while (reader.buffer().find("\n\n", at) == std::string::npos && reader.receive()) { }
            std::string stats = reader.buffer().substr(at);
            EXPECT_NE(stats.find("\"mapChanges\"],\"grewWithinSeconds\":300,"), std::string::npos) << stats;

            // A client that does not read: its events pile up past 1 MiB.
            HttpClient deaf(port, 4096);
            ASSERT_TRUE(deaf.send("GET /api/v1/events HTTP/1.1\r\nHost: h\r\n\r\n"));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // 200 labels of 32 KiB: 6.4 MiB, more than the socket buffers
            // take as well.
            wanted = 1 + 200;
            ASSERT_TRUE(reader.readUntil("\"label\":\"ups 201"));
            // Reset: what it did not take is not left for the system to send.
            EXPECT_TRUE(deaf.closedByPeer());
            EXPECT_TRUE(deaf.wasReset());
        },
        [&] {
            // A few a turn: a turn cannot wait for a reader, so one that
            // made all 6.4 MiB at once would outrun the one that reads too.
            MapHandle* map = simplatform::openMapHandle();
            for (int turn = 0; made < wanted && turn < 4; ++made, ++turn) {
                std::string label = "ups " + std::to_string(made + 1) + (made > 0 ? std::string(32768, '.') : "");
                OVwSetSymbolLabel(map, 1000, label.c_str());
            }
        });
}

// A document made across turns reaches the requests that waited for it: a
// GET its body, a HEAD its length, an event client its snapshot. While the
// map changes all along, a request still gets the document begun after it
// came, not one always newer than the last.
TEST_F(HttpPortLive, RequestsWaitForADocumentMadeAcrossTurns)
{
    std::string error;
    ASSERT_TRUE(simplatform::openMapText(manyObjects(20 * simplatform::kSliceObjects), "many.json", error))
        << error;
    std::string state = simplatform::mapStateJson();
    std::atomic<bool> changing{false};
    std::atomic<int> changes{0};
    int status = 2;
    converse(
        [&](uint16_t port) {
            HttpClient get(port);
            HttpClient head(port);
            HttpClient events(port);
            ASSERT_TRUE(get.send("GET /api/v1/state HTTP/1.1\r\nHost: h\r\n\r\n"));
            ASSERT_TRUE(head.send("HEAD /api/v1/state HTTP/1.1\r\nHost: h\r\n\r\n"));
            ASSERT_TRUE(events.send("GET /api/v1/events HTTP/1.1\r\nHost: h\r\n\r\n"));
            std::string body = get.response();
            body.erase(0, body.find("\r\n\r\n") + 4);
            EXPECT_EQ(body.size(), state.size());
            EXPECT_TRUE(body == state);
            EXPECT_NE(head.response(true).find("Content-Length: " + std::to_string(state.size()) + "\r\n"),
                      std::string::npos);
            EXPECT_TRUE(events.readUntil("event: snapshot\ndata: " + state + "\n\nid: 2\nevent: stats"));

            changing = true;
            while (changes == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(get.send("GET /api/v1/state HTTP/1.1\r\nHost: h\r\n\r\n"));
            body = get.response();
            EXPECT_EQ(body.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << body.substr(0, 200);
            body.erase(0, body.find("\r\n\r\n") + 4);
            size_t symbols = 0;
            for (size_t at = body.find("\"statusName\""); at != std::string::npos;
                 at = body.find("\"statusName\"", at + 1)) {
                ++symbols;
            }
            EXPECT_EQ(symbols, 20 * simplatform::kSliceObjects);
            EXPECT_EQ(body.substr(body.size() - 4), "]}]}");
            changing = false;
        },
        [&] {
            if (changing) {
                status = status == 2 ? 4 : 2;
                OVwSetStatusOnSymbol(simplatform::openMapHandle(), 10000, status);
                ++changes;
            }
        });
}

}  // namespace
