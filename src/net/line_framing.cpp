// Line framing on top of the read-ahead: a line ends at the terminator (CR LF, or with ConvertLineEnd any of
// CR LF, LF, CR and LF CR), and a lone CR or LF that ends one line may have its other half at the start of
// the next bytes.
#include "net/blocksock.h"

#include <algorithm>
#include <cstring>

#include "net/socket_internal.h"

namespace maildig {

namespace {

// Position of the first CR or LF at or after from. memchr in windows of a few KB: a scan for both bytes at
// once would go byte by byte, and a scan for LF over the whole buffer would be repeated for every line of a
// text that uses lone CRs.
size_t FindLineEnd(std::string_view data, size_t from) {
    constexpr size_t kWindow = 4096;
    const char* base = data.data();
    while (from < data.size()) {
        const size_t end = std::min(data.size(), from + kWindow);
        const void* lf = std::memchr(base + from, '\n', end - from);
        const size_t stop = lf ? static_cast<size_t>(static_cast<const char*>(lf) - base) : end;
        if (const void* cr = std::memchr(base + from, '\r', stop - from))
            return static_cast<size_t>(static_cast<const char*>(cr) - base);
        if (lf) return stop;
        from = end;
    }
    return std::string_view::npos;
}

} // namespace

size_t TTCPBlockSocket::TakeLineEndCarry(std::string_view next) {
    if (!ConvertLineEnd || next.empty()) return 0;
    const bool otherHalf = (SawLoneCr && next.front() == '\n') || (SawLoneLf && next.front() == '\r');
    if (SawLoneCr && !otherHalf) ++OtherLineEnds; // a CR alone after all
    SawLoneCr = false;
    SawLoneLf = false;
    return otherHalf ? 1 : 0;
}

std::string TTCPBlockSocket::ReceiveChunk(int32_t timeout) {
    ClearLastError();
    std::string result = ReadAhead.empty() ? ReadNetworkChunk(timeout) : ReadAhead.Take();
    result.erase(0, TakeLineEndCarry(result));
    ReportError();
    return result;
}

std::string TTCPBlockSocket::ReceiveUntil(int32_t timeout, std::string_view terminator) {
    std::string text;
    ReceiveUntilInto(text, timeout, terminator);
    return text;
}

bool TTCPBlockSocket::ReceiveUntilInto(std::string& out, int32_t timeout, std::string_view terminator) {
    ClearLastError();
    out.clear();
    if (terminator.empty()) {
        ReportError();
        return false;
    }
    const bool lineMode = ConvertLineEnd && terminator == "\r\n";
    const size_t limit = static_cast<size_t>(MaxLineLength > 0 ? std::min(MaxLineLength, kLineLengthCeiling)
                                                               : kLineLengthCeiling);

    // The line end of the previous line may go on in the first bytes this read takes.
    ReadAhead.Consume(TakeLineEndCarry(ReadAhead.view()));

    // The clock is read only when the time-out covers the whole read: a line read is often no more than a
    // scan of ReadAhead.
    const auto start = InterPacketTimeout ? Clock::time_point() : Clock::now();
    size_t scanned = 0; // bytes of ReadAhead already searched without finding a terminator
    for (;;) {
        const std::string_view data = ReadAhead.view();
        size_t pos = std::string_view::npos;
        size_t termLength = terminator.size();
        bool loneCr = false;
        bool loneLf = false;
        if (lineMode) {
            pos = FindLineEnd(data, scanned);
            if (pos != std::string_view::npos) {
                const char other = data[pos] == '\r' ? '\n' : '\r';
                if (pos + 1 < data.size() && data[pos + 1] == other) {
                    termLength = 2;
                    if (other == '\r') ++OtherLineEnds; // LF CR
                } else {
                    termLength = 1;
                    loneCr = data[pos] == '\r';
                    loneLf = data[pos] == '\n';
                    if (loneLf) ++OtherLineEnds; // a CR that follows is part of this line end (LF CR)
                }
            }
        } else {
            pos = data.find(terminator, scanned);
        }

        if (pos != std::string_view::npos) {
            if (pos > limit) {
                LastErrorCode = WSAENOBUFS;
                break;
            }
            ReadAhead.TakeFront(out, pos, termLength);
            SawLoneCr = loneCr;
            SawLoneLf = loneLf;
            ReportError();
            return true;
        }
        // No terminator: a text that already exceeds the limit (with room for a terminator split across
        // reads) can never become an acceptable line.
        if (data.size() > limit + terminator.size()) {
            LastErrorCode = WSAENOBUFS;
            break;
        }
        scanned = lineMode ? data.size() : data.size() - std::min(data.size(), terminator.size() - 1);

        int32_t wait = timeout;
        if (!InterPacketTimeout && timeout >= 0) {
            const int64_t left = timeout - ElapsedMs(start);
            if (left <= 0) {
                LastErrorCode = WSAETIMEDOUT;
                break;
            }
            wait = static_cast<int32_t>(left);
        }
        std::string chunk = ReadNetworkChunk(wait);
        if (LastErrorCode != 0) break;
        ReadAhead.Append(std::string_view(chunk).substr(TakeLineEndCarry(chunk)));
    }
    ReportError();
    return false;
}

std::string TTCPBlockSocket::ReceiveLine(int32_t timeout) {
    std::string line;
    ReceiveLineInto(line, timeout);
    return line;
}

bool TTCPBlockSocket::ReceiveLineInto(std::string& line, int32_t timeout) {
    return ReceiveUntilInto(line, timeout, "\r\n");
}

} // namespace maildig
