// iconv is part of the C library here, so "loading" it only marks it usable; the switch lets tests run the
// built-in converters alone.
#include "mime/charset/iconv_binding.h"

#include <atomic>
#include <cerrno>
#include <mutex>

namespace maildig {

namespace {

std::mutex iconvLock;
bool iconvLoaded = false;
std::atomic<bool> iconvDisabled{false};

// Free room below which a stalled call is answered by growing the output rather than by skipping input:
// no single character needs more than this.
constexpr std::size_t kMinFreeOutput = 32;

} // namespace

bool LoadIconv() {
    if (iconvDisabled.load()) return false;
    std::lock_guard<std::mutex> guard(iconvLock);
    iconvLoaded = true;
    return true;
}

void UnloadIconv() {
    std::lock_guard<std::mutex> guard(iconvLock);
    iconvLoaded = false;
}

void SetIconvDisabled(bool disabled) {
    iconvDisabled.store(disabled);
}

bool IconvDisabled() {
    return iconvDisabled.load();
}

TIconvDescriptor IconvOpen(const std::string& tocode, const std::string& fromcode) {
    if (!LoadIconv()) return kNoIconv;
    return iconv_open(tocode.c_str(), fromcode.c_str());
}

bool IconvConvert(TIconvDescriptor descriptor, std::string_view input, std::string& output,
                  std::size_t inputUnit) {
    output.clear();
    if (descriptor == kNoIconv || !LoadIconv()) return false;
    if (inputUnit == 0) inputUnit = 1;

    // POSIX declares the input pointer non-const; iconv only reads through it.
    char* const inBegin = const_cast<char*>(input.data());
    char* in = inBegin;
    std::size_t inLeft = input.size();
    // Converted in pieces through a fixed buffer and appended, so the output grows to exactly what the
    // conversion produced (however much longer than the input) without zero-filling a size guessed up front.
    output.reserve(input.size());
    char chunk[1 << 16];

    for (;;) {
        char* out = chunk;
        std::size_t outLeft = sizeof chunk;
        const bool flushing = inLeft == 0;
        const std::size_t inBefore = inLeft;
        // With no input left the call flushes the shift state of stateful encodings.
        const std::size_t rc = flushing ? iconv(descriptor, nullptr, nullptr, &out, &outLeft)
                                        : iconv(descriptor, &in, &inLeft, &out, &outLeft);
        const int error = errno;
        // The library's word on what it took and wrote is checked before anything is used: a converter
        // that claims more input than it was given, or output beyond the buffer, is not trusted again for
        // this text.
        if (inLeft > inBefore || outLeft > sizeof chunk || out != chunk + (sizeof chunk - outLeft) ||
            in != inBegin + (input.size() - inLeft)) {
            output.clear();
            return false;
        }
        const std::size_t produced = sizeof chunk - outLeft;
        output.append(chunk, produced);
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            continue; // all input taken: flush next
        }
        if (error == E2BIG || outLeft < kMinFreeOutput)
            continue; // the chunk is full: go on with an empty one
        if (flushing) break;
        const bool progress = inLeft != inBefore || produced != 0;
        if (progress) continue;
        if (error == EILSEQ) {
            // Input the converter cannot take (or a character the target lacks): skip one unit.
            const std::size_t skip = inLeft < inputUnit ? inLeft : inputUnit;
            in += skip;
            inLeft -= skip;
        } else {
            in += inLeft; // EINVAL: an incomplete sequence at the end is dropped
            inLeft = 0;
        }
    }
    return true;
}

void IconvClose(TIconvDescriptor& descriptor) {
    if (descriptor == kNoIconv) return;
    iconv_close(descriptor);
    descriptor = kNoIconv;
}

} // namespace maildig
