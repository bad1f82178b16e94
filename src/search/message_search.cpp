// The find action and the text-part search shared with the view action.
#include "search/message_search.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/params.h"
#include "cli/quit.h"
#include "search/mailbox.h"
#include "search/pipelined_fetch.h"
#include "strutil/strutil.h"

int fetchLines() {
    const long long lines = static_cast<long long>(params.maxSize) * 1000 / 80;
    if (lines > INT_MAX) return INT_MAX;
    if (lines < INT_MIN) return INT_MIN;
    return static_cast<int>(lines);
}

void splitTextLines(const std::string& text, Lines& lines) {
    lines.clear();
    const char* const base = text.data();
    const std::size_t n = text.size();
    std::size_t start = 0;
    std::size_t lfPos = 0; // the next LF at or after start (n when none); looked up again only once passed
    bool lfKnown = false;
    while (start < n) {
        // The nearer of the next CR and the next LF ends the line.
        if (!lfKnown || lfPos < start) {
            const void* lf = std::memchr(base + start, '\n', n - start);
            lfPos = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : n;
            lfKnown = true;
        }
        const void* cr = std::memchr(base + start, '\r', lfPos - start);
        const std::size_t end = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : lfPos;
        if (end == n) break;
        lines.emplace_back(text, start, end - start);
        start = end + ((base[end] == '\r' && end + 1 < n && base[end + 1] == '\n') ? 2 : 1);
    }
    if (start < n) lines.emplace_back(text, start, n - start);
}

void writeLine(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fputc('\n', out);
}

void writeHeaderSummary(const TMessHeader& header) {
    writeLine(stderr, "  from:       " + header.From);
    writeLine(stderr, "  to:         " + (header.ToList.empty() ? std::string() : header.ToList.front()));
    writeLine(stderr, "  subject:    " + header.Subject);
}

bool containsFolded(const std::string& haystack, const std::string& needle) {
    return needle.empty() || str_pos(str_lower(haystack), str_lower(needle)) != 0;
}

bool findTextPart(TMimePart& part, Lines& lines) {
    // Depth-first, children in order, without recursion: a hostile message cannot exhaust the stack here.
    struct Frame {
        TMimePart* part;
        int next;
    };
    std::vector<Frame> stack{{&part, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        TMimePart* current = top.part;
        if (current->CountSubParts() == 0) {
            stack.pop_back();
            if (current->PrimaryCode() == MP_TEXT) {
                current->DecodeBodyLines(lines);
                return true;
            }
            continue;
        }
        if (top.next >= current->CountSubParts()) {
            stack.pop_back();
            continue;
        }
        TMimePart* child = current->SubPartAt(top.next++);
        stack.push_back({child, 0});
    }
    return false;
}

namespace {

// Judges one fetched head against the criteria of the run; writes the verbose lines of that message.
bool messageMatches(const Lines& reply, TMimeMess& mess, Lines& textLines) {
    mess.Reset();
    mess.Lines() = reply;
    mess.ParseMessage();
    const TMessHeader& header = mess.Header();
    if (params.verbose) writeHeaderSummary(header);
    if (!params.fromaddr.empty() && !containsFolded(header.From, params.fromaddr)) return false;
    if (!params.toaddr.empty()) {
        bool found = false;
        for (const std::string& to : header.ToList)
            if (containsFolded(to, params.toaddr)) {
                found = true;
                break;
            }
        if (!found) return false;
    }
    if (!params.subject.empty() && !containsFolded(header.Subject, params.subject)) return false;
    if (!params.SearchStr.empty() && !containsFolded(header.Subject, params.SearchStr)) {
        if (!findTextPart(mess.MessagePart(), textLines)) {
            if (params.verbose) std::fputs("  This msg has no Mime message part.\n", stderr);
            return false;
        }
        // Each line is folded into one reused buffer, so the search of a long part allocates nothing per
        // line.
        const std::string needle = str_lower(params.SearchStr);
        std::string folded;
        bool found = false;
        for (const std::string& line : textLines) {
            folded.assign(line);
            for (char& c : folded)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (folded.find(needle) != std::string::npos) {
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

} // namespace

void findMessages() {
    if (params.verbose) std::fputs("Searching messages for match...\n", stderr);
    TMimeMess mess;
    Lines textLines;
    bool matchedAny = false;
    const int lines = fetchLines();

    // Handles message i once its reply is in reply; false stops the walk.
    auto judge = [&](std::size_t i, const Lines& reply) {
        if (messageMatches(reply, mess, textLines)) {
            matchedAny = true;
            if (params.verbose) std::fputs("  MATCH FOUND.\n", stderr);
            writeLine(stdout, msgUids[i]);
            std::fflush(stdout);
            if (params.range == range_first) return false;
        }
        return true;
    };
    auto announce = [&](std::size_t i) {
        if (params.verbose) writeLine(stderr, "Processing msg " + msgNumbers[i] + " (" + msgUids[i] + "): ");
    };

    if (params.range == range_all && hasCapabilityLine(pop->CapabilityList(), "pipelining")) {
        pipelinedTopWalk(*pop, msgNumbers, lines, announce, judge);
    } else {
        for (std::size_t i = 0; i < msgNumbers.size(); ++i) {
            announce(i);
            pop->FetchTop(str_to_int(msgNumbers[i]), lines);
            if (!judge(i, pop->FullResult())) break;
        }
    }
    if (!matchedAny) quit(1);
}
