// The maildig executable seen from outside: exit codes with their exact messages, help, version, the verbose
// dump, and the configuration file written with --write and read with --config.
#include "strutil/strutil.h"
#include "support/privileges.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
using namespace maildig;

namespace fs = std::filesystem;

namespace {

std::string block(const std::string& message) {
    return "\n" + message + "\n\n";
}

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

// A folder of its own for each test, so that tests may run in parallel.
fs::path scratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir =
        fs::path(MAILDIG_SCRATCH_DIR) / "cli" / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string dump(const std::string& searchStr, const std::string& configFname, const std::string& host,
                 const std::string& user, const std::string& pass, int port, const std::string& action,
                 const std::string& from, const std::string& to, const std::string& subject,
                 const std::string& range, const std::string& writeFname, int maxSize) {
    return "\nParsed Paramters:\n"
           "  SearchStr:               " +
           searchStr +
           "\n"
           "  configFname:             " +
           configFname +
           "\n"
           "  host:                    " +
           host +
           "\n"
           "  user:                    " +
           user +
           "\n"
           "  pass:                    " +
           pass +
           "\n"
           "  port:                    " +
           std::to_string(port) +
           "\n"
           "  action:                  " +
           action +
           "\n"
           "  fromaddr:                " +
           from +
           "\n"
           "  toaddr:                  " +
           to +
           "\n"
           "  subject:                 " +
           subject +
           "\n"
           "  range :                  " +
           range +
           "\n"
           "  writeFname:              " +
           writeFname +
           "\n"
           "  verbose:                 TRUE\n"
           "  maxSize                  " +
           std::to_string(maxSize) + "\n\n";
}

const char* const helpLines[] = {
    "",
    "maildig {<searchstr>|<uid>}",
    "    -a | --action  {find | view | delete}",
    "    -c | --config  <fname>",
    "    -d             Same as --action delete",
    "    -f | --from    <str>",
    "    -h | --help",
    "         --keep-heads Keep the heads fetched in ~/.cache/maildig",
    "    -l | --login   <host>,<user>,<pass>[,<port>]",
    "    -m | --maxsize <kb>",
    "         --oauth   Password is an OAuth2 access token (SASL)",
    "         --passcmd <command>  Password: first line the command prints",
    "    -r | --range   {first | all}",
    "    -s | --subject <str>",
    "    -t | --to      <str>",
    "    -v             Same as --action view",
    "         --verbose Enable debugging",
    "         --verify  Verify the server's certificate and name",
    "         --verify-ca <file>   Same, trusting the certificates in <file>",
    "         --version ",
    "    -w | --write   <fname>",
    "",
    "Searches email on a POP server for <searchStr> in subject or body.",
    "If found, returns <uid> (unique identifier) of message. If not found",
    "prints nothing.",
    "",
    "Additional criteria --from, --to, and --subject can be used, further filtering",
    "possible candidate messages.",
    "",
    "All criteria strings are case insensitive.",
    "",
    "--action find is default. view or delete can be used instead on a single <uid>.",
    "",
    "--range first is default and returns only first matching message. All returns",
    "all matching messages.",
    "",
    "--maxsize 10 is default and reads only the first 10K bytes of each message.",
    "This reduces time spent downloading messages with large attachments.",
    "",
    "--keep-heads keeps what is read of each message in a local cache",
    "($XDG_CACHE_HOME/maildig, or ~/.cache/maildig), and later runs with",
    "--keep-heads read it from there instead of the server.",
    "",
    "Typically --login must be supplied. --login and --write will create",
    "config file. Then --config can be used instead of --login.",
    "",
    "Examples:",
    "",
    "maildig -l pop.example.com,someone@example.com,password,995 abc",
    "    Search mbx for msg with \"abc\" in subject or body.",
    "maildig -l pop.example.com,someone@example.com,password,995 --write mail.cfg",
    "    Create config file with login parameters. SECURE this file!",
    "maildig -c mail.cfg -f bob --range all",
    "    Finds all messasges from \"bob\"",
    "maildig -c mail.cfg -f bob -t alfred -s \"big subject\" crackers",
    "    Finds message from bob AND to alfred AND with subject \"big subject\"",
    "    and body with \"crackers\".",
    "maildig -c mail.cfg",
    "    Matches first message found (no criteria)",
    "maildig -c cfg.cfg --range=all",
    "    Matches all messages (no criteria)",
    "",
    "For more information on maildig, go to ",
    "  https://www.example.com/maildig",
    "",
    "You can contact the author at ",
    "   https://www.example.org/author",
    "",
};

std::string helpText() {
    std::string text;
    for (const char* line : helpLines)
        text += std::string(line) + "\n";
    return text;
}

TEST(MaildigHelp, HelpIsTheHelpTextOnStandardOutput) {
    for (const char* option : {"-h", "--help", "--he"}) {
        RunResult r = runMaildig({option});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, helpText()) << option;
        EXPECT_EQ(r.err, "");
    }
}

