// Runs the built program in a scratch directory, with a piped standard input, and checks its
// console, its exit status and the bytes of every file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kBanner =
    "\nSkrivel (DOS) HTML-->ASCII Converter Version 1.31\n"
    "Copyright (c) 2026 the Skrivel authors; MIT License.\n\n";
const std::string kUsage =
    "\nUsage: skrivel filename.html [<output_textfilename>] [<output_tagfilename>]\n";
const std::string kNotHtml = "\nNot a valid HTML file.\n";
const std::string kCantOpen = "\nCan't open this HTML file. Is your path correct?\n";
const std::string kConverting = "\nConverting....\n\n";
const std::string kSuccess = "File conversion successful.\n\n";
const std::string kFailed = "File conversion failed.\n\n";

std::string opened(std::string_view name) {
  return "\n" + std::string(name) + " opened successfully...\n";
}
std::string question(std::string_view name) {
  return "File " + std::string(name) + " already exists.  Overwrite (y/n)? ";
}
std::string summary(std::string_view text, std::string_view tags) {
  return kSuccess + "TEXTFILE = " + std::string(text) + "\nTAGFILE = " + std::string(tags) + "\n";
}

struct CliResult {
  std::string out, err;
  int status = -1;
  long peak_kib = 0;  // the program's peak resident memory
};

// A running program whose standard input and output are pipes.
struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string peak_file;  // where run_measured reports the program's peak memory, if it runs it
};

// How the program is started, as a careless caller or a shell might: standard streams left
// closed, standard output a pipe nobody reads or a terminal, a small file size limit.
enum How {
  kPlain = 0,
  kStdinClosed = 1,
  kStdoutClosed = 2,
  kStdoutUnread = 4,
  kStdoutTerminal = 8,
  kFileLimit = 16,      // ulimit -f 100
  kMeasureMemory = 32,  // through run_measured
};

// The program under test: the one built beside the tests, or SKRIVEL_PROGRAM, started through
// SKRIVEL_LAUNCHER if that is set (wine, to test skrivel.exe).
std::vector<std::string> program() {
  std::vector<std::string> command;
  if (const char* launcher = std::getenv("SKRIVEL_LAUNCHER")) command.push_back(launcher);
  const char* built = std::getenv("SKRIVEL_PROGRAM");
  command.push_back(fs::absolute(built != nullptr ? built : SKRIVEL_PROGRAM).string());
  return command;
}

// A Windows program's console ends its lines in CR LF, as Windows has it.
bool console_in_crlf() {
  return program().back().ends_with(".exe");
}

// The console as a program on this system shows it: line ends as LF. Checks that a Windows
// program ended every line in CR LF.
std::string from_console(std::string_view raw) {
  if (!console_in_crlf()) return std::string(raw);
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n') {
      EXPECT_TRUE(i > 0 && raw[i - 1] == '\r') << "a bare LF on the console";
      if (!out.empty() && out.back() == '\r') out.pop_back();
    }
    out += raw[i];
  }
  return out;
}

// Starts the program in dir. Given answers, its standard input holds them and nothing more,
// written before it starts, so that a program that ends early cannot make the write fail;
// otherwise child.in stays open for the test to write to. stdout_to, if given, redirects
// standard output as a shell would: ">name" or ">>name".
Child start(const fs::path& dir, const std::vector<std::string>& args, int how = kPlain,
            const std::string_view* answers = nullptr, std::string_view stdout_to = {},
            rlim_t address_space = RLIM_INFINITY) {
  // The tests may themselves run with a standard stream closed (CI has no standard input):
  // keep the pipes off 0, 1 and 2, and let a write to a finished program fail, not kill us.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      EXPECT_EQ(fd, open("/dev/null", O_RDWR));
    }
  }
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  EXPECT_EQ(0, pipe(in));
  EXPECT_EQ(0, pipe(out));
  EXPECT_EQ(0, pipe(err));
  std::string terminal;
  if (how & kStdoutTerminal) {  // the pipe's read end gives way to the terminal's master side
    close(out[0]);
    out[0] = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_TRUE(out[0] >= 0 && grantpt(out[0]) == 0 && unlockpt(out[0]) == 0);
    terminal = ptsname(out[0]);
  }
  if (how & kStdoutUnread) {
    close(out[0]);
    out[0] = open("/dev/null", O_RDONLY);
  }
  if (answers != nullptr) {  // a pipe holds 64 KiB: plenty for any answers
    EXPECT_EQ(ssize_t(answers->size()), write(in[1], answers->data(), answers->size()));
    close(in[1]);
    in[1] = -1;
  }
  std::vector<std::string> copies = program();
  copies.insert(copies.end(), args.begin(), args.end());
  std::string peak_file;
  if (how & kMeasureMemory) {
    peak_file = (dir / ".peak").string();
    copies.insert(copies.begin(), {SKRIVEL_RUN_MEASURED, peak_file});
  }
  std::vector<char*> argv;
  for (std::string& a : copies) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      close(fd);
    }
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (!terminal.empty()) {
      const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
      termios raw{};
      tcgetattr(slave, &raw);
      cfmakeraw(&raw);  // bytes as written, no CR added
      tcsetattr(slave, TCSANOW, &raw);
      dup2(slave, 1);
      close(slave);
    }
    if (!stdout_to.empty()) {
      const bool append = stdout_to.starts_with(">>");
      const std::string name(stdout_to.substr(append ? 2 : 1));
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0666);
      dup2(fd, 1);
      close(fd);
    }
    if (how & kFileLimit) {
      const rlimit limit{100 << 10, 100 << 10};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    const rlimit memory{address_space, address_space};
    setrlimit(RLIMIT_AS, &memory);
    if (how & kStdinClosed) close(0);
    if (how & kStdoutClosed) close(1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  return {pid, in[1], out[0], err[0], peak_file};
}

std::string read_until_end(int fd) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, std::size_t(n));
  }
  close(fd);
  return bytes;
}

