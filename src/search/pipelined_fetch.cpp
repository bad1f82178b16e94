// Pipelined TOP walk.
#include "search/pipelined_fetch.h"

#include <algorithm>
#include <string>

#include "strutil/strutil.h"

std::size_t pipelineWindow(int lines) {
    // A head is the header block (a few KB) plus the body lines asked for, about 80 bytes each.
    const long long estimate = 8192 + static_cast<long long>(std::max(lines, 0)) * 80;
    const long long byBudget = std::max(1LL, kPipelineByteBudget / estimate);
    return static_cast<std::size_t>(std::min<long long>(byBudget, kPipelineMaxCommands));
}

void pipelinedTopWalk(TPOP3Send& pop, const Lines& numbers, int lines,
                      const std::function<void(std::size_t)>& announce,
                      const std::function<bool(std::size_t, const Lines&)>& judge) {
    const std::size_t count = numbers.size();
    const std::size_t window = pipelineWindow(lines);
    const std::string lineCount = " " + str_from_int(lines) + "\r\n";
    std::size_t sent = 0;
    std::string batch;
    for (std::size_t handled = 0; handled < count; ++handled) {
        // Top the window up with one write: the commands are small, so the send never waits for the server.
        batch.clear();
        while (sent < count && sent - handled < window) {
            batch += "TOP " + str_from_int(str_to_int(numbers[sent])) + lineCount;
            ++sent;
        }
        if (!batch.empty()) pop.Sock().SendText(batch);
        announce(handled);
        pop.ReadReply(true);
        if (!judge(handled, pop.FullResult())) return;
    }
}
