// Building blocks of the scripted-server conversations used by the search suites: reply and expectation
// steps, and the login and listing every mailbox run starts with.
#pragma once

#include <string>
#include <vector>

#include "support/scripted_pop3_server.h"

inline Pop3Step send(const std::string& text, bool bytewise = false, int delayMs = 0) {
    Pop3Step s;
    s.kind = Pop3Step::Send;
    s.text = text;
    s.bytewise = bytewise;
    s.delayMs = delayMs;
    return s;
}

inline Pop3Step expect(const std::string& line) {
    Pop3Step s;
    s.kind = Pop3Step::Expect;
    s.text = line;
    return s;
}

// Greeting, CAPA (with PIPELINING when asked), USER tester / PASS secret, the program's own CAPA and the UIDL
// listing of the given UIDs (numbered from 1).
inline std::vector<Pop3Step> loginSteps(const std::vector<std::string>& uids, bool pipelining) {
    const std::string capa =
        std::string("+OK\r\nUIDL\r\nTOP\r\nUSER\r\n") + (pipelining ? "PIPELINING\r\n" : "") + ".\r\n";
    std::string listing = "+OK\r\n";
    for (std::size_t i = 0; i < uids.size(); ++i)
        listing += std::to_string(i + 1) + " " + uids[i] + "\r\n";
    listing += ".\r\n";
    return {send("+OK ready\r\n"), expect("CAPA"),  send(capa),
            expect("USER tester"), send("+OK\r\n"), expect("PASS secret"),
            send("+OK\r\n"),       expect("CAPA"),  send(capa),
            expect("UIDL"),        send(listing)};
}

// Appends steps to a script.
inline void append(Pop3Script& script, const std::vector<Pop3Step>& steps) {
    script.steps.insert(script.steps.end(), steps.begin(), steps.end());
}
