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
#include "cli/quit.h"

namespace {

struct TQuitCalled {
    int code;
};

[[noreturn]] void throwQuit(int code) {
    throw TQuitCalled{code};
}

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

void parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    parseCmdLine(static_cast<int>(argv.size() - 1), argv.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    setQuitHandler(throwQuit);
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        if ((data[0] & 1) != 0) {
            const TScratchFiles scratch;
            if (!writeFile(scratchPath("cfg"), rest)) return 0;
            parse({"maildig", "-c", scratchPath("cfg"), "word"});
            // What was read is written back and read again unchanged.
            const TParams first = params;
            params.writeFname = scratchPath("out");
            writeConfig();
            params.configFname = scratchPath("out");
            readConfig();
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
            parse(words);
        }
    } catch (const TQuitCalled&) {
    }
    return 0;
}
