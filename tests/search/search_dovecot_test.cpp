// The find, view and delete actions end to end: the built program against private Dovecot instances on
// loopback, over each way in (plain text on port 110, the STLS upgrade, TLS from the first byte, APOP).
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/dovecot_fixture.h"
#include "support/run_program.h"
#include "support/whole_suite.h"

namespace {

// The test mailbox, in listing order (its messages carry their UIDs in X-UIDL headers).
const char* const kAllUids[] = {"msg-invoice",        "msg-lunch",       "msg-meeting",
                                "msg-photo",          "msg-alternative", "msg-attachment-first",
                                "msg-base64",         "msg-qp",          "msg-encoded-subjects",
                                "msg-latin1-subject", "msg-koi8-body",   "msg-long",
                                "msg-view",           "msg-case",        "msg-korean-qp",
                                "msg-korean-8bit",    "msg-macgreek"};

std::string joinLines(std::initializer_list<std::string> lines) {
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

std::string allUidsExcept(std::initializer_list<std::string> skip) {
    std::string out;
    for (const char* uid : kAllUids) {
        bool skipped = false;
        for (const std::string& s : skip)
            skipped = skipped || s == uid;
        if (!skipped) out += std::string(uid) + "\n";
    }
    return out;
}

const std::string kNoMatch = "\nNo matching message found. \n\n";

struct Way {
    const char* name;
    std::string login; // --login value
};

// Options of one test instance; the plain-text listener is always on port 110.
DovecotOptions instance(const char* address, int tlsPort, bool stls, bool apop, const char* mbox) {
    DovecotOptions o;
    o.address = address;
    o.plainPort = 110;
    o.tlsPort = tlsPort;
    o.stls = stls;
    o.apop = apop;
    o.mbox = mbox;
    return o;
}

const std::string kCerts = std::string(MAILDIG_SCRATCH_DIR) + "/certs/";

// A private CA, and the servers' certificates: signed by it for mail.example.com and 127.0.0.61 (good) and
// for mail2.example.com (expired), and for mail3.example.com by itself (self).
const char* const kMakeCertificates = R"(set -e; cd "$0"
key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
openssl req -x509 $key -keyout ca.key -out ca.pem -days 30 -subj /CN=ca
openssl req -x509 $key -keyout self.key -out self.pem -days 30 -subj /CN=s -addext subjectAltName=DNS:mail3.example.com
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=index\nnew_certs_dir=.\nserial=serial\npolicy=p\ndefault_md=sha256
copy_extensions=copy\n[p]\ncommonName=supplied\n' >ca.cnf; : >index; echo 01 >serial
openssl req $key -keyout good.key -out good.csr -subj /CN=good -addext subjectAltName=DNS:mail.example.com,IP:127.0.0.61
openssl req $key -keyout expired.key -out expired.csr -subj /CN=expired -addext subjectAltName=DNS:mail2.example.com
ca="openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key"
$ca -in good.csr -out good.pem -days 30
$ca -in expired.csr -out expired.pem -startdate 20200101000000Z -enddate 20200102000000Z)";

const std::string kLongToken = "eyJ" + std::string(1800, 'A') + ".x-y_z~w+v/u=";

// The servers of the suite, started once, the last three with certificates of a private CA (for
// mail.example.com and 127.0.0.61; expired) and of their own.
class Servers : public ::testing::Environment {
  public:
    void SetUp() override {
        unavailable = DovecotInstance::Unavailable();
        if (!unavailable.empty()) return;
        plain = start(instance("127.0.0.51", 0, false, false, "search/mailbox.mbox"));
        stls = start(instance("127.0.0.52", 995, true, false, "search/mailbox.mbox"));
        apop = start(instance("127.0.0.53", 0, false, true, "search/mailbox.mbox"));
        std::filesystem::create_directories(kCerts);
        std::ofstream(kCerts + "hosts") << "127.0.0.61 mail.example.com other.example.com\n"
                                           "127.0.0.62 mail2.example.com\n127.0.0.63 mail3.example.com\n"
                                           "127.0.0.53 plain.example.com\n";
        if (runProgram("/bin/sh", {"-c", kMakeCertificates, kCerts}).exitCode != 0)
            failure += "openssl could not make the test certificates\n";
        for (const char* name : {"good", "expired", "self"}) {
            DovecotOptions o = instance("", 995, true, false, "search/mailbox.mbox");
            o.address = "127.0.0." + std::to_string(61 + verified.size());
            o.cert = kCerts + name + ".pem", o.key = kCerts + name + ".key";
            verified.push_back(start(o));
        }
        // Dovecot's token mechanisms, both and XOAUTH2 alone; kLongToken is the size of Microsoft's tokens.
        for (const char* mechanisms : {"oauthbearer xoauth2", "xoauth2"}) {
            DovecotOptions o = instance("", 995, true, false, "search/mailbox.mbox");
            o.address = "127.0.0." + std::to_string(121 + oauth.size());
            o.oauth = mechanisms, o.tokens = {"token-1", kLongToken};
            oauth.push_back(start(o));
        }
    }
    void TearDown() override {
        // An instance takes about a second to stop: all at once (those that were started).
        std::vector<std::thread> stopping;
        for (DovecotInstance* s : all)
            stopping.emplace_back([s] { s->Stop(); });
        for (std::thread& t : stopping)
            t.join();
    }

