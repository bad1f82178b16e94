// Fuzz target: the command line and the config file, parsed in process. Input: a mode byte, then either
// the command-line words separated by NUL bytes, or the bytes of a config file named with --config.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/config_file.h"
#include "cli/params.h"
using namespace maildig;

namespace {

const std::string& scratchPath(const char* suffix) {
    static const std::string base = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr ? dir : "/tmp") + "/maildig-fuzz-" + std::to_string(::getpid());
    }();
    static std::string cfg = base + ".cfg", out = base + ".out";
    return suffix[0] == 'c' ? cfg : out;
}

// Removes the scratch files once an input is done with, however parsing ended.
struct TScratchFiles {
    ~TScratchFiles() {
        std::remove(scratchPath("cfg").c_str());
        std::remove(scratchPath("out").c_str());
    }
};

bool writeFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

TOutcome parse(std::vector<std::string> words, TParams& params) {
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parseCmdLine(static_cast<int>(argv.size() - 1), argv.data(), params);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    TParams params;
    if ((data[0] & 1) != 0) {
        const TScratchFiles scratch;
        if (!writeFile(scratchPath("cfg"), rest)) return 0;
        if (!parse({"maildig", "-c", scratchPath("cfg"), "word"}, params).Ok()) return 0;
        // What was read is written back and read again unchanged.
        const TParams first = params;
        params.writeFname = scratchPath("out");
        if (!writeConfig(params).Ok()) return 0;
        params.configFname = scratchPath("out");
        if (!readConfig(params).Ok()) return 0;
        if (params.host != first.host || params.user != first.user || params.pass != first.pass ||
            params.port != first.port)
            std::abort();
    } else {
        std::vector<std::string> words{"maildig"};
        std::size_t start = 0;
        for (std::size_t i = 0; i <= rest.size(); ++i) {
            if (i == rest.size() || rest[i] == '\0') {
                words.push_back(rest.substr(start, i - start));
                start = i + 1;
            }
        }
        parse(words, params);
    }
    return 0;
}
