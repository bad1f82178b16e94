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
    THeadCache* const heads = box.Heads.get();
    TMimeMess mess;
    bool matchedAny = false;
    bool stopped = false; // a match ended a --range first walk
    const int lines = fetchLines(maxSize);
    const std::vector<int32_t>& numbers = box.Listing.Numbers();
    const std::size_t count = numbers.size();
    std::size_t judged = 0;
    bool cutUnmatched = false; // a reply cut off after its status line was judged and did not match
    progressStart(count, criteria.verbose);

    // Judges listed message i on reply, whose lines it takes (leaving the previous message's line buffers
    // for the next reply); true when it matched.
    auto judge = [&](std::size_t i, TPOP3Reply& reply, bool fromCache) {
        if (criteria.verbose)
            writeLine(stderr, "Processing msg " + std::string(box.Listing.NumberText(i)) + " (" +
                                  std::string(box.Listing.Uid(i)) + "): ");
        Lines previous;
        if (fromCache)
            previous.swap(mess.Lines());
        else
            pop.RecycleLines(mess.Lines());
        mess.Reset();
        mess.Lines().swap(reply.FullResult);
        if (fromCache) reply.FullResult.swap(previous);
        const bool matched = messageMatches(mess, criteria);
        if (matched) {
            matchedAny = true;
            if (criteria.verbose) std::fputs("  MATCH FOUND.\n", stderr);
            progressMatch();
            writeLine(stdout, box.Listing.Uid(i));
            std::fflush(stdout);
        }
        progressLookedAt(i + 1);
        ++judged;
        stopped = matched && !all;
        return matched;
    };

    // The messages the cache answers are judged in their turn between the fetched ones. Once the connection
    // is lost, the fetched messages from there on were not searched: they are not judged on the empty
    // replies that follow (the cached ones still are). A reply cut off after its status line is judged on
    // what arrived (a match there is real) and counts as not searched unless it matched. When the cache
    // fails, the walk goes on fetching from the message it could not answer.
    std::size_t next = 0; // the next listed message to judge
    TPOP3Reply cached;
    auto judgeCached = [&](std::size_t end) {
        for (; next < end && !stopped; ++next)
            if (heads->Has(next)) {
                if (!heads->Take(next, cached)) return false;
                judge(next, cached, true);
            }
        return true;
    };
    bool lost = false;
    for (;;) {                      // once, and again from where the cache failed
        std::vector<int32_t> fetch; // the numbers to fetch, and their places in the listing
        std::vector<std::size_t> places;
        for (std::size_t i = next; i < count; ++i)
            if (heads == nullptr || !heads->Has(i)) {
                fetch.push_back(numbers[i]);
                places.push_back(i);
            }
        bool cacheFailed = false;
        auto handle = [&](std::size_t k, TPOP3Reply& reply) {
            const std::size_t i = places[k];
            if (heads != nullptr && !judgeCached(i)) {
                cacheFailed = true;
                return false;
            }
            if (stopped) return false;
            lost = pop.SessionLost();
            if (lost && ReplyVerdict(reply.ResultString) != 1) return false;
            if (heads != nullptr) heads->Keep(i, reply);
            cutUnmatched = !judge(i, reply, false) && lost;
            next = i + 1;
            return !lost && !stopped;
        };
        // With PIPELINING several TOP commands are in flight; for --range first the window starts small and
        // grows with each reply, so that a walk stopped by an early match sent only a few commands beyond
        // it.
        TPOP3Send::TTopWindow window;
        if (pop.Pipelining()) {
            window.Max = TPOP3Send::kPipelineMaxCommands;
            window.Grow = !all;
            window.Start = TPOP3Send::kFirstWindow;
        }
        pop.FetchTopPipelined(fetch, lines, window, handle);
        if (!cacheFailed && !lost && heads != nullptr && !judgeCached(count)) cacheFailed = true;
        if (!cacheFailed) break;
    }
    if (lost && heads != nullptr) judgeCached(count);
    progressClear();
    // With --range first a match answers the question, whatever came after it.
    const bool answered = matchedAny && !all;
    const std::size_t listed = count + box.Listing.Unkept;
    const std::size_t notSearched = listed - judged + (cutUnmatched ? 1 : 0);
    if (notSearched > 0 && !answered)
        return {23, std::to_string(notSearched) + " of " + std::to_string(listed) +
                        " messages were not searched."};
    if (!matchedAny) return {1};
    return {};
}

} // namespace maildig