    std::unique_ptr<DovecotInstance> start(DovecotOptions options) {
        auto instance = std::make_unique<DovecotInstance>(options);
        if (!instance->Start()) failure += options.address + ": " + instance->Error() + "\n";
        all.push_back(instance.get());
        return instance;
    }

    std::string unavailable;
    std::string failure;
    std::unique_ptr<DovecotInstance> plain, stls, apop;
    std::vector<std::unique_ptr<DovecotInstance>> verified, oauth;
    std::vector<DovecotInstance*> all;
};

Servers* servers = nullptr;

class FindOverDovecot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!servers->unavailable.empty()) GTEST_SKIP() << servers->unavailable;
        ASSERT_TRUE(servers->failure.empty()) << servers->failure;
    }
};

struct FindCase {
    std::vector<std::string> args;
    std::string out;
    int code;
};

// Searches over the test mailbox: criteria, case folding, the first text leaf, decoded bodies, charsets,
// the line limit of --maxsize and the range.
const FindCase kFindCases[] = {
    {{}, "msg-invoice\n", 0},
    {{"--range", "all"}, allUidsExcept({}), 0},
    {{"-f", "BOB", "--range=all"}, "msg-invoice\n", 0},
    {{"-t", "alfred", "-r", "all"}, allUidsExcept({"msg-meeting"}), 0},          // Cc is not searched
    {{"-t", "doe, john", "-r", "all"}, joinLines({"msg-lunch", "msg-view"}), 0}, // quoted comma kept
    {{"crackers", "-r", "all"}, joinLines({"msg-lunch", "msg-meeting"}), 0},
    {{"crackers"}, "msg-lunch\n", 0},
    {{"noon?\nI will", "-r", "all"}, "", 1}, // a search string never spans a line end
    {{"crackers", "-t", "alfred", "-r", "all"}, "msg-lunch\n", 0},
    {{"-s", "LUNCH", "-f", "carol"}, "msg-lunch\n", 0},
    {{"-s", "lunch", "-f", "bob"}, "", 1},
    {{"zebra"}, "msg-photo\n", 0}, // subject only, no text part
    {{"plainword"}, "msg-alternative\n", 0},
    {{"htmlonlyword"}, "", 1},                          // the HTML alternative is not searched
    {{"afterattachment"}, "msg-attachment-first\n", 0}, // text leaf after an attachment
    {{"base64secret"}, "msg-base64\n", 0},
    {{"qpsecret"}, "msg-qp\n", 0},
    {{"caf\xC3\xA9", "-r", "all"}, joinLines({"msg-qp", "msg-latin1-subject"}), 0},
    {{"gr\xC3\xBC\xC3\x9F"
      "e aus k\xC3\xB6ln"},
     "msg-encoded-subjects\n",
     0},
    {{"-f", "j\xC3\xBCrgen"}, "msg-encoded-subjects\n", 0},
    {{"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"}, "msg-koi8-body\n", 0}, // KOI8-R subject
    {{"\xD0\xBC\xD0\xBE\xD0\xBB\xD0\xBE\xD0\xBA\xD0\xBE"}, "msg-koi8-body\n", 0}, // KOI8-R body
    {{"deepword"}, "", 1},                                                        // line 150 > 125
    {{"deepword", "-m", "100"}, "msg-long\n", 0},
    {{"payment", "-m", "0"}, "", 1},
    {{"invoice", "-m", "0"}, "msg-invoice\n", 0},
    {{"\xC3\xA4rger"}, "", 1}, // ASCII-only folding: Ä does not fold to ä
    {{"\xC3\x84RGER"}, "msg-case\n", 0},
    {{"mixedCASE"}, "msg-case\n", 0},
    {{"nowhere-to-be-found", "-r", "all"}, "", 1},
    // Korean mail labelled ks_c_5601-1987 is CP949: the subject, a quoted-printable and an 8-bit body.
    {{"\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94"}, "msg-korean-qp\n", 0},
    {{"\xEC\x9D\xBC\xEC\xA0\x95", "-r", "all"}, joinLines({"msg-korean-qp", "msg-korean-8bit"}), 0},
    {{"\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1"}, "msg-macgreek\n", 0},
};

