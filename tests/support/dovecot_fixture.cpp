#include "support/dovecot_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "support/privileges.h"
#include "support/run_program.h"

namespace {

// The full path of program found on PATH (and in the sbin folders, which a non-login PATH may lack).
std::string FindProgram(const std::string& program) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/sbin:/bin";
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string Script() {
    return std::string(MAILDIG_SOURCE_DIR) + "/tools/dovecot_instance.py";
}

} // namespace

std::string DovecotInstance::Unavailable() {
    if (!RunningAsRoot())
        return "Dovecot tests skipped: they need root (to bind port 110 and to run a private Dovecot "
               "instance)";
    for (const char* program : {"dovecot", "python3", "openssl"})
        if (FindProgram(program).empty())
            return std::string("Dovecot tests skipped: the program ") + program +
                   " is not installed (tools/setup.sh installs it)";
    return {};
}

DovecotInstance::DovecotInstance(DovecotOptions options) : options_(std::move(options)) {
    if (options_.name.empty()) options_.name = "dovecot-" + options_.address;
    dir_ = std::string(MAILDIG_SCRATCH_DIR) + "/" + options_.name;
    if (!options_.mbox.empty() && options_.mbox[0] != '/')
        options_.mbox = std::string(MAILDIG_TEST_DATA) + "/" + options_.mbox;
}

DovecotInstance::~DovecotInstance() {
    Stop();
}

bool DovecotInstance::Start() {
    std::string python = FindProgram("python3");
    std::vector<std::string> args = {Script(),       "start",
                                     "--dir",        dir_,
                                     "--address",    options_.address,
                                     "--plain-port", std::to_string(options_.plainPort),
                                     "--tls-port",   std::to_string(options_.tlsPort),
                                     "--stls",       options_.stls ? "yes" : "no",
                                     "--apop",       options_.apop ? "yes" : "no",
                                     "--user",       options_.user,
                                     "--password",   options_.password,
                                     "--mbox",       options_.mbox};
    if (!options_.cert.empty()) args.insert(args.end(), {"--cert", options_.cert, "--key", options_.key});
    RunResult r = runProgram(python, args);
    running_ = r.exitCode == 0;
    if (!running_) {
        error_ = "could not start Dovecot on " + options_.address + " (exit code " +
                 std::to_string(r.exitCode) + "): " + r.err + r.out;
        // Whatever got started is stopped again.
        runProgram(python, {Script(), "stop", "--dir", dir_});
    }
    return running_;
}

void DovecotInstance::Stop() {
    if (!running_) return;
    runProgram(FindProgram("python3"), {Script(), "stop", "--dir", dir_});
    running_ = false;
}

std::string DovecotInstance::Log() const {
    std::ifstream file(dir_ + "/dovecot.log", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string DovecotInstance::InboxPath() const {
    return dir_ + "/mail/" + options_.user + "/inbox";
}
