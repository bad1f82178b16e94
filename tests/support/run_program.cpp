// Runs a child process with pipes on its standard streams and collects everything it writes.
#include "support/run_program.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
    // A pseudo-terminal in raw mode instead of a pipe: fd[0] the master, fd[1] the slave end.
    bool openTerminal() {
        if (::openpty(&fd[0], &fd[1], nullptr, nullptr, nullptr) != 0) return false;
        termios mode{};
        ::tcgetattr(fd[1], &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(fd[1], TCSANOW, &mode);
        ::fcntl(fd[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fd[1], F_SETFD, FD_CLOEXEC);
        return true;
    }
    void closeEnd(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
    void closeBoth() {
        closeEnd(0);
        closeEnd(1);
    }
};

// In the child: wire the pipes to fds 0-2 and change directory. Returns false on failure.
bool setUpChild(Pipe& in, Pipe& out, Pipe& err, const RunOptions& options) {
    if (::dup2(in.fd[0], 0) < 0 || ::dup2(out.fd[1], 1) < 0 || ::dup2(err.fd[1], 2) < 0) return false;
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) return false;
    if (options.childSetUp) options.childSetUp();
    return true;
}

// In the parent: feed stdin, drain stdout and stderr, wait for the child within the time-out.
RunResult collect(pid_t pid, Pipe& in, Pipe& out, Pipe& err, const RunOptions& options) {
    RunResult result;
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);
    std::size_t written = 0;
    if (options.stdinData.empty()) in.closeEnd(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3];
        int n = 0;
        if (out.fd[0] >= 0) fds[n++] = {out.fd[0], POLLIN, 0};
        if (err.fd[0] >= 0) fds[n++] = {err.fd[0], POLLIN, 0};
        if (in.fd[1] >= 0) fds[n++] = {in.fd[1], POLLOUT, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        int ready = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in.fd[1]) {
                ssize_t w =
                    ::write(in.fd[1], options.stdinData.data() + written, options.stdinData.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 || written == options.stdinData.size()) in.closeEnd(1);
                continue;
            }
            Pipe& p = fds[i].fd == out.fd[0] ? out : err;
            std::string& sink = fds[i].fd == out.fd[0] ? result.out : result.err;
            char buf[65536];
            ssize_t r = ::read(p.fd[0], buf, sizeof buf);
            if (r > 0)
                sink.append(buf, static_cast<std::size_t>(r));
            else if (r == 0 || errno != EINTR)
                p.closeEnd(0);
        }
    }
    in.closeBoth();
    out.closeBoth();
    err.closeBoth();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

template <typename ChildBody> RunResult runForked(const RunOptions& options, ChildBody body) {
    Pipe in, out, err;
    if (!in.open() || !(options.stdoutTerminal ? out.openTerminal() : out.open()) || !err.open()) {
        in.closeBoth();
        out.closeBoth();
        err.closeBoth();
        return {};
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        in.closeBoth();
        out.closeBoth();
        err.closeBoth();
        return {};
    }
    if (pid == 0) {
        // Writing to a closed stdin pipe must fail with EPIPE in the parent, not kill it; the child keeps the
        // default disposition.
        ::signal(SIGPIPE, SIG_DFL);
        if (!setUpChild(in, out, err, options)) ::_exit(127);
        body();
        ::_exit(127);
    }
    return collect(pid, in, out, err, options);
}

} // namespace

RunResult runProgram(const std::string& exe, const std::vector<std::string>& args,
                     const RunOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words;
    words.push_back(exe);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return runForked(options, [&] { ::execv(exe.c_str(), argv.data()); });
}

RunResult runInChild(const std::function<void()>& body, const RunOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    return runForked(options, [&] {
        body();
        std::fflush(nullptr);
        ::_exit(0);
    });
}

RunResult runMaildig(const std::vector<std::string>& args, const RunOptions& options) {
    return runProgram(MAILDIG_EXE, args, options);
}
