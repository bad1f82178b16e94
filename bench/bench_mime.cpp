// Throughput of body decoding (base64, quoted-printable, charset conversion) and of parsing a
// message with a very long folded header. Figures are bytes of input per second.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "mime/mime_message.h"
#include "mime/mime_part.h"
using namespace maildig;

namespace {

// glibc hands freed blocks of several megabytes back to the kernel and maps them afresh on the next
// allocation, so every round of a 10 MB body would pay page faults that a 1 MB body, served from the
// heap, does not. Keeping freed memory in the heap measures the decoding itself at both sizes
// (blocks above 32 MB are still mapped per allocation).
const bool kSteadyHeap = [] {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return true;
}();

enum class Body { Base64, QuotedPrintable, Latin2 };

// A text part of about `size` bytes of body lines in the given coding.
Lines MakePart(Body kind, std::size_t size) {
    Lines lines;
    switch (kind) {
    case Body::Base64:
        lines = {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: base64", ""};
        break;
    case Body::QuotedPrintable:
        lines = {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: quoted-printable",
                 ""};
        break;
    case Body::Latin2:
        lines = {"Content-Type: text/plain; charset=iso-8859-2", "Content-Transfer-Encoding: 8bit", ""};
        break;
    }
    std::size_t total = 0;
    while (total < size) {
        std::string line;
        switch (kind) {
        case Body::Base64:
            line = "UMWZw61sacWhIMW+bHXFpW91xI1rw70ga8WvxYggw7pwxJtsIMSPw6FiZWxza8OpIMOzZHkuIFDF";
            break;
        case Body::QuotedPrintable:
            line = "P=C5=99=C3=ADli=C5=A1 =C5=BElu=C5=A5ou=C4=8Dk=C3=BD k=C5=AF=C5=88 =C3=BAp=C4=9Bl =";
            break;
        case Body::Latin2:
            line = "P\xF8\xEDli\xB9 \xBElu\xBBou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1\x62\x65lsk\xE9 "
                   "\xF3\x64y. abc";
            break;
        }
        total += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

void DecodeBodyBench(benchmark::State& state, Body kind) {
    const auto size = static_cast<std::size_t>(state.range(0));
    TMimePart part;
    part.Lines = MakePart(kind, size);
    part.SplitParts();
    part.TargetCharset = UTF_8;
    std::size_t bytes = 0;
    for (const std::string_view line : part.PartBody)
        bytes += line.size() + 2;
    for (auto _ : state) {
        part.DecodeBody();
        benchmark::DoNotOptimize(part.DecodedLines.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_DecodeBodyBase64(benchmark::State& state) {
    DecodeBodyBench(state, Body::Base64);
}
void BM_DecodeBodyQuotedPrintable(benchmark::State& state) {
    DecodeBodyBench(state, Body::QuotedPrintable);
}
void BM_DecodeBodyLatin2ToUtf8(benchmark::State& state) {
    DecodeBodyBench(state, Body::Latin2);
}

constexpr int64_t KB100 = 100 << 10;
constexpr int64_t MB1 = 1 << 20;
constexpr int64_t MB10 = 10 << 20;

BENCHMARK(BM_DecodeBodyBase64)->Arg(KB100)->Arg(MB1)->Arg(MB10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBodyQuotedPrintable)->Arg(KB100)->Arg(MB1)->Arg(MB10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBodyLatin2ToUtf8)->Arg(KB100)->Arg(MB1)->Arg(MB10)->Unit(benchmark::kMillisecond);

// A message whose Subject header is folded over continuation lines to the given size, with encoded
// words and plain words mixed, followed by a short body.
void BM_ParseMessageFoldedHeader(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Lines lines = {"From: a@example.org", "Subject: =?UTF-8?Q?D=C3=A9but?="};
    std::size_t bytes = 0;
    for (int k = 0; bytes < size; ++k) {
        lines.push_back(k % 2 ? "\tplain words of a long subject" : " =?ISO-8859-2?Q?=C8esk=E9_slovo?=");
        bytes += lines.back().size() + 2;
    }
    lines.push_back("Content-Type: text/plain");
    lines.push_back("");
    lines.push_back("body");
    TMimeMess mess;
    mess.Header().CharsetCode = UTF_8;
    for (auto _ : state) {
        mess.Lines() = lines;
        mess.ParseMessage();
        benchmark::DoNotOptimize(mess.Header().Subject.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_ParseMessageFoldedHeader)->Arg(MB1)->Unit(benchmark::kMillisecond);

} // namespace
