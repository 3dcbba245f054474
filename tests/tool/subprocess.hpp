// A child process with pipes on its stdin and on its stdout (stderr joins
// stdout unless asked apart), read line by line with a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vostrel::testing {

/// Where the child's standard streams go, when not the default pipes.
struct Streams {
    bool stdinClosed = false;  // descriptor 0 closed, as `<&-` does
    std::string stdoutFile;    // "": a pipe, read by ReadLine; else this file
    int stdoutPipeSize = 0;    // 0: the system's; else the pipe's capacity in bytes
    bool stderrApart = false;  // stderr on a pipe of its own (ReadStderr)
    int stderrPipeSize = 0;    // with stderrApart: 0 the system's, else its capacity in bytes
};

class Subprocess {
public:
    explicit Subprocess(const std::vector<std::string>& argv, const Streams& streams = {});
    /// Kills the child if it still runs.
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    void Write(const std::string& bytes);
    void CloseStdin();
    /// The next line of output (without its newline), or nullopt when none
    /// came within `timeout` or the output ended.
    std::optional<std::string> ReadLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Everything until the output ends (or `timeout`).
    std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Closes the reading end of the output pipe, as a reader that exits.
    void CloseStdout();
    /// Bytes written to the output pipe and not read yet.
    std::size_t OutputWaiting() const;
    /// Everything the child wrote to a separate stderr until it closed it
    /// (or `timeout`).
    std::string ReadStderr(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Signal(int signo);
    int Pid() const { return pid_; }
    /// Bytes written to the separate stderr pipe and not read yet.
    std::size_t StderrWaiting() const;
    /// The exit status; -1 when it had to be killed after `timeout`, or
    /// 128 + N when a signal N ended it.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string buffer_;
    bool eof_ = false;
    std::optional<int> status_;
};

/// Runs to its end and returns {exit status, all output}.
std::pair<int, std::string> RunTool(const std::vector<std::string>& args,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(20));

struct ToolRun {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};
/// Runs to its end with standard output and standard error kept apart.
ToolRun RunToolApart(const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace vostrel::testing
