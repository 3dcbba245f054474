// fork/exec with pipes, for running the built tool from its tests.
#include "subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace vostrel::testing {

using Clock = std::chrono::steady_clock;

Subprocess::Subprocess(const std::vector<std::string>& argv, const Streams& streams) {
    int in[2], out[2], err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (streams.stderrApart && ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (streams.stdoutPipeSize > 0 && ::fcntl(out[1], F_SETPIPE_SZ, streams.stdoutPipeSize) < 0)
        throw std::runtime_error("pipe size");
    if (streams.stderrApart && streams.stderrPipeSize > 0 &&
        ::fcntl(err[1], F_SETPIPE_SZ, streams.stderrPipeSize) < 0)
        throw std::runtime_error("pipe size");
    const int file =
        streams.stdoutFile.empty() ? -1 : ::open(streams.stdoutFile.c_str(), O_WRONLY | O_CLOEXEC);
    if (!streams.stdoutFile.empty() && file < 0)
        throw std::runtime_error("open " + streams.stdoutFile);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(file >= 0 ? file : out[1], 1);
        ::dup2(streams.stderrApart ? err[1] : out[1], 2);
        if (streams.stdinClosed) ::close(0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (file >= 0) ::close(file);
    if (err[1] >= 0) ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
    ::signal(SIGPIPE, SIG_IGN);
}

Subprocess::~Subprocess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
}

void Subprocess::CloseStdout() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    eof_ = true;
}

std::size_t Subprocess::OutputWaiting() const {
    int n = 0;
    if (out_ < 0 || ::ioctl(out_, FIONREAD, &n) != 0) return 0;
    return static_cast<std::size_t>(n);
}

std::size_t Subprocess::StderrWaiting() const {
    int n = 0;
    if (err_ < 0 || ::ioctl(err_, FIONREAD, &n) != 0) return 0;
    return static_cast<std::size_t>(n);
}

std::string Subprocess::ReadStderr(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string all;
    while (err_ >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{err_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(err_, buf, sizeof buf);
        if (n <= 0) break;
        all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
}

void Subprocess::Write(const std::string& bytes) {
    if (in_ < 0 || ::write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write to child");
}

void Subprocess::CloseStdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

std::optional<std::string> Subprocess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        if (eof_) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n > 0)
            buffer_.append(buf, static_cast<std::size_t>(n));
        else if (n == 0)
            eof_ = true;
    }
}

std::string Subprocess::ReadAll(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string all;
    while (Clock::now() < deadline) {
        auto line = ReadLine(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!line) break;
        all += *line + "\n";
    }
    all += buffer_;
    buffer_.clear();
    return all;
}

void Subprocess::Signal(int signo) { ::kill(pid_, signo); }

int Subprocess::Wait(std::chrono::milliseconds timeout) {
    if (status_) return *status_;
    const auto deadline = Clock::now() + timeout;
    int st = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) break;
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &st, 0);
            status_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return *status_;
}

std::pair<int, std::string> RunTool(const std::vector<std::string>& args,
                                    std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{VOSTREL_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Subprocess p(argv);
    p.CloseStdin();
    std::string out = p.ReadAll(timeout);
    return {p.Wait(timeout), out};
}

ToolRun RunToolApart(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{VOSTREL_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Streams apart;
    apart.stderrApart = true;
    Subprocess p(argv, apart);
    p.CloseStdin();
    ToolRun run;
    // The tool's messages are short: reading one stream to its end first
    // cannot leave the other's pipe full.
    run.out = p.ReadAll(timeout);
    run.err = p.ReadStderr(timeout);
    run.status = p.Wait(timeout);
    return run;
}

}  // namespace vostrel::testing
