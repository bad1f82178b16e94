// The read-ahead buffer.
#include "net/read_ahead.h"

#include <algorithm>

namespace maildig {

void TReadAhead::Append(std::string_view data) {
    if (data.empty()) return;
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(data);
}

void TReadAhead::Consume(size_t n) {
    pos_ += std::min(n, size());
    if (pos_ == buf_.size()) clear();
}

std::string TReadAhead::Take() {
    std::string result;
    if (pos_ == 0)
        result.swap(buf_);
    else
        result.assign(buf_, pos_, std::string::npos);
    clear();
    return result;
}

void TReadAhead::TakeFront(std::string& front, size_t n, size_t skip) {
    n = std::min(n, size());
    skip = std::min(skip, size() - n);
    const size_t rest = size() - n - skip;
    if (pos_ == 0 && n > rest && n >= kStealAtLeast) {
        std::string remainder(buf_, n + skip, rest);
        front = std::move(buf_);
        front.resize(n);
        // The buffer grew by doubling; a line that keeps up to twice its size alive would be held twice after
        // all.
        if (front.capacity() - n > n / 8) front.shrink_to_fit();
        buf_.swap(remainder);
    } else {
        front.assign(buf_, pos_, n);
        Consume(n + skip);
    }
}

} // namespace maildig
