// The progress line: drawn with a carriage return and erased with blanks, so that it needs nothing of the
// terminal but those two.
#include "search/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace maildig {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto firstDelay = std::chrono::seconds(1);
constexpr auto redrawEvery = std::chrono::milliseconds(100);

struct ProgressState {
    bool active = false; // a walk runs on a terminal without --verbose
    std::size_t total = 0;
    std::size_t matches = 0;
    Clock::time_point started;
    Clock::time_point drawn;
    std::size_t shownWidth = 0; // columns of the line now on the terminal, 0 when none
};

ProgressState state;

void writeErr(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stderr);
    std::fflush(stderr);
}

std::size_t terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

} // namespace

void progressStart(std::size_t total, bool verbose) {
    state = ProgressState{};
    state.active = !verbose && ::isatty(STDERR_FILENO) == 1;
    state.total = total;
    state.started = Clock::now();
}

void progressMatch() {
    ++state.matches;
    progressClear();
}

void progressLookedAt(std::size_t lookedAt) {
    if (!state.active) return;
    const Clock::time_point now = Clock::now();
    if (now - state.started < firstDelay || (state.shownWidth > 0 && now - state.drawn < redrawEvery)) return;
    std::string text = std::to_string(lookedAt) + " of " + std::to_string(state.total) +
                       " messages looked at, " + std::to_string(state.matches) + " matching";
    // A line as wide as the terminal would wrap, and the carriage return would no longer reach its start.
    const std::size_t room = terminalColumns() - 1;
    if (text.size() > room) text.resize(room);
    std::string line = "\r" + text;
    if (text.size() < state.shownWidth)
        line += std::string(state.shownWidth - text.size(), ' ') + "\r" + text;
    writeErr(line);
    state.shownWidth = text.size();
    state.drawn = now;
}

void progressClear() {
    if (state.shownWidth == 0) return;
    std::string blank(state.shownWidth + 2, ' ');
    blank.front() = blank.back() = '\r';
    writeErr(blank);
    state.shownWidth = 0;
}

} // namespace maildig
