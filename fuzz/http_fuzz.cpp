// The HTTP port's request parser over arbitrary byte streams, and the
// metrics label escaping over arbitrary label bytes.
//
// The input is one connection's bytes. Requests are parsed and taken off
// the front as the port does, until the rest is incomplete or bad. Checked
// besides the sanitizers' findings: a request uses at least one byte and at
// most the head limit; its path lies inside the request (or is "/" for a
// target without one), begins with '/' and
// holds no query; the same request is found when the bytes stop right after
// it, and none when they stop one byte earlier (a request split over reads
// is read the same); a bad outcome has a reason; the parser waits for more
// only below the head limit. An escaped label value holds no line feed and
// no quote or backslash that is not escaped.
#include <cstdint>
#include <string>
#include <string_view>

#include "../simplatform/http/httprequest.h"
#include "../simplatform/http/metrics.h"
#include "fuzzcommon.h"

namespace {

using simplatform::HttpParseOutcome;
using simplatform::HttpRequest;
using simplatform::parseHttpRequest;

void checkStream(std::string_view input)
{
    std::string_view rest = input;
    for (;;) {
        HttpRequest request;
        simplatform::HttpParseResult result = parseHttpRequest(rest, request);
        if (result.outcome == HttpParseOutcome::Bad) {
            FUZZ_CHECK(result.reason != nullptr && result.reason[0] != '\0', "a bad request without a reason");
            return;
        }
        if (result.outcome == HttpParseOutcome::Incomplete) {
            FUZZ_CHECK(rest.size() < simplatform::kMaxHttpHeadBytes, "waiting for more after %zu bytes",
                       rest.size());
            return;
        }
        size_t used = result.consumed;
        FUZZ_CHECK(used > 0 && used <= rest.size() && used <= simplatform::kMaxHttpHeadBytes,
                   "consumed %zu of %zu", used, rest.size());
        const char* path = request.path.data();
        FUZZ_CHECK(request.path == "/" ||
                       (path >= rest.data() && path + request.path.size() <= rest.data() + used),
                   "the path lies outside its request");
        FUZZ_CHECK(!request.path.empty() && request.path.front() == '/' &&
                       request.path.find('?') == std::string_view::npos,
                   "path \"%.*s\"", static_cast<int>(request.path.size()), path);

        HttpRequest again;
        simplatform::HttpParseResult exact = parseHttpRequest(rest.substr(0, used), again);
        FUZZ_CHECK(exact.outcome == HttpParseOutcome::Request && exact.consumed == used &&
                       again.path == request.path && again.keep_alive == request.keep_alive &&
                       again.method == request.method,
                   "the request changed when the bytes after it were cut off");
        HttpRequest shorter;
        FUZZ_CHECK(parseHttpRequest(rest.substr(0, used - 1), shorter).outcome == HttpParseOutcome::Incomplete,
                   "a request one byte short of its end was not incomplete");
        rest.remove_prefix(used);
    }
}

void checkLabel(std::string_view value)
{
    std::string out;
    simplatform::appendMetricsLabelValue(out, value);
    for (size_t i = 0; i < out.size(); ++i) {
        FUZZ_CHECK(out[i] != '\n' && out[i] != '"', "raw %s at %zu", out[i] == '\n' ? "line feed" : "quote", i);
        if (out[i] == '\\') {
            FUZZ_CHECK(i + 1 < out.size() && (out[i + 1] == '\\' || out[i + 1] == '"' || out[i + 1] == 'n'),
                       "a lone backslash at %zu", i);
            ++i;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    checkStream(input);
    checkLabel(input.substr(0, 256));
    return 0;
}
