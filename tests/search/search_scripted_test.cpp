// The actions against a scripted POP3 server, for what real servers rarely do (refused commands, cut
// connections, odd listings), and the pipelined walk: the same searches must look exactly the same with
// and without PIPELINING in the CAPA reply.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "search/mailbox.h"
#include "search/message_search.h"
#include "search/script_steps.h"
#include "support/privileges.h"
#include "support/run_program.h"
#include "support/scripted_pop3_server.h"
using namespace maildig;

namespace {

const std::string kNoMatch = "\nNo matching message found. \n\n";

// Port 110 means plain text to the program, so the scripted server listens there on its own address.
ScriptedPop3ServerOptions at(const char* address) {
    ScriptedPop3ServerOptions o;
    o.address = address;
    o.port = 110;
    return o;
}

// The steps of a conversation in tests/data/search/scripted, played after the login.
std::vector<Pop3Step> transcript(const std::string& name) {
    return Pop3Script::Load(std::string(MAILDIG_TEST_DATA) + "/search/scripted/" + name).steps;
}

RunResult run(const char* address, std::vector<std::string> args) {
    args.insert(args.begin(), {"-l", std::string(address) + ",tester,secret"});
    return runMaildig(args);
}

std::vector<std::string> received(ScriptedPop3Server& server) {
    server.WaitDone(5000);
    return server.Received();
}

bool sent(const std::vector<std::string>& lines, const std::string& command) {
    for (const std::string& l : lines)
        if (l == command) return true;
    return false;
}

TEST(ScriptedFind, ErrReplyToTopJudgesAnEmptyMessage) {
    REQUIRE_PORT_110();
    for (bool pipelining : {false, true}) {
        Pop3Script script;
        script.steps = loginSteps({"u1", "u2"}, pipelining);
        append(script, transcript("top_err_then_message.txt"));
        allowTopsAhead(script, 2);
        ScriptedPop3Server server(script, at("127.0.0.31"));
        RunResult r = run("127.0.0.31", {"-r", "all"}); // no criteria: the empty message matches too
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "u1\nu2\n");
        EXPECT_TRUE(server.WaitDone(5000));
        EXPECT_TRUE(server.Ok()) << ::testing::PrintToString(server.Errors());
    }
}

TEST(ScriptedFind, ConnectionCutInsideATopReply) {
    REQUIRE_PORT_110();
    for (bool pipelining : {false, true}) {
        Pop3Script script;
        script.steps = loginSteps({"u1", "u2", "u3"}, pipelining);
        append(script, transcript("top_cut_after_body_line.txt"));
        ScriptedPop3Server server(script, at("127.0.0.32"));
        // Message 1 is judged on what arrived; messages 2 and 3 are not judged at all.
        RunResult r = run("127.0.0.32", {"-r", "all", "found"});
        EXPECT_EQ(r.exitCode, 23) << r.err;
        EXPECT_EQ(r.out, "u1\n");
        EXPECT_EQ(r.err, "\nConnection to the POP server was lost: 2 of 3 messages were not searched.\n\n");
    }
}

std::string message(const std::string& subject, const std::string& body = "text\r\n") {
    return "+OK\r\nSubject: " + subject + "\r\n\r\n" + body + ".\r\n";
}