CliResult finish(Child& child, std::string prefix = {}) {
  CliResult r;
  r.out = from_console(prefix + read_until_end(child.out));
  r.err = read_until_end(child.err);
  int status = 0;
  waitpid(child.pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!child.peak_file.empty()) {
    r.peak_kib = std::stol("0" + ::read_file(child.peak_file));
    fs::remove(child.peak_file);
  }
  return r;
}

// An address space limit tells only of the program itself: not of one under a launcher, nor of
// one built with AddressSanitizer, which reserves terabytes.
bool can_limit_memory() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#else
  return std::getenv("SKRIVEL_LAUNCHER") == nullptr;
#endif
}

// Reads the running program's console until it has shown size bytes, as a person at the
// console would see them, and returns them as read. Gives up after ten seconds of silence.
std::string wait_for_console(const Child& child, std::size_t size) {
  std::string shown;
  while (from_console(shown).size() < size) {
    pollfd p{child.out, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) break;
    char buffer[256];
    const ssize_t n = read(child.out, buffer, sizeof buffer);
    if (n <= 0) break;
    shown.append(buffer, std::size_t(n));
  }
  return shown;
}

class CliTest : public testing::Test {
 protected:
  // Runs the program with these arguments; answers is all standard input will ever hold.
  // It runs in the scratch directory or in the sub-directory named.
  CliResult run_cli(const std::vector<std::string>& args, std::string_view answers = "",
                    std::string_view sub = "") {
    Child child = start(dir_.path() / sub, args, kPlain, &answers);
    CliResult r = finish(child);
    EXPECT_EQ("", r.err) << "nothing goes to standard error";
    return r;
  }

  // Converts html as page.htm into fresh page.txt and page_t.txt.
  CliResult convert_page(std::string_view html) {
    write_file("page.htm", html);
    fs::remove(path("page.txt"));
    fs::remove(path("page_t.txt"));
    return run_cli({"page.htm"});
  }

  void write_file(std::string_view name, std::string_view bytes) {
    ::write_file(path(name), bytes);
  }
  std::string read_file(std::string_view name) { return ::read_file(path(name)); }
  bool exists(std::string_view name) { return fs::exists(fs::symlink_status(path(name))); }
  std::string path(std::string_view name) { return dir_ / name; }
  // Every name in the scratch directory, so a test can tell that nothing was created.
  std::vector<std::string> listing() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchDir dir_;
};

using Names = std::vector<std::string>;

TEST_F(CliTest, NoArgumentsPrintsUsage) {
  const CliResult r = run_cli({});
  EXPECT_EQ(kBanner + kUsage, r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(Names{}, listing());
}

// A whole run on a page: the console, the status and both files, byte for byte.
TEST_F(CliTest, ConvertsPages) {
  struct Case {
    std::string html, text, tags, console;
  };
  const Case cases[] = {
      {"<P>Tom&amp;Jerry</P>", "\r\n\r\nTom&Jerry", "<P>\r\n</P>\r\n", ""},
      {"AT&T rules &eacute;\r\n", "ATrules ", "",
       "Unable to convert special character: &T& ;\n"
       "Unable to convert special character: &eacute;\n"},
      {"", "", "", ""},
      // Off a terminal, a name goes to the console exactly as captured.
      {"&\x1b[2J;", "", "", "Unable to convert special character: &\x1b[2J;\n"},
      // Pages cut short: the last tag or entity is kept as it stands.
      {"a <B", "a ", "<B\r\n", ""},
      {"a <HR SIZE=3", "a " + std::string(80, '_') + "\r\n\r\n", "<HR SIZE=3\r\n", ""},
      {"a &amp", "a &", "", ""},
      {"a &eacute", "a ", "", "Unable to convert special character: &eacute;\n"},
      {"a\r", "a ", "", ""},
      {"a\r\x1a<B>", "a ", "", ""},
  };
  for (const Case& c : cases) {
    const CliResult r = convert_page(c.html);
    EXPECT_EQ(
        kBanner + opened("page.htm") + kConverting + c.console + summary("page.txt", "page_t.txt"),
        r.out)
        << testing::PrintToString(c.html);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.text, read_file("page.txt")) << testing::PrintToString(c.html);
    EXPECT_EQ(c.tags, read_file("page_t.txt")) << testing::PrintToString(c.html);
    EXPECT_EQ(c.html, read_file("page.htm"));
  }
}

