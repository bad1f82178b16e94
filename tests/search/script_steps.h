// Building blocks of the scripted-server conversations used by the search suites: reply and expectation
// steps, and the login and listing every mailbox run starts with.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "pop3/pop3_send.h"
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

// For a pipelined find over `messages` messages: the TOP commands it sends ahead of the listing for numbers
// beyond them, each optional and answered with -ERR, put before the script's last QUIT.
inline void allowTopsAhead(Pop3Script& script, std::size_t messages, int lines = 125) {
    std::vector<Pop3Step> extra;
    for (std::size_t n = messages + 1; n <= maildig::TPOP3Send::kFirstWindow; ++n) {
        extra.push_back(expect("TOP " + std::to_string(n) + " " + std::to_string(lines)));
        extra.back().optional = true;
        extra.push_back(send("-ERR no such message\r\n"));
    }
    auto quit = std::find_if(script.steps.rbegin(), script.steps.rend(), [](const Pop3Step& s) {
        return s.kind == Pop3Step::Expect && s.text == "QUIT";
    });
    script.steps.insert(quit == script.steps.rend() ? script.steps.end() : std::prev(quit.base()),
                        extra.begin(), extra.end());
}
