#include "cli/password_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>

namespace maildig {

namespace {

// A first line longer than this is no password: it is dropped, and the run fails.
constexpr std::size_t kMaxPasswordLength = 64 * 1024;

TOutcome failed(const std::string& why) {
    return {24, "\n" + why};
}

} // namespace

TOutcome readPasswordCommand(const std::string& command, std::string& password) {
    password.clear();
    // What the program has buffered goes out before the command can write to the same places.
    std::fflush(stdout);
    std::fflush(stderr);
    errno = 0;
    std::FILE* out = ::popen(command.c_str(), "r");
    if (!out) return failed(std::string("the command could not be run: ") + std::strerror(errno));
    std::string line;
    bool lineEnded = false, tooLong = false;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) {
        if (lineEnded) continue; // read to the end, so that the command is never cut off
        const char* end = static_cast<const char*>(std::memchr(buffer, '\n', n));
        line.append(buffer, end ? static_cast<std::size_t>(end - buffer) : n);
        lineEnded = end != nullptr;
        if (line.size() > kMaxPasswordLength) {
            tooLong = lineEnded = true;
            line.clear();
        }
    }
    const int status = ::pclose(out);
    if (status == -1) return failed(std::string("the command could not be run: ") + std::strerror(errno));
    if (WIFSIGNALED(status))
        return failed("the command was ended by signal " + std::to_string(WTERMSIG(status)));
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code != 0) return failed("the command ended with exit status " + std::to_string(code));
    while (!line.empty() && line.back() == '\r') // the line holds no LF: it ended there
        line.pop_back();
    if (tooLong) return failed("the command printed a first line longer than 64 KB (exit status 0)");
    if (line.empty()) return failed("the command printed no password (exit status 0)");
    // A CR or NUL inside would end the POP3 command early or cut it.
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string::npos)
        return failed("the command printed a password with a CR or NUL byte in it (exit status 0)");
    password = std::move(line);
    return {};
}

} // namespace maildig
