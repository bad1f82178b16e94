// The bytes a socket has received but no read has consumed yet.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace maildig {

// Received bytes not yet consumed by a read. Kept as a buffer with a read position, so taking a line off
// the front never copies the rest.
class TReadAhead {
  public:
    bool empty() const { return pos_ == buf_.size(); }
    size_t size() const { return buf_.size() - pos_; }
    void clear() {
        buf_.clear();
        pos_ = 0;
    }
    std::string_view view() const { return std::string_view(buf_).substr(pos_); }
    std::string str() const { return std::string(view()); }

    // Used by the socket's reads.
    void Append(std::string_view data);
    void Consume(size_t n); // drops n bytes from the front
    std::string Take();     // the whole content; the buffer becomes empty
    // The first n bytes into front (its buffer reused), then drops `skip` more (a line and its terminator).
    // A line that is most of the buffer takes the buffer itself, and only the rest is copied, so a huge line
    // is never held twice.
    void TakeFront(std::string& front, size_t n, size_t skip);

  private:
    static constexpr size_t kStealAtLeast = 64 * 1024; // shorter lines are copied: cheaper than a new buffer
    std::string buf_;
    size_t pos_ = 0;
};

} // namespace maildig