std::vector<std::string> withLogin(const std::string& login, const std::vector<std::string>& args) {
    std::vector<std::string> all{"-l", login};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

void expectFindCases(const std::string& login) {
    for (const FindCase& c : kFindCases) {
        RunResult r = runMaildig(withLogin(login, c.args));
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        EXPECT_EQ(r.exitCode, c.code) << shown << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, c.code == 1 ? kNoMatch : "") << shown;
    }
}

TEST_F(FindOverDovecot, PlainTextOnPort110) {
    expectFindCases("127.0.0.51,tester,secret");
}

TEST_F(FindOverDovecot, StlsUpgradeOnPort110) {
    expectFindCases("127.0.0.52,tester,secret,110");
}

TEST_F(FindOverDovecot, TlsFromTheFirstByteOnPort995) {
    expectFindCases("127.0.0.52,tester,secret,995");
}

TEST_F(FindOverDovecot, ApopLogin) {
    expectFindCases("127.0.0.53,tester,secret");
}

TEST_F(FindOverDovecot, VerboseLinesOfAWalk) {
    RunResult r = runMaildig({"-l", "127.0.0.51,tester,secret", "--verbose", "-m", "1", "zebra"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "msg-photo\n");
    const std::string expectedTail = "Opening mailbox...\n"
                                     "Getting list of messages on server...\n"
                                     "Searching messages for match...\n"
                                     "Processing msg 1 (msg-invoice): \n"
                                     "  from:       Bob Smith <bob@example.com>\n"
                                     "  to:         alfred@example.org\n"
                                     "  subject:    Quarterly invoice\n";
    EXPECT_NE(r.err.find(expectedTail), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Processing msg 4 (msg-photo): \n"
                         "  from:       Gina <gina@example.com>\n"
                         "  to:         alfred@example.org\n"
                         "  subject:    Holiday photo zebra\n"
                         "  MATCH FOUND.\n"),
              std::string::npos)
        << r.err;
    // A message without text part is reported as such when the body has to be searched.
    RunResult r2 = runMaildig({"-l", "127.0.0.51,tester,secret", "--verbose", "-f", "gina", "nothing"});
    EXPECT_EQ(r2.exitCode, 1);
    EXPECT_NE(r2.err.find("  subject:    Holiday photo zebra\n  This msg has no Mime message part.\n"),
              std::string::npos)
        << r2.err;
}