// Find in process against a server on an ephemeral port with the client's time-out and reply bound scaled
// down. Once the connection is lost (silence, a reply 16 times over the bound) the messages after it are not
// judged: 23 with their count, unless --range first has its match. 2,000,000 lines of "--" (8 MB) are within
// the default bound: judged, and the walk goes on. So are the messages listed beyond what is kept of the
// listing (a bound of 1 byte keeps one line, and the line of a UID asked for).
TEST(ScriptedFind, LostSessionEndsTheWalkWith23) {
    std::string dashes;
    for (int i = 0; i < 2000000; ++i)
        dashes += "--\r\n";
    const Pop3Step t1 = expect("TOP 1 125"), t2 = expect("TOP 2 125"), t3 = expect("TOP 3 125"),
                   silent = Pop3Script::Parse("-- silent").steps.at(0), sx = send(message("x")),
                   sw = send(message("wanted")), huge = send(message("x", dashes)), quit = expect("QUIT");
    struct Case {
        bool pipelining, all;
        size_t bound;
        int code, lost; // lost: messages not searched
        std::string out;
        std::vector<Pop3Step> steps;
        std::size_t listingBound = 256u << 20;
        const char* keepUid = "";
    } cases[] = {
        {true, true, 1 << 20, 23, 2, "u1\n", {t1, t2, t3, sw, silent}},
        {true, false, 1 << 20, 0, 0, "u2\n", {t1, sx, t2, t3, sw, silent}},
        {true, false, 1 << 20, 23, 2, "", {t1, sx, t2, t3, silent}},
        {false, true, 1000, 23, 3, "", {t1, send(message("x", std::string(17000, 'l') + "\r\n"))}},
        {false, true, 64 << 20, 0, 0, "u2\n", {t1, huge, t2, sw, t3, sx, quit}},
        {false, true, 1 << 20, 23, 2, "u1\n", {t1, sw}, 1},
        {false, false, 1 << 20, 0, 0, "u1\n", {t1, sw, quit}, 1, "u3"},
    };
    for (const Case& c : cases) {
        Pop3Script script;
        script.steps = loginSteps({"u1", "u2", "u3"}, c.pipelining);
        append(script, c.steps);
        ScriptedPop3Server server(script);
        TMailbox box;
        box.Pop.TargetPort = server.PortText();
        box.Pop.UserName = "tester";
        box.Pop.Password = "secret";
        box.Pop.Timeout = 300;
        box.Pop.MaxReplyBytes = c.bound;
        box.Listing.MaxBytes = c.listingBound;
        ASSERT_TRUE(box.Pop.OpenSession() && box.Pop.QueryCapabilities() &&
                    getMessageList(box, false, c.keepUid).Ok());
        if (*c.keepUid) {
            EXPECT_EQ(box.Listing.Uid(box.Listing.Size() - 1), c.keepUid);
        }
        ::testing::internal::CaptureStdout();
        const TOutcome outcome = findMessages(box, {"", "", "", "wanted"}, 10, c.all);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.out);
        if (outcome.Ok()) box.Pop.CloseSession();
        EXPECT_EQ(outcome.Code, c.code);
        EXPECT_EQ(outcome.Text, c.lost ? std::to_string(c.lost) + " of 3 messages were not searched." : "");
        EXPECT_EQ(sent(received(server), "QUIT"), c.steps.back().text == "QUIT");
    }
}