TEST_F(CliTest, OutputNames) {
  struct Case {
    std::vector<std::string> args;
    std::string text, tags;
  };
  const Case cases[] = {
      {{"report.final.HTML"}, "report.final.txt", "report.final_t.txt"},
      {{"page.htm", "out"}, "out", "page_t.txt"},
      {{"page.htm", "out.txt", "tags.txt"}, "out.txt", "tags.txt"},
      {{"page.htm", "out.txt", "tags.txt", "a+b"}, "out.txt", "tags.txt"},
      {{"page.htm", "-out"}, "-out", "page_t.txt"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string sub = "case" + std::to_string(++n);
    fs::create_directory(path(sub));
    const std::string input = c.args[0];
    write_file(sub + "/" + input, "<B>x</B>");
    const CliResult r = run_cli(c.args, "", sub);
    EXPECT_EQ(kBanner + opened(input) + kConverting + summary(c.text, c.tags), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("[x]", read_file(sub + "/" + c.text)) << c.text;
    EXPECT_EQ("<B>\r\n</B>\r\n", read_file(sub + "/" + c.tags)) << c.tags;
    EXPECT_EQ(3u, std::distance(fs::directory_iterator(path(sub)), fs::directory_iterator()));
  }
}

// Names are DOS names: '\' separates directories, and messages show the names as typed.
TEST_F(CliTest, DosPathsLandBesideTheInput) {
  fs::create_directories(path("site"));
  fs::create_directories(path("work"));
  write_file("site/page.html", "<I>x</I>");
  Child child = start(dir_.path() / "work", {"..\\site\\page.html"});
  close(child.in);
  const CliResult r = finish(child);
  EXPECT_EQ(kBanner + opened("..\\site\\page.html") + kConverting +
                summary("..\\site\\page.txt", "..\\site\\page_t.txt"),
            r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("{x}", read_file("site/page.txt"));
  EXPECT_EQ("<I>\r\n</I>\r\n", read_file("site/page_t.txt"));
  EXPECT_TRUE(fs::is_empty(path("work")));
}

TEST_F(CliTest, LongestInputNameGivesLongerDerivedNames) {
  const std::string base(124, 'p');
  write_file(base + ".htm", "x");
  const CliResult r = run_cli({base + ".htm"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("x", read_file(base + ".txt"));
  EXPECT_EQ("", read_file(base + "_t.txt"));
}

TEST_F(CliTest, RefusedRunsTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"page.Htm"}, kNotHtml},
      {{"page.txt"}, kNotHtml},
      {{"page."}, kNotHtml},
      {{"page"}, kNotHtml},
      {{"-h"}, kNotHtml},
      {{"site.old\\page"}, kNotHtml},
      {{"/?"}, "\n'/' is not a legal filename character.\n"},
      {{""}, "\nYou must enter a filename.\n"},
      {{"my file.htm"}, "\n' ' is not a legal filename character.\n"},
      {{"page.htm", "a+b=c"}, "\n'+' is not a legal filename character.\n"},
      {{"page.htm", "out", ""}, "\nYou must enter a filename.\n"},
      {{std::string(129, 'a')}, "\nYou have exceeded the maximum pathlength of 128 characters\n"},
      {{"missing.htm"}, kCantOpen},
  };
  for (const Case& c : cases) {
    write_file("page.Htm", "<P>x");
    const Names before = listing();
    const CliResult r = run_cli(c.args);
    EXPECT_EQ(kBanner + c.out, r.out) << c.args[0];
    EXPECT_EQ(1, r.status) << c.args[0];
    EXPECT_EQ(before, listing()) << c.args[0];
    EXPECT_EQ("<P>x", read_file("page.Htm"));
  }
}

TEST_F(CliTest, InputThatIsADirectoryCannotBeOpened) {
  fs::create_directory(path("dir.htm"));
  const CliResult r = run_cli({"dir.htm"});
  EXPECT_EQ(kBanner + kCantOpen, r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ((Names{"dir.htm"}), listing());
}

// Outputs that cannot be created are reported; the conversion still fills the other one.
TEST_F(CliTest, OutputThatCannotBeCreated) {
  write_file("page.htm", "<B>x</B>");
  fs::create_directory(path("page.txt"));
  CliResult r = run_cli({"page.htm"});
  EXPECT_EQ(kBanner + opened("page.htm") + "\nERROR-Unable to create page.txt\n" + kConverting +
                kFailed + "TAGFILE = page_t.txt\n",
            r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(fs::is_directory(path("page.txt")));
  EXPECT_EQ("<B>\r\n</B>\r\n", read_file("page_t.txt"));

  r = run_cli({"page.htm", "nodir\\out.txt", "nodir\\tags.txt"});
  EXPECT_EQ(kBanner + opened("page.htm") + "\nERROR-Unable to create nodir\\out.txt\n" +
                "\nERROR-Unable to create nodir\\tags.txt\n" + kConverting + kFailed,
            r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_FALSE(exists("nodir"));
}

TEST_F(CliTest, FullDeviceIsReported) {
  write_file("page.htm", "<B>x</B>");
  fs::create_symlink("/dev/full", path("full.txt"));
  const CliResult r = run_cli({"page.htm", "full.txt"}, "y\n");
  EXPECT_EQ(kBanner + question("full.txt") + opened("page.htm") + kConverting +
                "\nERROR-Unable to write full.txt\n" + kFailed + "TAGFILE = page_t.txt\n",
            r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("<B>\r\n</B>\r\n", read_file("page_t.txt"));
}

// Questions come in the order the names are met: typed ones before the extension test,
// derived ones after it, and all of them before the input is opened.
TEST_F(CliTest, QuestionOrder) {
  struct Case {
    std::vector<std::string> args;
    std::string answers, out;
  };
  const std::string after_yes = opened("page.htm") + kConverting;
  const Case cases[] = {
      {{"page.htm"},
       "yy",
       question("page.txt") + question("page_t.txt") + after_yes +
           summary("page.txt", "page_t.txt")},
      {{"page.htm", "out.txt"},
       "yy",
       question("out.txt") + question("page_t.txt") + after_yes + summary("out.txt", "page_t.txt")},
      {{"page.htm", "out.txt", "tags.txt"},
       "yy",
       question("out.txt") + question("tags.txt") + after_yes + summary("out.txt", "tags.txt")},
      {{"page.txt", "out.txt", "tags.txt"},
       "yy",
       question("out.txt") + question("tags.txt") + kNotHtml},
      {{"missing.htm", "out.txt"}, "yy", question("out.txt") + kCantOpen},
  };
  for (const Case& c : cases) {
    for (const char* name : {"page.htm", "page.txt", "page_t.txt", "out.txt", "tags.txt"}) {
      write_file(name, "<P>old");
    }
    const CliResult r = run_cli(c.args, c.answers);
    EXPECT_EQ(kBanner + c.out, r.out) << c.args[0] << " " << c.args.size();
    const bool converted = c.args[0] == "page.htm";
    EXPECT_EQ(converted ? 0 : 1, r.status);
    if (!converted) {
      for (const char* name : {"page.txt", "page_t.txt", "out.txt", "tags.txt"}) {
        EXPECT_EQ("<P>old", read_file(name)) << name;
      }
    }
  }
}

// The first y, Y, n or N decides; anything else is ignored, and what follows stays for the
// next question.
TEST_F(CliTest, Answers) {
  struct Case {
    std::string answers, out;
    int status;
  };
  const std::string both = question("page.txt") + question("page_t.txt");
  const std::string converted =
      opened("page.htm") + kConverting + summary("page.txt", "page_t.txt");
  const Case cases[] = {
      {"x\n?\nY\ny\n", both + converted, 0},
      {"yes\n", both + "\n", 1},  // "es\n" is ignored; then nothing is left to answer
      {"yes\nYES\n", both + converted, 0},
      {"No\n", question("page.txt"), 1},
      {"n", question("page.txt"), 1},
      {"yn\n", both, 1},
      {"Yn", both, 1},
      {"", question("page.txt") + "\n", 1},
      {"maybe\n", both + "\n", 1},  // the 'y' of "maybe" answers the first
  };
  for (const Case& c : cases) {
    write_file("page.htm", "<P>new");
    write_file("page.txt", "old text");
    write_file("page_t.txt", "old tags");
    const CliResult r = run_cli({"page.htm"}, c.answers);
    EXPECT_EQ(kBanner + c.out, r.out) << testing::PrintToString(c.answers);
    EXPECT_EQ(c.status, r.status) << testing::PrintToString(c.answers);
    if (c.status != 0) {
      EXPECT_EQ("old text", read_file("page.txt"));
      EXPECT_EQ("old tags", read_file("page_t.txt"));
    }
    EXPECT_EQ("<P>new", read_file("page.htm"));
  }
}

// The question is on the console before the program waits for its answer. While it waits, the
// page may be removed, or the output become a link to the page: the page is never emptied.
TEST_F(CliTest, QuestionIsShownBeforeTheAnswerIsRead) {
  struct Case {
    void (*change)(const fs::path& dir);
    std::string out;
    int status;
    Names after;
    std::string text;  // what page.txt holds afterwards
  };
  const Case cases[] = {
      {[](const fs::path&) {},
       opened("page.htm") + kConverting + summary("page.txt", "page_t.txt"),
       0,
       {"page.htm", "page.txt", "page_t.txt"},
       "x"},
      {[](const fs::path& dir) { fs::remove(dir / "page.htm"); },
       kCantOpen,
       1,
       {"page.txt"},
       "old"},
      {[](const fs::path& dir) {
         fs::remove(dir / "page.txt");
         fs::create_symlink("page.htm", dir / "page.txt");
       },
       opened("page.htm") + "\nERROR-page.txt is the input file\n",
       1,
       {"page.htm", "page.txt"},
       "x"},
  };
  for (const Case& c : cases) {
    for (const std::string& name : listing())
      fs::remove(path(name));
    write_file("page.htm", "x");
    write_file("page.txt", "old");
    Child child = start(dir_.path(), {"page.htm"});
    const std::string expected = kBanner + question("page.txt");
    const std::string shown = wait_for_console(child, expected.size());
    ASSERT_EQ(expected, from_console(shown));
    c.change(dir_.path());
    ASSERT_EQ(2, write(child.in, "y\n", 2));
    close(child.in);
    const CliResult r = finish(child, shown);
    EXPECT_EQ(expected + c.out, r.out);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.after, listing());
    EXPECT_EQ(c.text, read_file("page.txt"));
  }
}

// An output may never be the input, nor the tag file the text file.
TEST_F(CliTest, OutputThatIsTheInputOrTheOtherOutputIsRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"page.htm", "page.htm"}, "\nERROR-page.htm is the input file\n"},
      {{"page.htm", ".\\page.htm"}, "\nERROR-.\\page.htm is the input file\n"},
      {{"page.htm", "link.txt"}, "\nERROR-link.txt is the input file\n"},
      {{"page.htm", "out.txt", "hard.txt"}, "\nERROR-hard.txt is the input file\n"},
      {{"page.htm", "out", "out"}, "\nERROR-out is also the text file\n"},
      {{"page.htm", "out", "sub\\..\\out"}, "\nERROR-sub\\..\\out is also the text file\n"},
      {{"page.htm", "page_t.txt"}, "\nERROR-page_t.txt is also the text file\n"},
      {{"missing.htm", "missing.htm"}, "\nERROR-missing.htm is the input file\n"},
  };
  write_file("page.htm", "<P>keep");
  fs::create_symlink("page.htm", path("link.txt"));
  fs::create_hard_link(path("page.htm"), path("hard.txt"));
  const Names before = listing();
  for (const Case& c : cases) {
    const CliResult r = run_cli(c.args, "yyyy");
    EXPECT_EQ(kBanner + c.out, r.out) << c.args[1];
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(before, listing());
    EXPECT_EQ("<P>keep", read_file("page.htm"));
  }
}

// Names that differ only in the case of their letters are one file on Windows, two elsewhere.
TEST_F(CliTest, NamesThatDifferInCase) {
  write_file("page.htm", "<P>x");
  const CliResult r = run_cli({"page.htm", "PAGE_T.TXT"});
  if (console_in_crlf()) {
    EXPECT_EQ(kBanner + "\nERROR-page_t.txt is also the text file\n", r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(Names{"page.htm"}, listing());
  } else {
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("<P>\r\n", read_file("page_t.txt"));
  }
}

TEST_F(CliTest, TagFileThatIsTheTextFileIsRefusedBeforeItsQuestion) {
  write_file("page.htm", "<P>keep");
  write_file("out.txt", "old");
  const CliResult r = run_cli({"page.htm", "out.txt", "out.txt"}, "y");
  EXPECT_EQ(kBanner + question("out.txt") + "\nERROR-out.txt is also the text file\n", r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("old", read_file("out.txt"));
}

// The sample page converts to the files checked in beside the tests.
TEST_F(CliTest, SamplePage) {
  const fs::path source = SKRIVEL_SOURCE_DIR;
  fs::copy_file(source / "examples/sample.htm", path("sample.htm"));
  const CliResult r = run_cli({"sample.htm"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(::read_file(source / "tests/expected/sample.txt"), read_file("sample.txt"));
  EXPECT_EQ(::read_file(source / "tests/expected/sample_t.txt"), read_file("sample_t.txt"));
  EXPECT_EQ(kBanner + opened("sample.htm") + kConverting +
                ::read_file(source / "tests/expected/sample_console.txt") +
                summary("sample.txt", "sample_t.txt"),
            r.out);
}

// Pages nothing like HTML: a huge tag, a huge entity name, a file of NUL bytes. They take no
// more memory than a small page, under a small address space limit as well.
TEST_F(CliTest, HugeAndBinaryPages) {
  constexpr std::size_t kTen = 10 << 20;
  const std::string huge(kTen, 'x');
  struct Case {
    std::string html, text, tags, console;
  };
  const Case cases[] = {
      {"<P>x", "\r\n\r\nx", "<P>\r\n", ""},  // the small page
      {"a<" + huge + ">b", "ab", "<" + huge + ">\r\n", ""},
      {"&" + huge + ";b", "b", "", "Unable to convert special character: &" + huge + ";\n"},
      {"&" + huge + " b", "b", "", "Unable to convert special character: &" + huge + "& ;\n"},
      {std::string(kTen, '\0'), std::string(kTen, '\0'), "", ""},
  };
  const rlim_t limit = can_limit_memory() ? 32 << 20 : RLIM_INFINITY;
  long small_page_kib = 0;
  for (const Case& c : cases) {
    write_file("page.htm", c.html);
    fs::remove(path("page.txt"));
    fs::remove(path("page_t.txt"));
    const std::string_view answers;
    Child child = start(dir_.path(), {"page.htm"}, kMeasureMemory, &answers, {}, limit);
    const CliResult r = finish(child);
    EXPECT_TRUE(r.out == kBanner + opened("page.htm") + kConverting + c.console +
                             summary("page.txt", "page_t.txt"));
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(read_file("page.txt") == c.text);
    EXPECT_TRUE(read_file("page_t.txt") == c.tags);
    if (small_page_kib == 0) small_page_kib = r.peak_kib;
    if (can_limit_memory()) {
      EXPECT_LE(r.peak_kib, small_page_kib + 1024);
    }
  }
}

// Where memory cannot be had the run says so and fails; it never aborts. Below some limit the
// program cannot even be started, and dies before it has done anything.
TEST_F(CliTest, OutOfMemoryIsAMessage) {
  if (!can_limit_memory()) GTEST_SKIP() << "no address space limit under a launcher or ASan";
  write_file("page.htm", "<P>x");
  const std::string_view answers;
  bool said_so = false;
  for (rlim_t limit = 1 << 20; limit < 64 << 20; limit += 64 << 10) {
    for (const char* name : {"page.txt", "page_t.txt"})
      fs::remove(path(name));
    Child child = start(dir_.path(), {"page.htm"}, kPlain, &answers, {}, limit);
    const CliResult r = finish(child);
    SCOPED_TRACE("address space " + std::to_string(limit >> 10) + " KiB: " + r.out);
    if (r.status == 0) break;
    if (r.status == 1) {
      said_so = true;
      EXPECT_TRUE(r.out.ends_with("\nERROR-Not enough memory\n") ||
                  r.out.ends_with("\nERROR-Not enough memory\n" + kFailed));
    } else {
      EXPECT_EQ("", r.out);
    }
    EXPECT_EQ("<P>x", read_file("page.htm"));
  }
  EXPECT_TRUE(said_so);
}

// A run cannot take an output that another run is writing: it is refused, as it stands, and
// the other run completes.
TEST_F(CliTest, OneRunPerOutput) {
  std::string page = "<B>x</B>";
  for (int i = 0; i < 30000; ++i)  // enough console lines to fill the pipe and the buffer
    page += "&x;";
  write_file("page.htm", page);
  const std::string_view none;
  Child first = start(dir_.path(), {"page.htm"}, kPlain, &none);
  const std::string converting = kBanner + opened("page.htm") + kConverting;
  const std::string shown = wait_for_console(first, converting.size());
  ASSERT_EQ(converting, from_console(shown).substr(0, converting.size()));
  // The first run now waits for its console to be read, its outputs open.
  const CliResult second = run_cli({"page.htm"}, "yy");
  EXPECT_TRUE(second.out.starts_with(
      kBanner + question("page.txt") + question("page_t.txt") + opened("page.htm") +
      "\nERROR-Unable to create page.txt\n\nERROR-Unable to create page_t.txt\n" + kConverting));
  EXPECT_TRUE(second.out.ends_with(";\n" + kFailed));
  EXPECT_EQ(1, second.status);
  const CliResult r = finish(first, shown);
  EXPECT_TRUE(r.out.ends_with(summary("page.txt", "page_t.txt")));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[x]", read_file("page.txt"));
  EXPECT_EQ("<B>\r\n</B>\r\n", read_file("page_t.txt"));
}

// A character device holds no data: both outputs may go to it, by any name.
TEST_F(CliTest, BothOutputsToTheNullDevice) {
  const bool windows = console_in_crlf();
  const std::string text = windows ? "nul" : "\\dev\\null";
  const std::string tags = windows ? "NUL" : "..\\..\\..\\..\\..\\..\\..\\..\\dev\\null";
  write_file("page.htm", "<P>x");
  const CliResult r = run_cli({"page.htm", text, tags}, "yy");
  EXPECT_EQ(kBanner + question(text) + question(tags) + opened("page.htm") + kConverting +
                summary(text, tags),
            r.out);
  EXPECT_EQ(0, r.status);
}

// The README's recipe for a tree of pages converts all four extensions beside each page, stays
// inside the tree, and names the pages it could not convert in find's exit status.
TEST_F(CliTest, ReadmeRecipeForATree) {
  const fs::path skrivel = program().back();
  if (std::getenv("SKRIVEL_LAUNCHER") != nullptr || skrivel.filename() != "skrivel") {
    GTEST_SKIP() << "the recipe runs skrivel itself, by that name";
  }
  const std::string readme = ::read_file(fs::path(SKRIVEL_SOURCE_DIR) / "README.md");
  std::string recipe;  // the indented lines from the one that begins with find
  for (std::size_t at = readme.find("\n    find . "); at != std::string::npos;) {
    const std::size_t end = readme.find('\n', at + 1);
    recipe += readme.substr(at + 5, end - at - 4);
    at = readme.compare(end, 5, "\n    ") == 0 ? end : std::string::npos;
  }
  ASSERT_NE("", recipe);
  recipe.pop_back();  // its last line break
  fs::create_directories(path("up/tree/sub"));
  for (const char* page : {"up/tree/a.htm", "up/tree/sub/b.HTML", "up/tree/sub/c.html",
                           "up/tree/d.HTM", "up/tree/..\\..\\notes.htm", "notes.htm"}) {
    write_file(page, "<B>x</B>");
  }
  write_file("up/tree/d.txt", "old");  // and no one to say yes: d.HTM is not converted
  const std::string command = "cd up/tree && PATH='" + skrivel.parent_path().string() +
                              "':\"$PATH\" && " + recipe + " >/dev/null 2>../errors";
  const int status = std::system(("cd '" + dir_.path().string() + "' && " + command).c_str());
  EXPECT_NE(0, status);
  EXPECT_EQ("not converted: " + path("up/tree") + "/d.HTM\n", read_file("up/errors"));
  for (const char* text : {"up/tree/a.txt", "up/tree/sub/b.txt", "up/tree/sub/c.txt"}) {
    EXPECT_EQ("[x]", read_file(text)) << text;
  }
  EXPECT_EQ("old", read_file("up/tree/d.txt"));
  EXPECT_FALSE(exists("notes.txt"));
  EXPECT_FALSE(exists("notes_t.txt"));
}

// A page past 4 GiB, with holes so that it takes no disk, its text sent to the null device: a
// 32-bit program reads it only with 64-bit file offsets.
TEST_F(CliTest, PageOverFourGiB) {
  const std::string device = console_in_crlf() ? "nul" : "\\dev\\null";
  write_file("big.htm", "<HTML>");
  fs::resize_file(path("big.htm"), (std::uintmax_t{1} << 32) + 1);
  std::ofstream(path("big.htm"), std::ios::app | std::ios::binary) << "<P>far out<BR>";
  const CliResult r = run_cli({"big.htm", device, "big.tag"}, "y\n");
  EXPECT_EQ(
      kBanner + question(device) + opened("big.htm") + kConverting + summary(device, "big.tag"),
      r.out);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("<HTML>\r\n<P>\r\n<BR>\r\n", read_file("big.tag"));
}

// Files that are not what their names suggest, and consoles that cannot take the messages:
// nothing hangs, no file is lost, and a run that failed in any way says so in its status.
TEST_F(CliTest, AwkwardFilesAndConsoles) {
  struct Case {
    std::string setup;  // shell commands run in the scratch directory first
    std::vector<std::string> args;
    int how;
    std::string stdout_to, answers;
    std::string out, err;
    int status;
    std::vector<std::pair<std::string, std::string>> files;  // what they hold afterwards
    bool read_fifo = false;  // page.txt is a FIFO that the test reads
  };
  const std::string opening = kBanner + opened("page.htm");
  const std::string big(300 << 10, 'x');
  const std::string unknown = "<B>x</B>" + [] {
    std::string many;
    for (int i = 0; i < 5000; ++i)
      many += "&x;";
    return many;
  }();
  const std::string tags = "<B>\r\n</B>\r\n";
  const std::string failed_text = kConverting + kFailed + "TAGFILE = page_t.txt\n";
  // clang-format off
  const Case cases[] = {
      // A FIFO exists but is never opened to find out: nobody reads it, so it cannot be written.
      {"mkfifo page.txt", {"page.htm"}, kPlain, "", "y",
       kBanner + question("page.txt") + opened("page.htm") + "\nERROR-Unable to create page.txt\n" +
           failed_text, "", 1, {{"page_t.txt", tags}}},
      {"mkfifo page.txt", {"page.htm"}, kPlain, "", "y",
       kBanner + question("page.txt") + opened("page.htm") + kConverting +
           summary("page.txt", "page_t.txt"),
       "", 0, {{"page_t.txt", tags}}, true},
      // A file the user may write but not read exists all the same.
      {"printf old >page.txt; chmod 200 page.txt", {"page.htm"}, kPlain, "", "",
       kBanner + question("page.txt") + "\n", "", 1, {{"page.txt", "old"}}},
      // A dangling link to the text file: both outputs would be one file.
      {"ln -s page.txt page_t.txt", {"page.htm"}, kPlain, "", "",
       opening + "\nERROR-page_t.txt is also the text file\n", "", 1, {{"page.htm", "<B>x</B>"}}},
      // Outputs in a directory that cannot be searched are two files that cannot be created.
      {"ln -s loop loop", {"page.htm", "loop\\a.txt", "loop\\b.txt"}, kPlain, "", "",
       opening + "\nERROR-Unable to create loop\\a.txt\n\nERROR-Unable to create loop\\b.txt\n" +
           kConverting + kFailed, "", 1, {}},
      // Standard output is the page, or the text file.
      {"", {"page.htm"}, kPlain, ">>page.htm", "", "",
       "\nERROR-standard output is the input file\n", 1, {{"page.htm", "<B>x</B>"}}},
      {"", {"page.htm"}, kPlain, ">page.txt", "", "",
       "\nERROR-standard output is the text file\n", 1, {{"page.txt", ""}}},
      // A console that cannot be written does not stop the conversion, but fails the run.
      {"", {"page.htm"}, kStdoutUnread, "", "", "", "", 1, {{"page.txt", "[x]"}, {"page_t.txt", tags}}},
      {"", {"page.htm"}, kPlain, ">/dev/full", "", "", "", 1,
       {{"page.txt", "[x]"}, {"page_t.txt", tags}}},
      // Past the file size limit a write fails like any other.
      {"", {"page.htm"}, kFileLimit, "", "",
       opening + kConverting + "\nERROR-Unable to write page.txt\n" + kFailed + "TAGFILE = page_t.txt\n",
       "", 1, {}},
      // On a terminal, a name from the page cannot send it commands.
      {"", {"page.htm"}, kStdoutTerminal, "", "",
       opening + kConverting + "Unable to convert special character: &?]0;\n" +
           "Unable to convert special character: &?[2J?;\n" +
           "Unable to convert special character: &?2J?2J\xc3\x84;\n" + summary("page.txt", "page_t.txt"),
       "", 0, {}},
  };
  // clang-format on
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setup + " " + c.stdout_to + " case " + std::to_string(++n));
    const std::string sub = "case" + std::to_string(n);
    fs::create_directory(path(sub));
    const fs::path dir = dir_.path() / sub;
    std::string page = "<B>x</B>";
    if (c.how & kFileLimit) page = big;
    if (c.how & (kStdoutUnread | kStdoutTerminal)) page = unknown;
    if (c.how & kStdoutTerminal)
      page =
          "&\x1b]0;title\x07&\x1b[2J\x7f;&\x9b"
          "2J\xc2\x9b"
          "2J\xc3\x84;";
    ::write_file(dir / "page.htm", page);
    ASSERT_EQ(0, std::system(("cd '" + dir.string() + "' || exit 1; " + c.setup).c_str()));
    const int fifo = c.read_fifo ? open((dir / "page.txt").c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const std::string_view answers = c.answers;
    Child child = start(dir, c.args, c.how, &answers, c.stdout_to);
    const CliResult r = finish(child);
    if (c.read_fifo) {
      EXPECT_EQ("[x]", read_until_end(fifo));
    }
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.status, r.status);
    for (const auto& [name, bytes] : c.files) {
      EXPECT_EQ(bytes, ::read_file(dir / name)) << name;
    }
    EXPECT_EQ(page, ::read_file(dir / "page.htm"));
  }
}

// A closed standard input is no answer: the files stay as they are. A file the run opens
// never stands in for a closed standard stream.
TEST_F(CliTest, ClosedStandardStreams) {
  write_file("page.htm", "<P>x");
  write_file("page.txt", "yes, replace me");
  Child child = start(dir_.path(), {"page.htm"}, kStdinClosed);
  CliResult r = finish(child);
  EXPECT_EQ(kBanner + question("page.txt") + "\n", r.out);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("yes, replace me", read_file("page.txt"));
  EXPECT_FALSE(exists("page_t.txt"));

  // With standard output closed the files are written all the same, but nobody was told.
  fs::remove(path("page.txt"));
  child = start(dir_.path(), {"page.htm"}, kStdinClosed | kStdoutClosed);
  r = finish(child);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("\r\n\r\nx", read_file("page.txt"));
  EXPECT_EQ("<P>\r\n", read_file("page_t.txt"));
}

}  // namespace
