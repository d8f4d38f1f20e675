#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point start)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

int freePort(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot find a free port");
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvorov-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& text) const
{
    std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

int runCommand(const std::string& command, std::string* output)
{
    std::string line = command + " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        if (output != nullptr) {
            output->append(chunk, n);
        }
    }
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Program::Program(const Options& options)
{
    if (options.makeTempFolder) {
        std::filesystem::create_directories(drive_.path() + "/temp");
    }
    stdoutPath_ = work_.path() + "/stdout.txt";
    stderrPath_ = work_.path() + "/stderr.txt";
    trapPort_ = freePort(SOCK_DGRAM);
    controlPort_ = freePort(SOCK_STREAM);

    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        size_t eq = text.find('=');
        if (eq != std::string::npos && text.rfind("SIMPLATFORM_", 0) != 0) {
            env[text.substr(0, eq)] = text.substr(eq + 1);
        }
    }
    env["SIMPLATFORM_DRIVE_C"] = drive_.path();
    env["SIMPLATFORM_TRAP_ADDR"] = "127.0.0.1:" + std::to_string(trapPort_);
    env["SIMPLATFORM_CONTROL_ADDR"] = "127.0.0.1:" + std::to_string(controlPort_);
    // Programs run side by side: none may take the HTTP port's fixed default.
    env["SIMPLATFORM_HTTP_ADDR"] = "off";
    if (!options.mapFile.empty()) {
        env["SIMPLATFORM_MAP"] = options.mapFile;
    }
    for (const auto& [name, value] : options.env) {
        env[name] = value;
    }

    std::vector<std::string> envText;
    for (const auto& [name, value] : env) {
        envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& text : envText) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::string binary = KELVOROV_BINARY;
    std::vector<std::string> argText{binary};
    argText.insert(argText.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& text : argText) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
}

Program::~Program()
{
    if (client_ >= 0) {
        close(client_);
    }
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Program::running()
{
    if (status_ != -2) {
        return false;
    }
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool Program::connect(int timeoutMs)
{
    if (client_ >= 0) {
        return true;
    }
    auto start = Clock::now();
    while (msSince(start) < timeoutMs) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(controlPort_));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            client_ = fd;
            return true;
        }
        close(fd);
        if (!running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool Program::waitReady(int timeoutMs)
{
    // The control port is opened early in start-up, but it answers only from
    // the message loop: a reply means start-up has finished.
    return connect(timeoutMs) && command("stats", timeoutMs).rfind("ok", 0) == 0;
}

void Program::send(const std::string& line)
{
    if (!connect(5000)) {
        return;
    }
    std::string text = line + "\n";
    ::send(client_, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string Program::command(const std::string& line, int timeoutMs)
{
    send(line);
    if (client_ < 0) {
        return "";
    }
    auto start = Clock::now();
    while (true) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string reply = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (!reply.empty() && reply.back() == '\r') {
                reply.pop_back();
            }
            return reply;
        }
        int left = timeoutMs - msSince(start);
        if (left <= 0) {
            return "";
        }
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) {
            return "";
        }
        char chunk[65536];
        ssize_t n = recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close(client_);
            client_ = -1;
            return "";
        }
        pending_.append(chunk, static_cast<size_t>(n));
    }
}

std::string Program::waitFor(const std::string& line, const std::string& text, int timeoutMs)
{
    auto start = Clock::now();
    std::string reply;
    while (msSince(start) < timeoutMs) {
        reply = command(line);
        if (reply.find(text) != std::string::npos) {
            return reply;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return reply;
}

int Program::waitExit(int timeoutMs)
{
    auto start = Clock::now();
    while (running()) {
        if (msSince(start) > timeoutMs) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            status_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

std::vector<std::string> logMessages(const std::string& log)
{
    static const std::regex timeLine("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    std::vector<std::string> lines;
    std::stringstream in(log);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::vector<std::string> messages;
    std::string current;
    bool open = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        bool starts = std::regex_match(lines[i], timeLine) && i + 1 < lines.size() &&
                      lines[i + 1].rfind(": ", 0) == 0;
        if (starts) {
            if (open) {
                messages.push_back(current);
            }
            current = lines[i + 1].substr(2);
            open = true;
            ++i;
        } else if (open) {
            current += "\n" + lines[i];
        }
    }
    if (open) {
        messages.push_back(current);
    }
    return messages;
}

int countOf(const std::string& haystack, const std::string& text)
{
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace e2e

namespace e2e {

nlohmann::json symbolState(Program& program, int symbolId)
{
    std::string reply = program.command("state");
    if (reply.rfind("ok ", 0) != 0) {
        return nullptr;
    }
    nlohmann::json state = nlohmann::json::parse(reply.substr(3), nullptr, false);
    if (state.is_discarded() || !state.contains("objects")) {
        return nullptr;
    }
    for (const auto& object : state["objects"]) {
        for (const auto& symbol : object.value("symbols", nlohmann::json::array())) {
            if (symbol.value("id", -1) == symbolId) {
                return symbol;
            }
        }
    }
    return nullptr;
}

std::string dataFile(const std::string& name)
{
    return std::string(KELVOROV_TEST_DATA) + "/e2e/" + name;
}

}  // namespace e2e
