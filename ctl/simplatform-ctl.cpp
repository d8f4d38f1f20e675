// simplatform-ctl: sends one command to the simulated platform's control
// port and shows the answer.
//
//   simplatform-ctl [-a ADDRESS] [--pretty] COMMAND [ARGUMENT...]
//
// The port answers each line with `ok`, `ok <data>` or `error <reason>`.
// The data goes to standard output, the reason to standard error. Exit
// status: 0 for ok, 1 for error, 2 when the command line is wrong, the port
// cannot be reached or the answer is missing or not of that form.
#include <errno.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

constexpr int kOk = 0;
constexpr int kError = 1;
constexpr int kFailure = 2;
constexpr int kReplyTimeoutMs = 30000;
// Far above any map's state line, so that a runaway peer cannot grow the
// reply without bound.
constexpr size_t kMaxReplyBytes = 64u << 20;

enum class Argument {
    None,
    Text,
    Number,
    OptionalNumber
};

struct CommandRow {
    const char* name;
    Argument argument;
};

// The control port's commands, in the order its documentation lists them.
const CommandRow kCommands[] = {
    {"open-map", Argument::Text},        {"open-submap", Argument::Text},
    {"create-submap", Argument::Number}, {"event", Argument::Number},
    {"action", Argument::Text},          {"end-session", Argument::OptionalNumber},
    {"lose-connection", Argument::None}, {"quit", Argument::None},
    {"state", Argument::None},           {"stats", Argument::None},
};

const char kUsage[] = "usage: simplatform-ctl [-a ADDRESS] [--pretty] COMMAND [ARGUMENT...]\n"
                      "  -a ADDRESS  host:port or unix:PATH of the control port\n"
                      "              (default $SIMPLATFORM_CONTROL_ADDR, else 127.0.0.1:1620)\n"
                      "  --pretty    indent a JSON answer (state, stats)\n"
                      "commands: open-map PATH, open-submap NAME, create-submap SYMBOL-ID, event CODE,\n"
                      "          action NAME, end-session [FLAG], lose-connection, quit, state, stats\n";

int usageError(const char* what, const char* detail)
{
    fprintf(stderr, "simplatform-ctl: %s%s\n%s", what, detail, kUsage);
    return kFailure;
}

// A socket connected to ADDRESS, or -1 with the reason in `error`.
int connectTo(const std::string& address, std::string& error)
{
    if (address.rfind("unix:", 0) == 0) {
        std::string path = address.substr(5);
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof un.sun_path) {
            error = "bad socket path";
            return -1;
        }
        memcpy(un.sun_path, path.data(), path.size());
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&un), sizeof un) == 0) {
            return s;
        }
        error = strerror(errno);
        if (s >= 0) {
            close(s);
        }
        return -1;
    }
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        error = "not host:port or unix:PATH";
        return -1;
    }
    std::string host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found);
    if (rc != 0) {
        error = gai_strerror(rc);
        return -1;
    }
    int s = -1;
    error = "no address";
    for (addrinfo* a = found; a != nullptr && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s >= 0 && connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = strerror(errno);
            close(s);
            s = -1;
        }
    }
    freeaddrinfo(found);
    return s;
}

