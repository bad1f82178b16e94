// Reading and writing the configuration file. A new file is written completely to a private temporary file
// in the same folder and then renamed over the old one, so a failed write never leaves a partial file.
#include "cli/config_file.h"

#include "bytes/split_lines.h"
#include "strutil/strutil.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace maildig {

namespace {

// A real configuration file is a few hundred bytes; anything larger is not one (and a device such as
// /dev/zero must not be read forever).
constexpr std::size_t maxConfigBytes = 64 * 1024;

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes data to a new file next to fname and renames it to fname. False when anything fails; the temporary
// file is then removed and fname is untouched.
bool replaceFile(const std::string& fname, const std::string& data) {
    if (fname.empty()) return false;
    // A short name of its own in the same folder (so that rename replaces atomically): a name derived from
    // fname could exceed the file-name limit when fname itself does not.
    const std::size_t slash = fname.rfind('/');
    std::string temp =
        (slash == std::string::npos ? std::string() : fname.substr(0, slash + 1)) + ".maildig-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC); // created with mode 0600
    if (fd < 0) return false;
    bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), fname.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

// Reads at most limit + 1 bytes of fname. False when the file cannot be opened or read.
bool readFile(const std::string& fname, std::size_t limit, std::string& data) {
    int fd = ::open(fname.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    data.clear();
    char buf[4096];
    bool ok = true;
    while (data.size() <= limit) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

} // namespace

TOutcome writeConfig(const TParams& params) {
    // A token lives an hour and comes from --passcmd: it is never stored.
    const std::string data = str_rot47(params.host) + "\r\n" + str_rot47(params.user) + "\r\n" +
                             str_rot47(params.oauth ? "" : params.pass) + "\r\n" + str_from_int(params.port) +
                             "\r\n";
    if (!replaceFile(params.writeFname, data)) return {19, params.writeFname};
    return {};
}

TOutcome readConfig(TParams& params) {
    std::string data;
    if (!readFile(params.configFname, maxConfigBytes, data)) return {18, params.configFname};
    if (data.size() > maxConfigBytes) return {21, params.configFname};
    std::vector<std::string> lines;
    SplitLines(data, lines);
    if (lines.size() != 4) return {21, params.configFname};
    params.host = str_rot47(lines[0]);
    params.user = str_rot47(lines[1]);
    params.pass = str_rot47(lines[2]);
    params.port = str_to_int(lines[3]);
    return {};
}

} // namespace maildig