// Dovecot lists PIPELINING, so both ranges walk pipelined. --range first must show exactly the --range all
// walk up to its first match (the match in the first, a middle or the last message, or nowhere), with and
// without
// --verbose; the verbose dump of the parameters before the walk differs only in the range.
TEST_F(FindOverDovecot, RangeFirstIsTheWalkUpToTheFirstMatch) {
    const std::vector<std::vector<std::string>> searches = {{}, {"zebra"}, {"mixedCASE"}, {"nowhere"}};
    const std::string walkStart = "Searching messages for match...\n", match = "  MATCH FOUND.\n";
    for (const auto& search : searches)
        for (bool verbose : {false, true}) {
            std::vector<std::string> args = search;
            if (verbose) args.push_back("--verbose");
            const std::string shown = ::testing::PrintToString(args);
            args.insert(args.end(), {"-r", "all"});
            RunResult all = runMaildig(withLogin("127.0.0.51,tester,secret", args));
            args.back() = "first";
            RunResult first = runMaildig(withLogin("127.0.0.51,tester,secret", args));
            EXPECT_EQ(first.exitCode, all.exitCode) << shown;
            EXPECT_EQ(first.out, all.out.substr(0, all.out.find('\n') + 1)) << shown;
            std::string walk = all.err.substr(std::min(all.err.find(walkStart), all.err.size()));
            if (all.exitCode == 0 && verbose) walk.resize(walk.find(match) + match.size());
            EXPECT_EQ(first.err.substr(std::min(first.err.find(walkStart), first.err.size())), walk) << shown;
        }
}