bool sendAll(int s, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to the first newline. False on a timeout or a broken connection
// (reason in `error`); true otherwise, with `complete` false when the peer
// closed before a whole line came.
bool readLine(int s, std::string& line, bool& complete, std::string& error)
{
    complete = false;
    char bytes[65536];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        int ready = poll(&p, 1, kReplyTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            error = ready == 0 ? "no answer within 30 s" : strerror(errno);
            return false;
        }
        ssize_t n = recv(s, bytes, sizeof bytes, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = strerror(errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        const char* newline = static_cast<const char*>(memchr(bytes, '\n', static_cast<size_t>(n)));
        line.append(bytes, newline != nullptr ? static_cast<size_t>(newline - bytes) : static_cast<size_t>(n));
        if (newline != nullptr) {
            complete = true;
            return true;
        }
        if (line.size() > kMaxReplyBytes) {
            error = "answer longer than 64 MiB";
            return false;
        }
    }
}

void printData(const std::string& data, bool pretty)
{
    if (pretty) {
        auto document = nlohmann::ordered_json::parse(data, nullptr, false);
        if (!document.is_discarded()) {
            std::string text = document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            printf("%s\n", text.c_str());
            return;
        }
    }
    printf("%s\n", data.c_str());
}

// The options before the command: the address and whether to pretty-print;
// -1 to go on, otherwise the exit status.
int readOptions(int argc, char** argv, std::string& address, bool& pretty)
{
    const char* fromEnvironment = getenv("SIMPLATFORM_CONTROL_ADDR");
    address = fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : "127.0.0.1:1620";
    pretty = false;
    static const option kOptions[] = {
        {"address", required_argument, nullptr, 'a'},
        {"pretty", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    // '+': options end at the command, so that `end-session -1` is an argument.
    // ':' first after it: a missing option argument is reported here, once.
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "+:a:ph", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'a':
            address = optarg;
            break;
        case 'p':
            pretty = true;
            break;
        case 'h':
            fputs(kUsage, stdout);
            return kOk;
        case ':':
            return usageError("option needs an address: ", argv[optind - 1]);
        default:
            return usageError("unknown option ", argv[optind - 1]);
        }
    }
    return -1;
}

// The command line to send for the command and arguments from argv[first];
// -1 when it is good, otherwise the exit status.
int commandLine(int argc, char** argv, int first, std::string& line)
{
    if (first >= argc) {
        return usageError("no command", "");
    }
    const char* name = argv[first++];
    const CommandRow* command = nullptr;
    for (const CommandRow& row : kCommands) {
        if (strcmp(row.name, name) == 0) {
            command = &row;
        }
    }
    if (command == nullptr) {
        return usageError("unknown command ", name);
    }
    int arguments = argc - first;
    if ((command->argument == Argument::None && arguments != 0) ||
        (command->argument == Argument::Number && arguments != 1) ||
        (command->argument == Argument::OptionalNumber && arguments > 1) ||
        (command->argument == Argument::Text && arguments == 0)) {
        return usageError("wrong number of arguments for ", name);
    }

    // A name may come as several words (open-submap Hall 3): one blank
    // between them. A relative map path is the caller's, so it is made
    // absolute here rather than read from the platform's working folder.
    line = name;
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (i == first && strcmp(name, "open-map") == 0 && !word.empty() && word[0] != '/') {
            char folder[4096];
            if (getcwd(folder, sizeof folder) != nullptr) {
                word.insert(0, "/");
                word.insert(0, folder);
            }
        }
        line += ' ';
        line += word;
    }
    for (char c : line) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) {
            return usageError("control character in the arguments of ", name);
        }
    }
    line += '\n';
    return -1;
}

// Sends the line and reads the answer line; false with the reason in error.
bool exchange(const std::string& address, const std::string& line, std::string& reply, bool& complete,
              std::string& error)
{
    int s = connectTo(address, error);
    if (s < 0) {
        error = "cannot connect to " + address + ": " + error;
        return false;
    }
    complete = false;
    if (!sendAll(s, line)) {
        error = strerror(errno);
    } else {
        // Nothing more will be sent: the port closes once it has answered.
        shutdown(s, SHUT_WR);
        if (readLine(s, reply, complete, error)) {
            error.clear();
        }
    }
    close(s);
    if (!error.empty()) {
        error = address + ": " + error;
        return false;
    }
    return true;
}

// The exit status for the answer to the command (name, then its first
// argument or null), its data printed.
int answerStatus(const std::string& address, const char* name, const char* firstArgument, std::string& reply,
                 bool complete, bool pretty)
{
    if (!complete) {
        // The program ends the process when the session ends, before an
        // answer can go out: for end-session (and event 1) that is success.
        bool endsSession = strcmp(name, "end-session") == 0 ||
                           (strcmp(name, "event") == 0 && firstArgument != nullptr &&
                            strcmp(firstArgument, "1") == 0);
        if (reply.empty() && endsSession) {
            return kOk;
        }
        fprintf(stderr, "simplatform-ctl: %s closed the connection without an answer\n", address.c_str());
        return kFailure;
    }
    if (!reply.empty() && reply.back() == '\r') {
        reply.pop_back();
    }
    if (reply == "ok") {
        return kOk;
    }
    if (reply.rfind("ok ", 0) == 0) {
        printData(reply.substr(3), pretty);
        return kOk;
    }
    if (reply.rfind("error", 0) == 0 && (reply.size() == 5 || reply[5] == ' ')) {
        fprintf(stderr, "simplatform-ctl: %s\n", reply.size() > 6 ? reply.c_str() + 6 : "error");
        return kError;
    }
    fprintf(stderr, "simplatform-ctl: unexpected answer: %.200s\n", reply.c_str());
    return kFailure;
}

int run(int argc, char** argv)
{
    std::string address;
    bool pretty = false;
    int status = readOptions(argc, argv, address, pretty);
    if (status >= 0) {
        return status;
    }
    int first = optind;
    std::string line;
    status = commandLine(argc, argv, first, line);
    if (status >= 0) {
        return status;
    }
    std::string reply;
    std::string error;
    bool complete = false;
    if (!exchange(address, line, reply, complete, error)) {
        fprintf(stderr, "simplatform-ctl: %s\n", error.c_str());
        return kFailure;
    }
    return answerStatus(address, argv[first], first + 1 < argc ? argv[first + 1] : nullptr, reply, complete,
                        pretty);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {  // no memory left, in practice
        fprintf(stderr, "simplatform-ctl: %s\n", e.what());
        return kFailure;
    }
}
