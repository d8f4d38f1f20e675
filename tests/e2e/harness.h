// Runs the real kelvorov binary on the simulated platform for end-to-end
// tests: its own drive C:, trap and control ports on loopback, a map file,
// and a client for the control port.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A free port on 127.0.0.1 for the given socket type (SOCK_DGRAM/SOCK_STREAM).
int freePort(int type);

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

// Runs a command line through /bin/sh; returns its exit status (-1 when it
// did not exit normally). Output goes to outputPath when given.
int runCommand(const std::string& command, std::string* output = nullptr);

struct Options {
    Options(std::vector<std::string> arguments = {}, std::string map = "")
        : args(std::move(arguments)), mapFile(std::move(map)) {}
    std::vector<std::string> args;          // program arguments (argv[1..])
    std::string mapFile;                    // SIMPLATFORM_MAP; empty: no map at start
    std::map<std::string, std::string> env; // further variables
    bool makeTempFolder = true;             // create <drive>/temp
};

class Program {
public:
    explicit Program(const Options& options);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Waits until start-up has finished and the message loop answers the
    // control port; false when the process ended first.
    bool waitReady(int timeoutMs = 5000);
    // Sends one control line and returns the reply line (without its newline),
    // or "" when the connection ended without a reply.
    std::string command(const std::string& line, int timeoutMs = 5000);
    // Sends a line without waiting for a reply.
    void send(const std::string& line);
    // Waits for the process to end; its exit status, or -1 on timeout or
    // signal (the process is then killed).
    int waitExit(int timeoutMs = 5000);
    bool running();

    int trapPort() const { return trapPort_; }
    int controlPort() const { return controlPort_; }
    std::string drive() const { return drive_.path(); }
    std::string logPath() const { return drive_.path() + "/temp/kelvorov.txt"; }
    std::string log() const { return readFile(logPath()); }
    std::string stdoutText() const { return readFile(stdoutPath_); }
    std::string stderrText() const { return readFile(stderrPath_); }
    // Polls command(line) until its reply contains text; the last reply.
    std::string waitFor(const std::string& line, const std::string& text, int timeoutMs = 5000);

private:
    TempDir drive_;
    TempDir work_;
    std::string stdoutPath_;
    std::string stderrPath_;
    int trapPort_ = 0;
    int controlPort_ = 0;
    pid_t pid_ = -1;
    int client_ = -1;
    int status_ = -2;
    std::string pending_;
    bool connect(int timeoutMs);
};

// The messages of a log (the second line of each two-line record onwards),
// in order: each record "<time>\n: <message>\n" gives "<message>".
std::vector<std::string> logMessages(const std::string& log);
// Counts occurrences of text in haystack.
int countOf(const std::string& haystack, const std::string& text);

}  // namespace e2e

#include <nlohmann/json.hpp>

namespace e2e {

// The map state's record of one symbol (from the `state` command), or null.
nlohmann::json symbolState(Program& program, int symbolId);
// The path of a file under tests/data/e2e.
std::string dataFile(const std::string& name);

}  // namespace e2e
