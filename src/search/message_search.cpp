// The find action and the text-part search shared with the view action.
#include "search/message_search.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "bytes/ascii.h"
#include "mime/charset/control_escape.h"
#include "pop3/reply_parser.h"
#include "search/progress.h"

namespace maildig {

int fetchLines(int maxSize) {
    const long long lines = static_cast<long long>(maxSize) * 1000 / 80;
    if (lines > INT_MAX) return INT_MAX;
    if (lines < INT_MIN) return INT_MIN;
    return static_cast<int>(lines);
}

void writeLine(std::FILE* out, std::string_view text) {
    // Standard error always quotes server or message text; standard output only when a terminal shows it,
    // so that a pipe or a file gets the bytes unchanged.
    static const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    if (out == stderr || (out == stdout && stdoutIsTerminal)) {
        static const TMimeChar charset = SystemCharset();
        const std::string shown = EscapeControlChars(text, charset);
        std::fwrite(shown.data(), 1, shown.size(), out);
    } else {
        std::fwrite(text.data(), 1, text.size(), out);
    }
    std::fputc('\n', out);
}

void writeHeaderSummary(const TMessHeader& header) {
    writeLine(stderr, "  from:       " + header.From);
    writeLine(stderr, "  to:         " + (header.ToList.empty() ? std::string() : header.ToList.front()));
    writeLine(stderr, "  subject:    " + header.Subject);
}

bool containsFolded(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (haystack.size() < needle.size()) return false;
    // Candidates are the places of the needle's first byte in either case, found with memchr; only there is
    // the rest compared byte by byte.
    const char lower = AsciiLower(needle[0]);
    const char upper = AsciiUpper(lower);
    const char* const base = haystack.data();
    const std::size_t last = haystack.size() - needle.size(); // the last place the needle can start
    auto next = [&](char c, std::size_t from) {
        if (from > last) return std::string_view::npos;
        const void* hit = std::memchr(base + from, c, last + 1 - from);
        return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - base) : std::string_view::npos;
    };
    std::size_t atLower = next(lower, 0);
    std::size_t atUpper = upper == lower ? std::string_view::npos : next(upper, 0);
    while (atLower != std::string_view::npos || atUpper != std::string_view::npos) {
        const std::size_t at = std::min(atLower, atUpper);
        std::size_t k = 1;
        while (k < needle.size() && AsciiLower(base[at + k]) == AsciiLower(needle[k]))
            ++k;
        if (k == needle.size()) return true;
        if (at == atLower)
            atLower = next(lower, at + 1);
        else
            atUpper = next(upper, at + 1);
    }
    return false;
}

TMimePart* firstTextLeaf(TMimePart& part) {
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
            if (current->PrimaryCode() == MP_TEXT) return current;
            continue;
        }
        if (top.next >= current->CountSubParts()) {
            stack.pop_back();
            continue;
        }
        TMimePart* child = current->SubPartAt(top.next++);
        stack.push_back({child, 0});
    }
    return nullptr;
}

bool findTextPart(TMimePart& part, Lines& lines) {
    TMimePart* leaf = firstTextLeaf(part);
    if (leaf == nullptr) return false;
    leaf->DecodeBodyLines(lines);
    return true;
}

bool messageMatches(TMimeMess& mess, const TSearchCriteria& criteria) {
    mess.ParseMessage();
    const TMessHeader& header = mess.Header();
    if (criteria.verbose) writeHeaderSummary(header);
    if (!containsFolded(header.From, criteria.from)) return false;
    if (!criteria.to.empty()) {
        bool found = false;
        for (const std::string& to : header.ToList)
            if (containsFolded(to, criteria.to)) {
                found = true;
                break;
            }
        if (!found) return false;
    }
    if (!containsFolded(header.Subject, criteria.subject)) return false;
    if (!containsFolded(header.Subject, criteria.text)) {
        TMimePart* leaf = firstTextLeaf(mess.MessagePart());
        if (leaf == nullptr) {
            if (criteria.verbose) std::fputs("  This msg has no Mime message part.\n", stderr);
            return false;
        }
        // The text is searched whole: a search string without line ends occurs in the text exactly where it
        // occurs in one of its lines, and one with a line end occurs in no line.
        if (criteria.text.find_first_of("\r\n") != std::string::npos) return false;
        leaf->DecodeBody();
        if (!containsFolded(leaf->DecodedLines, criteria.text)) return false;
    }
    return true;
}

TOutcome findMessages(TMailbox& box, const TSearchCriteria& criteria, int maxSize, bool all) {
    if (criteria.verbose) std::fputs("Searching messages for match...\n", stderr);
    TPOP3Send& pop = box.Pop;
    TMimeMess mess;
    bool matchedAny = false;
    const int lines = fetchLines(maxSize);
    const std::vector<int32_t>& numbers = box.Listing.Numbers();
    progressStart(numbers.size(), criteria.verbose);

    // Replies come in listing order; each is judged as soon as it is read. Returning false stops the walk.
    // Once the connection is lost, the messages from there on were not searched: they are not judged on the
    // empty replies that follow. A reply cut off after its status line is judged on what arrived (a match
    // there is real) and counts as not searched unless it matched.
    std::size_t lostFrom = numbers.size(); // the first message not searched
    auto judge = [&](std::size_t i, TPOP3Reply& reply) {
        const bool lost = pop.SessionLost();
        if (lost && ReplyVerdict(reply.ResultString) != 1) {
            lostFrom = i;
            return false;
        }
        if (criteria.verbose)
            writeLine(stderr, "Processing msg " + std::string(box.Listing.NumberText(i)) + " (" +
                                  std::string(box.Listing.Uid(i)) + "): ");
        pop.RecycleLines(mess.Lines()); // the previous message's lines, for the next replies
        mess.Reset();
        mess.Lines().swap(reply.FullResult);
        const bool matched = messageMatches(mess, criteria);
        if (matched) {
            matchedAny = true;
            if (criteria.verbose) std::fputs("  MATCH FOUND.\n", stderr);
            progressMatch();
            writeLine(stdout, box.Listing.Uid(i));
            std::fflush(stdout);
        }
        progressLookedAt(i + 1);
        if (lost) {
            lostFrom = matched ? i + 1 : i;
            return false;
        }
        return !matched || all;
    };

    // With PIPELINING several TOP commands are in flight; for --range first the window starts small and
    // grows with each reply, so that a walk stopped by an early match sent only a few commands beyond it.
    TPOP3Send::TTopWindow window;
    if (pop.Pipelining()) {
        window.Max = TPOP3Send::kPipelineMaxCommands;
        window.Grow = !all;
        window.Start = TPOP3Send::kFirstWindow;
    }
    pop.FetchTopPipelined(numbers, lines, window, judge);
    progressClear();
    // With --range first a match answers the question, whatever came after it.
    const bool answered = matchedAny && !all;
    if (lostFrom < numbers.size() && !answered)
        return {23, std::to_string(numbers.size() - lostFrom) + " of " + std::to_string(numbers.size()) +
                        " messages were not searched."};
    if (!matchedAny) return {1};
    return {};
}

} // namespace maildig
