// Replays saved inputs through a fuzz target without libFuzzer: every file named on the command line (or
// found in a folder named there) goes to LLVMFuzzerTestOneInput once. Built with the ordinary compiler, so
// the regression inputs run in the normal and the sanitizer test builds.
//   replay_<target> PATH...              replay
//   replay_<target> --slowest PATH...    also name the slowest input and its time
//   replay_<target> --growth FILE        time FILE repeated 1, 2, 4 ... 64 times (how time grows with size)
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Clock = std::chrono::steady_clock;

bool readFile(const std::filesystem::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Microseconds one call takes on bytes.
double timeOne(const std::string& bytes) {
    const auto start = Clock::now();
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

int growth(const std::filesystem::path& path) {
    std::string bytes;
    if (!readFile(path, bytes)) return 1;
    std::string input;
    for (int k = 1; k <= 64; k *= 2) {
        input.clear();
        for (int i = 0; i < k; ++i)
            input += bytes;
        timeOne(input); // warm-up
        std::printf("x%-3d %9zu bytes %12.0f us\n", k, input.size(), timeOne(input));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--growth") == 0) return growth(argv[2]);
    const bool slowest = argc > 1 && std::strcmp(argv[1], "--slowest") == 0;
    std::vector<std::filesystem::path> files;
    for (int i = slowest ? 2 : 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> found;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
                if (entry.is_regular_file()) found.push_back(entry.path());
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(arg);
        }
    }
    int failures = 0;
    double worst = -1;
    std::filesystem::path worstFile;
    std::size_t worstSize = 0;
    for (const auto& file : files) {
        std::string bytes;
        if (!readFile(file, bytes)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            ++failures;
            continue;
        }
        double us = timeOne(bytes);
        // Timed again once warm: the first call of a kind pays for opening converters and the like.
        if (slowest) us = timeOne(bytes);
        if (us > worst) {
            worst = us;
            worstFile = file;
            worstSize = bytes.size();
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    if (slowest && worst >= 0)
        std::printf("slowest: %s (%zu bytes) %.0f us\n", worstFile.c_str(), worstSize, worst);
    return failures == 0 ? 0 : 1;
}