TEST(MaildigHelp, VersionBlock) {
    RunResult r = runMaildig({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\nmaildig Version 1.0.0. Compiled on 2015/03/05 14:36:26.\n\n");
    EXPECT_EQ(r.err, "");
}

TEST(MaildigHelp, VerboseHelpDumpsTheParametersFirst) {
    RunResult r = runMaildig({"--verbose", "-h", "x", " y "});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, helpText());
    EXPECT_EQ(r.err, dump("x  y", "", "", "", "", 110, "help_action", "", "", "", "range_first", "", 10));
    // The settings beyond the classic ones follow, each only when given; the command is never shown.
    r = runMaildig({"--verbose", "-h", "x  y", "--verify-ca", " ca.pem ", "--passcmd", "pass show mail"});
    std::string expected =
        dump("x  y", "", "", "", "", 110, "help_action", "", "", "", "range_first", "", 10);
    expected.insert(expected.size() - 1,
                    "  verify:                  TRUE\n  verifyCA:                ca.pem\n"
                    "  passCmd:                 (set)\n");
    EXPECT_EQ(r.err, expected);
}

TEST(MaildigExitCodes, ArgumentErrorsEndWithTheirCodeAndMessage) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const std::string login22 = "--login parameters wrong. Use -h for help.";
    const std::string ca = "sslDoConnect failed. SSL problem.\ncannot read the CA file ",
                      enoent = std::strerror(ENOENT), pw = "Password command failed.\nthe command ";
    const Case cases[] = {
        {{}, 22, login22},
        {{"abc"}, 22, login22},
        {{"-l", "h,u"}, 22, login22},
        {{"-l", "a,b,c,d,e"}, 22, login22},
        {{"-l", "h,,p"}, 22, login22},
        {{"-l", "h,u,''"}, 22, login22},
        {{"--version", "-l", "h"}, 22, login22},
        {{"-c", "f.cfg", "-w", "g.cfg"}, 22, login22},
        {{"-h", "-m", "abc"}, 14, "Unable to parse --maxsize subparm: abc"},
        {{"-l", "h,u,p", "--maxsize= 1 2 "}, 14, "Unable to parse --maxsize subparm:  1 2 "},
        {{"-mx"}, 14, "Unable to parse --maxsize subparm: x"},
        {{"-u", "5"}, 4, "parseCmdLine case out of range: u(117)"},
        {{"--help", "-u5"}, 4, "parseCmdLine case out of range: u(117)"},
        {{"-l", "h,u,p,abc"}, 5, "--login port must be numeric."},
        {{"-l", "h,u,p,9 9"}, 5, "--login port must be numeric."},
        {{"--action", "show"}, 6, "Incorrect --action: show"},
        {{"-a", " view"}, 6, "Incorrect --action:  view"},
        {{"-v", "-l", "h,u,p"}, 7, "You must specify a string or UID to find."},
        {{"-d", "-l", "h,u,p", "  "}, 7, "You must specify a string or UID to find."},
        {{"-c", "f.cfg", "-l", "h,u,p"}, 8, "You cannot specify --config and --login together"},
        {{"-v", "-c", "f.cfg", "-l", "h,u,p"}, 7, "You must specify a string or UID to find."},
        {{"-r", "some"}, 16, "Range subparm incorrect: some"},
        {{"--version", "--range=ALLx"}, 16, "Range subparm incorrect: ALLx"},
        {{"-c", "/nonexistent/dir/f.cfg"}, 18, "Unable to access config file /nonexistent/dir/f.cfg"},
        {{"-l", "h,u,p", "-w", "/nonexistent/dir/g.cfg"},
         19,
         "Unable to write config file /nonexistent/dir/g.cfg"},
        // Before any connection: the CA file, then the password command (nothing listens on port 1).
        {{"-l", "h,u,", "x"}, 22, login22},
        {{"-l", "h,u,p", "--verify-ca", ""}, 2, "One of the arguments is missing required subparm. "},
        {{"-l", "h,u,p", "--verify-ca", "/no/ca.pem", "--passcmd", "exit 1", "x"},
         9,
         ca + "/no/ca.pem: " + enoent},
        {{"-l", "127.0.0.1,u,,1", "--passcmd", "echo p; exit 3", "x"}, 24, pw + "ended with exit status 3"},
        {{"-l", "127.0.0.1,u,,1", "--passcmd", "kill -9 $$", "-d", "x"}, 24, pw + "was ended by signal 9"},
        {{"-l", "127.0.0.1,u,,1", "--passcmd", "true", "x"}, 24, pw + "printed no password (exit status 0)"},
    };
    for (const Case& c : cases) {
        RunResult r = runMaildig(c.args);
        std::string shown;
        for (const std::string& a : c.args)
            shown += "[" + a + "]";
        EXPECT_EQ(r.exitCode, c.code) << shown;
        EXPECT_EQ(r.err, block(c.message)) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(MaildigExitCodes, ParserErrorsEndWithCodeTwoAfterTheParsersDiagnostic) {
    const std::vector<std::vector<std::string>> cases = {
        {"-x"},      {"--nosuch"},   {"--ver"},    {"-c"},
        {"--login"}, {"--help=yes"}, {"-h", "-l"}, {"-l", "h,u,p", "-q"},
    };
    const std::string message = block("One of the arguments is missing required subparm. ");
    for (const auto& args : cases) {
        RunResult r = runMaildig(args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        // One diagnostic line of the option parser, naming the program, then the message block.
        ASSERT_GT(r.err.size(), message.size()) << args[0];
        const std::string diagnostic = r.err.substr(0, r.err.size() - message.size());
        EXPECT_EQ(r.err.substr(diagnostic.size()), message) << args[0];
        EXPECT_EQ(diagnostic.rfind(std::string(MAILDIG_EXE) + ": ", 0), 0u) << diagnostic;
        EXPECT_EQ(diagnostic.find('\n'), diagnostic.size() - 1) << diagnostic;
        EXPECT_EQ(r.out, "");
    }
}

TEST(MaildigExitCodes, VerboseAddsTheExitingLineOnlyOnceItWasRead) {
    RunResult r = runMaildig({"--verbose", "-l", "a,b"});
    EXPECT_EQ(r.exitCode, 22);
    EXPECT_EQ(r.err,
              block("--login parameters wrong. Use -h for help.") + "  Exiting with exitcode set to 22\n");

    r = runMaildig({"--verbose", "-x"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.ends_with(block("One of the arguments is missing required subparm. ") +
                                "  Exiting with exitcode set to 2\n"))
        << r.err;

    r = runMaildig({"-x", "--verbose"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.ends_with(block("One of the arguments is missing required subparm. "))) << r.err;

    // The dump comes only after a successful parse.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--verbose", "-x"},
          std::vector<std::string>{"--verbose", "-l", "h,u,p", "-m", "z"}}) {
        r = runMaildig(args);
        EXPECT_EQ(r.err.find("Parsed Paramters:"), std::string::npos) << args.back();
    }
}

TEST(MaildigHelp, OptionsAfterWordsCountEvenUnderPosixlyCorrect) {
    RunOptions options;
    options.childSetUp = [] { ::setenv("POSIXLY_CORRECT", "1", 1); };
    RunResult r = runMaildig({"x", "--verbose", "y", "-h"}, options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, helpText());
    EXPECT_EQ(r.err, dump("x y", "", "", "", "", 110, "help_action", "", "", "", "range_first", "", 10));
}

TEST(MaildigExitCodes, MailboxActionWithoutAReachableServerFails) {
    // Port 1 on loopback: nobody listens there.
    RunResult r = runMaildig({"-l", "127.0.0.1,u,p,1", "abc"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST(MaildigConfig, WriteThenConfigRoundTripsTheLogin) {
    fs::path dir = scratchDir();
    const std::string cfg = (dir / "mail.cfg").string();
    RunResult w =
        runMaildig({"-l", "127.0.0.1, some one@example.com ,'p,a ss~',1", "--write", " " + cfg + " "});
    EXPECT_EQ(w.exitCode, 0) << w.err;
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(w.err, "");
    EXPECT_EQ(readBytes(cfg), "`af]_]_]`\r\nD@>6 @?6o6I2>A=6]4@>\r\nA[2 DDO\r\n1\r\n");
    struct stat st = {};
    ASSERT_EQ(::stat(cfg.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "temporary file left";

    RunResult r = runMaildig({"-c", cfg, "--verbose", "-f", "bob", "-r", "all", "-m", "20", "abc"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    const std::string expected = dump("abc", cfg, "127.0.0.1", "some one@example.com", "p,a ss~", 1,
                                      "find_action", "bob", "", "", "range_all", "", 20);
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
}

TEST(MaildigConfig, WriteReplacesAnOldFileWithAPrivateOne) {
    fs::path dir = scratchDir();
    fs::path cfg = dir / "old.cfg";
    writeBytes(cfg, "old contents that are much longer than the new ones\n");
    fs::permissions(cfg, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read);
    RunResult r = runMaildig({"--verbose", "-w", cfg.string(), "-l", "h,u,p", "-s", "x y", "-t", "to"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dump("", "", "h", "u", "p", 110, "write_action", "", "to", "x y", "range_first",
                          cfg.string(), 10));
    EXPECT_EQ(readBytes(cfg), "9\r\nF\r\nA\r\n110\r\n");
    EXPECT_EQ(fs::status(cfg).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(MaildigConfig, WriteAcceptsEveryValidFileName) {
    fs::path dir = scratchDir();
    fs::create_directory(dir / "sub");
    const std::string longest(255, 'c'); // the longest name a folder entry may have
    struct Case {
        std::string argument; // as given to -w, relative to dir
        fs::path written;     // the file that must hold the login
    };
    const Case cases[] = {
        {"plain.cfg", dir / "plain.cfg"},
        {longest, dir / longest},
        {"sub/" + longest, dir / "sub" / longest},
        {"name with blanks.cfg", dir / "name with blanks.cfg"},
    };
    RunOptions inDir;
    inDir.workDir = dir.string();
    for (const Case& c : cases) {
        RunResult r = runMaildig({"-l", "h,u,p,995", "-w", c.argument}, inDir);
        EXPECT_EQ(r.exitCode, 0) << c.argument;
        EXPECT_EQ(r.err, "") << c.argument;
        EXPECT_EQ(readBytes(c.written), "9\r\nF\r\nA\r\n995\r\n") << c.argument;
    }
    std::size_t entries = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        entries += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, std::size(cases)) << "temporary file left";
}

TEST(MaildigConfig, WriteNeverRunsThePasswordCommand) {
    const fs::path cfg = scratchDir() / "w.cfg";
    RunResult r =
        runMaildig({"-l", "h,u,,995", "--passcmd", "touch " + cfg.string() + ".ran", "-w", cfg.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(cfg), "9\r\nF\r\n\r\n995\r\n");
    EXPECT_FALSE(fs::exists(cfg.string() + ".ran"));
    // Nor a token: with --oauth the password field stays empty.
    EXPECT_EQ(runMaildig({"-l", "h,u,tok,995", "--oauth", "-w", cfg.string()}).exitCode, 0);
    EXPECT_EQ(readBytes(cfg), "9\r\nF\r\n\r\n995\r\n");
}

TEST(MaildigConfig, FailedWriteLeavesNoFileBehind) {
    fs::path dir = scratchDir();
    fs::create_directory(dir / "taken");
    writeBytes(dir / "taken" / "inside", "x");
    const std::string target = (dir / "taken").string();
    RunResult r = runMaildig({"-l", "h,u,p", "-w", target});
    EXPECT_EQ(r.exitCode, 19);
    EXPECT_EQ(r.err, block("Unable to write config file " + target));
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "temporary file left";
}

TEST(MaildigConfig, FailedWriteKeepsTheOldFile) {
    if (RunningAsRoot())
        GTEST_SKIP() << "running as root: a read-only folder does not stop root from writing";
    fs::path dir = scratchDir();
    fs::path cfg = dir / "keep.cfg";
    writeBytes(cfg, "old\r\n");
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    RunResult r = runMaildig({"-l", "h,u,p", "-w", cfg.string()});
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(r.exitCode, 19);
    EXPECT_EQ(r.err, block("Unable to write config file " + cfg.string()));
    EXPECT_EQ(readBytes(cfg), "old\r\n");
}

TEST(MaildigConfig, WriteCutShortKeepsTheOldFile) {
    fs::path dir = scratchDir();
    fs::path cfg = dir / "keep.cfg";
    writeBytes(cfg, "old\r\n");
    // A file-size limit of 8 bytes lets the new file's first write through in part and fails the rest.
    RunOptions options;
    options.childSetUp = [] {
        rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
    };
    RunResult r = runMaildig({"-l", "pop.example.com,user,password", "-w", cfg.string()}, options);
    EXPECT_EQ(r.exitCode, 19);
    EXPECT_EQ(r.err, block("Unable to write config file " + cfg.string()));
    EXPECT_EQ(readBytes(cfg), "old\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "temporary file left";
}

TEST(MaildigConfig, ReaderAcceptsExactlyFourLinesWithAnyLineBreak) {
    fs::path dir = scratchDir();
    struct Case {
        std::string name, bytes;
        bool accepted;
    };
    const Case cases[] = {
        {"crlf.cfg", "9\r\nF\r\nA\r\n995\r\n", true},
        {"lf.cfg", "9\nF\nA\n995\n", true},
        {"cr.cfg", "9\rF\rA\r995\r", true},
        {"mixed.cfg", "9\r\nF\nA\r995", true},
        {"three.cfg", "9\r\nF\r\nA\r\n", false},
        {"five.cfg", "9\r\nF\r\nA\r\n995\r\nx\r\n", false},
        {"extra-break.cfg", "9\r\nF\r\nA\r\n995\r\n\r\n", false},
        {"lf-cr.cfg", "9\n\rF\nA\n995\n", false},
        {"empty.cfg", "", false},
        {"huge.cfg", std::string(1 << 20, 'x') + "\n\n\n", false},
    };
    for (const Case& c : cases) {
        const std::string cfg = (dir / c.name).string();
        writeBytes(cfg, c.bytes);
        RunResult r = runMaildig({"-c", cfg, "--verbose", "-d", "uid1"});
        if (c.accepted) {
            const std::string expected =
                dump("uid1", cfg, "h", "u", "p", 995, "delete_action", "", "", "", "range_first", "", 10);
            EXPECT_EQ(r.err.substr(0, expected.size()), expected) << c.name;
        } else {
            EXPECT_EQ(r.exitCode, 21) << c.name;
            EXPECT_EQ(r.err, block("File " + cfg + " appears to be corrupted.") +
                                 "  Exiting with exitcode set to 21\n")
                << c.name;
        }
    }
}

TEST(MaildigConfig, ValuesAreTakenAsTheyAre) {
    fs::path dir = scratchDir();
    const std::string cfg = (dir / "odd.cfg").string();
    writeBytes(cfg, " 9 \r\n\r\n\xE4\r\n$1F\r\n");
    RunResult r = runMaildig({"-c", cfg, "--verbose", "-v", "u"});
    const std::string expected =
        dump("u", cfg, " h ", "", "\xE4", 31, "view_action", "", "", "", "range_first", "", 10);
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);

    writeBytes(cfg, "9\r\nF\r\nA\r\nport\r\n");
    r = runMaildig({"-c", cfg, "--verbose", "-v", "u"});
    const std::string zeroPort =
        dump("u", cfg, "h", "u", "p", 0, "view_action", "", "", "", "range_first", "", 10);
    EXPECT_EQ(r.err.substr(0, zeroPort.size()), zeroPort);
}

TEST(MaildigConfig, UnreadableConfigIsCodeEighteen) {
    fs::path dir = scratchDir();
    RunResult r = runMaildig({"-c", dir.string()});
    EXPECT_EQ(r.exitCode, 18);
    EXPECT_EQ(r.err, block("Unable to access config file " + dir.string()));

    RunOptions inDir;
    inDir.workDir = dir.string();
    r = runMaildig({"--config", " missing.cfg "}, inDir);
    EXPECT_EQ(r.exitCode, 18);
    EXPECT_EQ(r.err, block("Unable to access config file missing.cfg"));
}

} // namespace