TEST_F(FindOverDovecot, ViewPrintsHeaderFieldsAndText) {
    RunResult r = runMaildig({"-l", "127.0.0.51,tester,secret", "-v", "msg-view"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "From: Olga Example <olga@example.com>\n"
                     "To: alfred@example.org,\n"
                     "\"Doe, John\" <john@example.org>,\n"
                     "pat@example.net\n"
                     "CC: quinn@example.com,\n"
                     "Rita <rita@example.org>\n"
                     "Subject: Everything included\n"
                     "Date: 02/15/26 16:20:30\n"
                     "ReplyTo: replies@example.com\n"
                     "Xmailer: Example Mailer 2.0\n"
                     "MessageID: view-1@example.com\n"
                     "Organization: Example Org\n"
                     "\n"
                     "First body line.\n"
                     "Second body line.\n");
}

TEST_F(FindOverDovecot, ViewOfMinimalAndTextlessMessages) {
    // No Cc, no optional header; midnight prints the date alone.
    RunResult r = runMaildig({"-l", "127.0.0.51,tester,secret", "-a", "view", "msg-case"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "From: Sam <sam@example.com>\n"
                     "To: alfred@example.org\n"
                     "Subject: \xC3\x84RGER with MixedCase\n"
                     "Date: 02/16/26\n"
                     "\n"
                     "Nothing to see.\n");
    // Only an image: nothing on standard output, exit 0.
    RunResult photo = runMaildig({"-l", "127.0.0.51,tester,secret", "-v", "msg-photo", "--verbose"});
    EXPECT_EQ(photo.exitCode, 0) << photo.err;
    EXPECT_EQ(photo.out, "");
    EXPECT_NE(photo.err.find("Searching messages for matching uid.\n"
                             "  uid:        msg-photo\n"
                             "  from:       Gina <gina@example.com>\n"
                             "  to:         alfred@example.org\n"
                             "  subject:    Holiday photo zebra\n"
                             "\n"
                             "  This msg has no Mime message part.\n"),
              std::string::npos)
        << photo.err;
    // UIDs are compared exactly.
    RunResult upper = runMaildig({"-l", "127.0.0.51,tester,secret", "-v", "MSG-VIEW"});
    EXPECT_EQ(upper.exitCode, 1);
    EXPECT_EQ(upper.out, "");
    EXPECT_EQ(upper.err, kNoMatch);
}

TEST_F(FindOverDovecot, DeleteRemovesTheMessageOnlyThroughQuit) {
    DovecotInstance own(instance("127.0.0.54", 0, false, false, "search/mailbox.mbox"));
    ASSERT_TRUE(own.Start()) << own.Error();
    const std::string login = "127.0.0.54,tester,secret";
    RunResult del = runMaildig({"-l", login, "-d", "msg-lunch"});
    EXPECT_EQ(del.exitCode, 0) << del.err;
    EXPECT_EQ(del.out, "");
    EXPECT_EQ(del.err, "");
    RunResult again = runMaildig({"-l", login, "-d", "msg-lunch"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, kNoMatch);
    RunResult rest = runMaildig({"-l", login, "-r", "all"});
    EXPECT_EQ(rest.out, allUidsExcept({"msg-lunch"}));
    // A run that ends through quit removes nothing.
    RunResult missing = runMaildig({"-l", login, "-a", "delete", "no-such-uid"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(runMaildig({"-l", login, "-r", "all"}).out, allUidsExcept({"msg-lunch"}));
}

// The TOP commands of the instance's last session, from its logout line ("top=N/bytes").
int lastTops(const DovecotInstance& server) {
    const std::string log = server.Log();
    const std::size_t at = log.rfind("top=");
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + 4);
}

// --keep-heads, cold and warm, over a mailbox that changes: the same answers as without it, and TOP only for
// what the store cannot answer. Runs at once share the store; a damaged one is set aside.
TEST_F(FindOverDovecot, KeepHeadsAnswersAsWithoutAndFetchesOnlyWhatItLacks) {
    DovecotInstance own(instance("127.0.0.101", 0, false, false, "search/mailbox.mbox"));
    ASSERT_TRUE(own.Start()) << own.Error();
    const std::string store = std::string(std::getenv("XDG_CACHE_HOME")) + "/maildig";
    std::filesystem::remove_all(store);
    struct Row {
        std::vector<std::string> args;
        int coldTops, warmTops; // TOP commands of the first run with --keep-heads, and of the next
    } rows[] = {
        {{"-r", "all"}, 17, 0},
        {{"crackers"}, 0, 0},                          // message 2 was kept by the row before
        {{"-r", "all", "-m", "0", "--verbose"}, 0, 0}, // cut from the kept heads
        {{"deepword", "-m", "100"}, 1, 0},             // more lines than kept: fetched again
        {{"-v", "msg-view"}, 0, 0},
        {{"-d", "msg-lunch"}, 0, 0},
        {{"-r", "all", "--verbose"}, 0, 0}, // msg-lunch is gone from the listing and the store
        {{"-r", "all", "-f", "new"}, 1, 0}, // after new mail was delivered
    };
    for (const Row& row : rows) {
        const std::string shown = ::testing::PrintToString(row.args);
        if (row.args.back() == "new")
            std::ofstream(own.InboxPath(), std::ios::app)
                << "From new@example.com Mon Mar  2 10:00:00 2026\n"
                << "X-UIDL: msg-new\nFrom: new@example.com\n\nhi\n\n";
        std::vector<std::string> args = withLogin("127.0.0.101,tester,secret", row.args);
        RunResult plain;
        if (row.args[0] != "-d") plain = runMaildig(args);
        args.push_back("--keep-heads");
        RunOptions open;
        open.childSetUp = [] { ::umask(0); };
        for (int tops : {row.coldTops, row.warmTops}) {
            RunResult kept = runMaildig(args, open);
            EXPECT_EQ(lastTops(own), tops) << shown;
            if (row.args[0] == "-d") break;
            EXPECT_EQ(kept.exitCode, plain.exitCode) << shown << kept.err;
            EXPECT_EQ(kept.out, plain.out) << shown;
            // Under --verbose one more line says what came from the store.
            const std::size_t note = kept.err.find("Head cache " + store + "/heads.sqlite: ");
            if (note != std::string::npos) kept.err.erase(note, kept.err.find('\n', note) + 1 - note);
            EXPECT_EQ(kept.err, plain.err) << shown;
        }
    }
    struct stat folder = {}, file = {};
    ASSERT_EQ(::stat(store.c_str(), &folder), 0);
    ASSERT_EQ(::stat((store + "/heads.sqlite").c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);

    const std::vector<std::string> all =
        withLogin("127.0.0.101,tester,secret", {"-r", "all", "--keep-heads"});
    const std::string expected = runMaildig(all).out;
    std::ofstream(store + "/heads.sqlite", std::ios::trunc) << std::string(5000, 'x');
    std::vector<std::string> verbose = all;
    verbose.push_back("--verbose");
    RunResult damaged = runMaildig(verbose);
    EXPECT_EQ(damaged.exitCode, 0);
    EXPECT_EQ(damaged.out, expected);
    EXPECT_NE(damaged.err.find("/heads.sqlite.damaged and made anew\n"), std::string::npos) << damaged.err;
    // Two runs at once on a new store: neither fails nor differs.
    std::filesystem::remove_all(store);
    auto first = std::async(std::launch::async, [&] { return runMaildig(all); });
    RunResult second = runMaildig(all);
    for (const RunResult& r : {first.get(), second}) {
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, expected);
    }
    runMaildig(all);
    EXPECT_EQ(lastTops(own), 0);
}

TEST_F(FindOverDovecot, LoginFailures) {
    const std::string code10 = "\nLogin to mailbox failed. Check --login parameters.\n"
                               "Also use --verbose to verify parameters were parsed properly.\n\n";
    RunResult wrong = runMaildig({"-l", "127.0.0.51,tester,wrong", "x"});
    EXPECT_EQ(wrong.exitCode, 10);
    EXPECT_EQ(wrong.err, code10);
    RunResult closed = runMaildig({"-l", "127.0.0.51,tester,secret,1", "x"});
    EXPECT_EQ(closed.exitCode, 10);
    EXPECT_EQ(closed.err, code10);
}

// Each row: whether the password went out (the login's method in the server's log), the server name the
// server received and the reason of a refusal (code 9), with kCerts/hosts as the machine's /etc/hosts.
TEST_F(FindOverDovecot, VerifyDecidesWhetherThePasswordGoesOut) {
    DovecotInstance* at[] = {servers->verified[0].get(), servers->verified[1].get(),
                             servers->verified[2].get(), servers->apop.get()};
    const std::string ca = "--verify-ca=" + kCerts + "ca.pem", self = "--verify-ca=" + kCerts + "self.pem",
                      no = "certificate verify failed: ";
    const struct {
        int server;
        std::string login, option, method, sni, why;
    } cases[] = {
        {0, "mail.example.com,tester,secret,995", ca, "PLAIN", "mail.example.com", ""},
        {0, "mail.example.com,tester,secret", ca, "PLAIN", "mail.example.com", ""},
        {0, "127.0.0.61,tester,,995", "--passcmd=printf 'secret\\r\\nx'", "PLAIN", "", ""},
        {0, "mail.example.com,tester,secret,995", "--verify", "", "mail.example.com",
         no + "unable to get local issuer certificate (checked: mail.example.com)"},
        {0, "other.example.com,tester,secret,995", ca, "", "other.example.com",
         no + "hostname mismatch (checked: other.example.com)"},
        {1, "mail2.example.com,tester,secret", ca, "", "mail2.example.com",
         no + "certificate has expired (checked: mail2.example.com)"},
        {2, "mail3.example.com,tester,secret,995", "--verify", "", "mail3.example.com",
         no + "self-signed certificate (checked: mail3.example.com)"},
        {2, "mail3.example.com,tester,secret,995", self, "PLAIN", "mail3.example.com", ""},
        {2, "127.0.0.63,tester,secret", self, "", "", no + "IP address mismatch (checked: 127.0.0.63)"},
        {2, "mail3.example.com,tester,secret", "-m10", "PLAIN", "", ""},
        {3, "plain.example.com,tester,secret", "--verify", "", "",
         "the server on port 110 offered no STLS: the password was not sent in clear"},
    };
    RunOptions hosts; // a mount namespace of the run's own, with kCerts/hosts as /etc/hosts
    hosts.childSetUp = [] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount((kCerts + "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(99);
    };
    for (const auto& c : cases) {
        const std::size_t logged = at[c.server]->Log().size();
        const RunResult r = runMaildig({"-l", c.login, c.option, "invoice"}, hosts);
        EXPECT_EQ(r.err, c.why.empty() ? "" : "\nsslDoConnect failed. SSL problem.\n" + c.why + "\n\n")
            << c.login;
        EXPECT_EQ(std::to_string(r.exitCode) + r.out, c.why.empty() ? "0msg-invoice\n" : "9") << c.login;
        std::string log; // the server's lines of this run, once its login process has written them
        for (int i = 0; i < 100 && log.find("pop3-login: ") == std::string::npos; ++i, usleep(30000))
            log = at[c.server]->Log().substr(logged);
        std::string method, sni;
        if (const auto at = log.find("method="); at != std::string::npos)
            method = log.substr(at + 7, log.find(',', at) - at - 7);
        if (const auto at = log.find("sni=<"); at != std::string::npos)
            sni = log.substr(at + 5, log.find('>', at) - at - 5);
        EXPECT_EQ(method + " " + sni, c.method + " " + c.sni) << c.login << log;
    }
}

// --oauth: OAUTHBEARER where listed, else XOAUTH2, else no AUTH; over TLS and STLS an active token opens the
// mailbox, any other is refused with the server's reason under --verbose; the token is never printed.
TEST_F(FindOverDovecot, OAuthTokens) {
    const std::string found = "0msg-invoice\n",
                      none = "No AUTH sent: the server's SASL capability lists neither";
    for (const auto& [address, mech] : {std::pair{"127.0.0.121,tester,", "OAUTHBEARER"},
                                        {"127.0.0.122,tester,", "XOAUTH2"},
                                        {"127.0.0.52,tester,", ""}})
        for (const std::string& token : {std::string("token-1"), kLongToken, std::string("expired-1")})
            for (const char* port : {",995", ",110"}) {
                const RunResult r =
                    runMaildig({"--oauth", "--verbose", "-l", address + token + port, "invoice"});
                const std::string auth = "AUTH " + std::string(mech),
                                  code = token == "expired-1" || !*mech ? "10" : found;
                EXPECT_EQ(std::to_string(r.exitCode) + r.out, code) << address << port;
                const std::string line = !*mech          ? none
                                         : code == found ? "Logged in with " + auth + ".\n"
                                                         : auth + " refused: {\"";
                EXPECT_NE(r.err.find("\nOpening mailbox...\n" + line), std::string::npos) << r.err;
                EXPECT_EQ(r.err.find(token), std::string::npos) << r.err;
            }
    EXPECT_EQ(
        runMaildig({"--oauth", "-l", "127.0.0.121,tester,,995", "--passcmd=echo token-1", "invoice"}).out,
        "msg-invoice\n");
}

TEST_F(FindOverDovecot, EmptyMailboxFindsNothing) {
    DovecotInstance empty(instance("127.0.0.55", 0, false, false, "search/empty.mbox"));
    ASSERT_TRUE(empty.Start()) << empty.Error();
    RunResult r = runMaildig({"-l", "127.0.0.55,tester,secret", "-r", "all"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNoMatch);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Fixed time zone and locale, so that the view's Date line is predictable.
    setenv("TZ", "UTC", 1);
    setenv("LC_ALL", "C", 1);
    setenv("XDG_CACHE_HOME", MAILDIG_SCRATCH_DIR "/xdg-cache", 1); // --keep-heads keeps its heads there
    servers = new Servers;
    ::testing::AddGlobalTestEnvironment(servers);
    return WholeSuiteExitCode(RUN_ALL_TESTS());
}
