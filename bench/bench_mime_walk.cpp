// The MIME side of a search walk, without the network: every message of an mbox cut to what TOP returns (the
// header and the first N body lines), then per message what the find action does once the reply is in: fill
// the message's Lines, ParseMessage, find the first text leaf, decode it into lines and fold each line.
//
//   bench_mime_walk MBOX [--lines 125] [--rounds 3] [--word zyxwvutsrqponmlk]
//
// Prints the messages walked, the matches (0 for a word found nowhere), CPU microseconds per message (and of
// that, what filling the reply alone costs) and the peak resident memory. Built against any revision that has
// TMimeMess and findTextPart, so two revisions can be compared on the same mailbox; run it under `valgrind
// --tool=callgrind` for instruction counts, which are stable on a busy machine.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "mime/mime_message.h"
#include "search/message_search.h"
using namespace maildig;

namespace {

int usage() {
    std::fputs("usage: bench_mime_walk MBOX [--lines N] [--rounds N] [--word W]\n", stderr);
    return 2;
}

// The messages of an mbox, each cut to its header block and the first `bodyLines` body lines.
std::vector<Lines> readMailbox(const char* path, int bodyLines) {
    std::ifstream in(path, std::ios::binary);
    std::vector<Lines> messages;
    std::string line;
    bool inBody = false;
    int taken = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("From ")) {
            messages.emplace_back();
            inBody = false;
            taken = 0;
            continue;
        }
        if (messages.empty()) continue;
        if (line.starts_with(">From ")) line.erase(0, 1);
        if (inBody) {
            if (taken >= bodyLines) continue;
            ++taken;
        } else if (line.empty()) {
            inBody = true;
        }
        messages.back().push_back(line);
    }
    // The separator line before the next "From " belongs to the mbox, not the message.
    for (Lines& m : messages)
        if (!m.empty() && m.back().empty() && taken < bodyLines) m.pop_back();
    return messages;
}

bool holdsFolded(const Lines& lines, const std::string& needle) {
    std::string folded;
    for (const std::string& l : lines) {
        folded.assign(l);
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (folded.find(needle) != std::string::npos) return true;
    }
    return false;
}

// One walk over the messages; the matches. Kept out of line so that `callgrind --toggle-collect=walk*`
// counts the walk alone.
[[gnu::noinline]] long long walk(const std::vector<Lines>& messages, const std::string& word, TMimeMess& mess,
                                 Lines& textLines, Lines& reply) {
    long long matches = 0;
    for (const Lines& m : messages) {
        // The reply as the POP3 client leaves it: a list the message takes its lines from.
        reply = m;
        mess.Reset();
        mess.Lines().swap(reply);
        mess.ParseMessage();
        if (findTextPart(mess.MessagePart(), textLines) && holdsFolded(textLines, word)) ++matches;
    }
    return matches;
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return usage();
    int bodyLines = 125;
    int rounds = 3;
    std::string word = "zyxwvutsrqponmlk";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc)
            bodyLines = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--word") == 0 && i + 1 < argc)
            word = argv[++i];
        else
            return usage();
    }
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::vector<Lines> messages = readMailbox(argv[1], bodyLines);
    if (messages.empty()) {
        std::fputs("bench_mime_walk: no messages\n", stderr);
        return 1;
    }

    TMimeMess mess;
    Lines textLines;
    Lines reply;
    const double start = cpuSeconds();
    long long matches = 0;
    for (int r = 0; r < rounds; ++r)
        matches += walk(messages, word, mess, textLines, reply);
    const double seconds = cpuSeconds() - start;
    // What filling the reply costs by itself (the POP3 client's share), to tell the MIME work apart.
    const double copyStart = cpuSeconds();
    for (int r = 0; r < rounds; ++r) {
        for (const Lines& m : messages) {
            reply = m;
            Lines().swap(reply);
        }
    }
    const double copySeconds = cpuSeconds() - copyStart;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double walked = static_cast<double>(messages.size()) * rounds;
    std::printf(
        "messages %.0f matches %lld cpu_us_per_message %.2f (filling the reply %.2f) peak_rss_kb %ld\n",
        walked, matches, seconds * 1e6 / walked, copySeconds * 1e6 / walked, usage.ru_maxrss);
    return 0;
}