// --keep-heads keys a head by UID and size, and cuts it to fewer lines only when every line of its reply
// ended in CR LF (otherwise where the server's lines end is not known). Two runs, the second after changes.
TEST(ScriptedFind, KeptHeadIsTakenOnlyForItsSizeAndLines) {
    REQUIRE_PORT_110();
    const std::string clean = "+OK\r\nSubject: one\r\n\r\na\r\nb\r\n.\r\n";
    struct Case {
        std::string reply;      // the first run's TOP reply
        std::string secondSize; // the size the second run's LIST gives message 1
        std::string secondArgs; // the second run's -m
        bool fetchedAgain;
    } cases[] = {
        {clean, "100", "10", false},
        {clean, "101", "10", true}, // the UID now names other mail
        {clean, "100", "0", false}, // cut to the header
        {"+OK\r\nSubject: one\r\n\r\na\rb\r\n.\r\n", "100", "0", true},
    };
    for (const Case& c : cases) {
        ::setenv("XDG_CACHE_HOME", (std::string(MAILDIG_SCRATCH_DIR) + "/kept-size").c_str(), 1);
        std::filesystem::remove_all(std::string(MAILDIG_SCRATCH_DIR) + "/kept-size");
        Pop3Script script;
        for (const std::string& size : {std::string("100"), c.secondSize}) {
            const bool second = !script.steps.empty();
            if (second) append(script, {Pop3Script::Parse("-- accept").steps.at(0)});
            append(script, loginSteps({"u1"}, false));
            append(script, {expect("LIST"), send("+OK\r\n1 " + size + "\r\n.\r\n")});
            if (!second || c.fetchedAgain)
                append(script, {expect(second ? "TOP 1 " + std::to_string(std::stoi(c.secondArgs) * 1000 / 80)
                                              : "TOP 1 125"),
                                send(second ? clean : c.reply)});
            append(script, {expect("QUIT"), send("+OK\r\n")});
        }
        ScriptedPop3Server server(script, at("127.0.0.102"));
        EXPECT_EQ(run("127.0.0.102", {"--keep-heads", "one"}).out, "u1\n");
        RunResult r = run("127.0.0.102", {"--keep-heads", "-m", c.secondArgs, "one"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "u1\n");
        EXPECT_TRUE(server.WaitDone(5000));
        EXPECT_TRUE(server.Ok()) << c.secondSize << c.secondArgs << ::testing::PrintToString(server.Errors());
    }
}

TEST(ScriptedFind, MailboxSessionFailures) {
    REQUIRE_PORT_110();
    struct Case {
        std::string capa;
        std::string uidl;
        int code;
        std::string err;
    } cases[] = {
        {"+OK\r\nTOP\r\n.\r\n", "", 11, "\nPOP3 Server must support the CAPA and UIDL commands.\n\n"},
        {"+OK\r\nUIDL\r\n.\r\n", "", 15, "\nPOP2 server must support TOP command.\n\n"},
        {"+OK\r\nuidl\r\nTop\r\n.\r\n", "-ERR busy\r\n", 12, "\nUIDL command to POP server failed.\n\n"},
        {"+OK\r\nUIDL \r\nTOP\r\n.\r\n", "", 11,
         "\nPOP3 Server must support the CAPA and UIDL commands.\n\n"},
        {"-ERR\r\n", "", 11, "\nPOP3 Server must support the CAPA and UIDL commands.\n\n"},
        {"+OK\r\nUIDL\r\nTOP\r\n.\r\n", "+OK\r\n1 abc\r\n2 d e\r\n.\r\n", 20,
         "\nPOP UIDL command returned something unexpected: 2 d e\n\n"},
        {"+OK\r\nUIDL\r\nTOP\r\n.\r\n", "+OK\r\n1  abc\r\n.\r\n", 20,
         "\nPOP UIDL command returned something unexpected: 1  abc\n\n"},
        {"+OK\r\nUIDL\r\nTOP\r\n.\r\n", "+OK\r\n17\r\n.\r\n", 20,
         "\nPOP UIDL command returned something unexpected: 17\n\n"},
        // A UID is 1 to 70 characters of 0x21-0x7E; the quoted line shows control bytes escaped.
        {"+OK\r\nUIDL\r\nTOP\r\n.\r\n", "+OK\r\n1 a\x1b]0;x\x07\x7f\r\n.\r\n", 20,
         "\nPOP UIDL command returned something unexpected: 1 a\\x1b]0;x\\x07\\x7f\n\n"},
        {"+OK\r\nUIDL\r\nTOP\r\n.\r\n", "+OK\r\n1 " + std::string(71, 'u') + "\r\n.\r\n", 20,
         "\nPOP UIDL command returned something unexpected: 1 " + std::string(71, 'u') + "\n\n"},
    };
    for (const Case& c : cases) {
        std::vector<Pop3Step> steps = {send("+OK ready\r\n"), expect("CAPA"),  send("+OK\r\n.\r\n"),
                                       expect("USER tester"), send("+OK\r\n"), expect("PASS secret"),
                                       send("+OK\r\n"),       expect("CAPA"),  send(c.capa)};
        if (!c.uidl.empty()) {
            steps.push_back(expect("UIDL"));
            steps.push_back(send(c.uidl));
        }
        Pop3Script script;
        script.steps = steps;
        ScriptedPop3Server server(script, at("127.0.0.33"));
        RunResult r = run("127.0.0.33", {"x"});
        EXPECT_EQ(r.exitCode, c.code) << c.capa << c.uidl;
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(sent(received(server), "QUIT")) << "no QUIT after a failure";
    }
}

// With --verify, a server that lists STLS but refuses it gets nothing more.
TEST(ScriptedFind, RefusedStlsEndsAVerifiedRunBeforeAnyLogin) {
    REQUIRE_PORT_110();
    ScriptedPop3Server server("S: +OK ready\nC: CAPA\nS: +OK\nS: STLS\nS: .\nC: STLS\nS: -ERR not now\n",
                              at("127.0.0.33"));
    RunResult r = run("127.0.0.33", {"--verify", "x"});
    EXPECT_EQ(r.exitCode, 9);
    EXPECT_EQ(r.err, "\nsslDoConnect failed. SSL problem.\nthe server refused STLS: the password was not "
                     "sent in clear\n\n");
    EXPECT_EQ(received(server), (std::vector<std::string>{"CAPA", "STLS"}));
}

TEST(ScriptedDelete, RefusedDeleAndRefusedQuit) {
    REQUIRE_PORT_110();
    const std::string code17 = "\nUnable to delete message from POP server.\n\n";
    {
        Pop3Script script;
        script.steps = loginSteps({"u1", "u2"}, false);
        append(script, transcript("delete_dele_refused.txt"));
        ScriptedPop3Server server(script, at("127.0.0.34"));
        RunResult r = run("127.0.0.34", {"-d", "u2"});
        EXPECT_EQ(r.exitCode, 17);
        EXPECT_EQ(r.err, code17);
        EXPECT_FALSE(sent(received(server), "QUIT"));
    }
    // The server removes a message only when it acknowledges QUIT: a refused QUIT is a failed delete.
    {
        Pop3Script script;
        script.steps = loginSteps({"u1"}, false);
        append(script, transcript("delete_quit_refused.txt"));
        ScriptedPop3Server server(script, at("127.0.0.34"));
        RunResult r = run("127.0.0.34", {"-d", "u1"});
        EXPECT_EQ(r.exitCode, 17);
        EXPECT_EQ(r.err, code17);
    }
    // The same when the connection is lost before the QUIT reply.
    {
        Pop3Script script;
        script.steps = loginSteps({"u1"}, false);
        append(script, transcript("delete_closed_before_quit_reply.txt"));
        ScriptedPop3Server server(script, at("127.0.0.34"));
        RunResult r = run("127.0.0.34", {"-d", "u1"});
        EXPECT_EQ(r.exitCode, 17);
    }
    // View and find ignore the QUIT result.
    {
        Pop3Script script;
        script.steps = loginSteps({"u1"}, false);
        append(script, transcript("view_quit_refused.txt"));
        ScriptedPop3Server server(script, at("127.0.0.34"));
        RunResult r = run("127.0.0.34", {"-v", "u1"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, 21), "From: a@example.com\nT");
    }
}

TEST(ScriptedView, UidDifferingOnlyInCaseIsNotFound) {
    REQUIRE_PORT_110();
    Pop3Script script;
    script.steps = loginSteps({"AbC"}, false);
    ScriptedPop3Server server(script, at("127.0.0.35"));
    RunResult r = run("127.0.0.35", {"-v", "abc"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kNoMatch);
    EXPECT_FALSE(sent(received(server), "TOP 1 125"));
}

// Control characters of the decoded text are escaped only for a terminal; a pipe gets today's bytes.
TEST(ScriptedView, ControlCharactersAreEscapedOnATerminalOnly) {
    REQUIRE_PORT_110();
    struct Case {
        bool terminal;
        std::string out;
    } cases[] = {
        {true, "From: a@example.com\nTo: b@example.com\nSubject: a\\x1b]0;t\\x07b\nDate: \n\n"
               "x\\x1b[2Jy\tz\\xc2\\x9b\\x7f\n"},
        {false, "From: a@example.com\nTo: b@example.com\nSubject: a\x1b]0;t\x07"
                "b\nDate: \n\nx\x1b[2Jy\tz\xc2\x9b\x7f\n"},
    };
    for (const Case& c : cases) {
        Pop3Script script;
        script.steps = loginSteps({"u1"}, false);
        append(script, transcript("view_control_characters.txt"));
        ScriptedPop3Server server(script, at("127.0.0.35"));
        RunOptions options;
        options.stdoutTerminal = c.terminal;
        options.childSetUp = [] { ::setenv("LC_ALL", "C.UTF-8", 1); };
        RunResult r = runMaildig({"-l", "127.0.0.35,tester,secret", "-v", "u1"}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out) << (c.terminal ? "terminal" : "pipe");
    }
}

TEST(ScriptedLogin, PlainTextServerOnAnotherPortFailsTheTlsStart) {
    // Every port but 110 speaks TLS from the first byte: a plain-text server there fails the login at once,
    // whether it answers the TLS hello like an unknown command or greets and then stays silent.
    for (bool answers : {true, false}) {
        ScriptedPop3ServerOptions o;
        o.address = "127.0.0.36";
        Pop3Script script;
        script.steps = {send("+OK plain text here\r\n")};
        if (answers) script.steps.push_back(send("-ERR unknown command\r\n", false, 300));
        ScriptedPop3Server server(script, o);
        RunOptions run;
        run.timeoutSeconds = 30;
        RunResult r = runMaildig({"-l", "127.0.0.36,tester,secret," + server.PortText(), "x"}, run);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 10) << (answers ? "answering" : "silent");
        EXPECT_EQ(r.err, "\nLogin to mailbox failed. Check --login parameters.\n"
                         "Also use --verbose to verify parameters were parsed properly.\n\n");
    }
}

// --oauth --verbose: the server's reason for refusing the token is shown, control characters escaped.
TEST(ScriptedLogin, RefusedTokenReasonIsEscaped) {
    REQUIRE_PORT_110();
    Pop3Script script = Pop3Script::Parse("S: +OK ready\nC: CAPA\nS: +OK\nS: SASL XOAUTH2\nS: .\n");
    append(script, transcript("oauth_refused_with_controls.txt"));
    ScriptedPop3Server server(script, at("127.0.0.123"));
    const RunResult r = runMaildig({"--oauth", "--verbose", "-l", "127.0.0.123,tester,token", "x"});
    EXPECT_NE(r.err.find(
                  "\nAUTH XOAUTH2 refused: {\"status\":\"invalid_token\",\"x\":\"\\x1b]0;t\\x07\"}\n\nLogin"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.exitCode == 10 && server.WaitDone() && server.Ok())
        << ::testing::PrintToString(server.Errors());
}

// What a terminal shows after bytes were written to it: carriage returns go back to the left margin, later
// characters overwrite earlier ones, trailing blanks are invisible.
std::string screenOf(const std::string& bytes) {
    std::vector<std::string> rows(1);
    std::size_t column = 0;
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            rows.emplace_back();
            column = 0;
        } else {
            std::string& row = rows.back();
            if (row.size() <= column) row.resize(column + 1, ' ');
            row[column++] = c;
        }
    }
    std::string screen;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        rows[k].erase(rows[k].find_last_not_of(' ') + 1);
        screen += (k ? "\n" : "") + rows[k];
    }
    return screen;
}

