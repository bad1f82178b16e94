// What the head cache's compression costs to read: the heads of an mbox (header and the first 125 body
// lines, as TOP sends them) compressed one by one with zlib, with zstd, and with zstd and a dictionary
// trained on the first 512 KB of them as the store does; the size against the TOP bytes on the wire, and
// the time to compress and to decompress one head.
//
//   bench_head_codec MBOX [LINES]
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cache/head_codec.h"
using namespace maildig;

namespace {

using Clock = std::chrono::steady_clock;

// Each message's head as the store keeps it (every line followed by LF), and the TOP bytes on the wire.
std::vector<std::string> readHeads(const std::string& path, int lines, std::size_t& wire) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> heads;
    std::string line;
    int body = -1; // body lines so far, -1 in the header
    while (std::getline(in, line)) {
        if (line.rfind("From ", 0) == 0) {
            heads.emplace_back();
            body = -1;
            continue;
        }
        if (heads.empty() || body >= lines) continue;
        if (line.rfind(">From ", 0) == 0) line.erase(0, 1);
        heads.back() += line + "\n";
        wire += line.size() + 2 + (line.rfind(".", 0) == 0 ? 1 : 0);
        if (body >= 0 || line.empty()) ++body;
    }
    return heads;
}

void measure(const char* name, const std::vector<std::string>& heads, std::size_t wire,
             const std::function<std::string(const std::string&)>& compress,
             const std::function<bool(const std::string&, std::size_t, std::string&)>& decompress) {
    std::vector<std::string> packed;
    std::size_t bytes = 0;
    auto start = Clock::now();
    for (const std::string& h : heads) {
        packed.push_back(compress(h));
        bytes += packed.back().size();
    }
    const double compressUs = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::string out;
    double best = 1e300;
    for (int round = 0; round < 5; ++round) { // the best of five rounds
        start = Clock::now();
        for (std::size_t i = 0; i < heads.size(); ++i)
            if (!decompress(packed[i], heads[i].size(), out) || out != heads[i]) {
                std::printf("%s: head %zu does not come back\n", name, i);
                return;
            }
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("  %-26s %6.1f %%  compress %7.1f us  decompress %6.2f us  (%5.0f MB/s of TOP bytes)\n", name,
                100.0 * bytes / wire, compressUs / heads.size(), best / heads.size(), wire / best);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_head_codec MBOX [LINES]\n");
        return 2;
    }
    std::size_t wire = 0;
    const std::vector<std::string> heads = readHeads(argv[1], argc > 2 ? std::atoi(argv[2]) : 125, wire);
    if (heads.empty()) return 1;
    std::printf("%zu heads, %.0f TOP bytes each on average; size against them, time per head:\n",
                heads.size(), double(wire) / heads.size());
    const auto zlibOf = [](int level) {
        return [level](const std::string& h) {
            uLongf n = compressBound(h.size());
            std::string out(n, '\0');
            compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(h.data()),
                      h.size(), level);
            out.resize(n);
            return out;
        };
    };
    const auto unzlib = [](const std::string& data, std::size_t size, std::string& out) {
        out.resize(size);
        uLongf n = size;
        return uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                          reinterpret_cast<const Bytef*>(data.data()), data.size()) == Z_OK &&
               n == size;
    };
    measure("zlib, level 1", heads, wire, zlibOf(1), unzlib);
    measure("zlib, level 6 (default)", heads, wire, zlibOf(6), unzlib);
    for (bool withDictionary : {false, true}) {
        THeadCodec codec;
        if (withDictionary) {
            std::vector<std::string> samples;
            for (std::size_t i = 0, bytes = 0; i < heads.size() && bytes < 512 * 1024;
                 bytes += heads[i++].size())
                samples.push_back(heads[i]);
            codec.SetDictionary(THeadCodec::TrainDictionary(samples, 64 * 1024));
        }
        measure(
            withDictionary ? "zstd 3 + dictionary (store)" : "zstd, level 3", heads, wire,
            [&](const std::string& h) { return codec.Compress(h, withDictionary); },
            [&](const std::string& d, std::size_t size, std::string& out) {
                return codec.Decompress(d, size, withDictionary, out);
            });
    }
    return 0;
}