// Runs maildig with standard output and error on a new pseudo-terminal, as in an interactive shell; the
// bytes the terminal received go to shown.
RunResult runOnTerminal(const std::vector<std::string>& args, std::string& shown) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {};
    const std::string pts = ::ptsname(master);
    RunOptions options;
    options.childSetUp = [&pts] {
        int slave = ::open(pts.c_str(), O_RDWR);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
    };
    RunResult r = runMaildig(args, options);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, n);
    ::close(master);
    return r;
}

TEST(ScriptedFind, ProgressLineOnATerminalOnly) {
    // Walks of about two seconds. Through pipes nothing but the results and the message is written; on a
    // terminal one line counts the messages and the matches, and what stays on the screen is the same.
    REQUIRE_PORT_110();
    std::vector<std::string> uids;
    for (int i = 1; i <= 20; ++i)
        uids.push_back("u" + std::to_string(i));
    auto message = [](const std::string& subject) {
        return "+OK\r\nFrom: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
               "\r\n\r\ntext\r\n.\r\n";
    };
    for (const char* search : {"wanted", "absent"}) {
        RunResult piped;
        for (bool terminal : {false, true}) {
            Pop3Script script;
            script.steps = loginSteps(uids, false);
            for (int i = 1; i <= 20; ++i)
                append(script, {expect("TOP " + std::to_string(i) + " 125"),
                                send(message(i % 7 == 0 ? "wanted" : "other"), false, 100)});
            if (search == std::string("wanted")) append(script, {expect("QUIT"), send("+OK bye\r\n")});
            ScriptedPop3Server server(script, at("127.0.0.37"));
            const std::vector<std::string> args = {"-l", "127.0.0.37,tester,secret", "-r", "all", search};
            if (!terminal) {
                piped = runMaildig(args);
                continue;
            }
            std::string shown;
            RunResult r = runOnTerminal(args, shown);
            EXPECT_EQ(r.exitCode, piped.exitCode) << search;
            EXPECT_NE(shown.find("20 messages looked at, "), std::string::npos) << shown;
            EXPECT_EQ(screenOf(shown), screenOf(piped.out + piped.err)) << search;
        }
        EXPECT_EQ(piped.out, search == std::string("wanted") ? "u7\nu14\n" : "");
        EXPECT_EQ(piped.err, search == std::string("wanted") ? "" : kNoMatch);
    }
}

} // namespace
