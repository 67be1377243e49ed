// Whole runs of the program in a scratch directory: the console, the exit status and the bytes of
// every file. A run goes through run() in this process, on memory streams, unless it needs a
// process of its own (a terminal, a closed or redirected standard stream, a limit) or a program
// to test is given: SKRIVEL_PROGRAM, started through SKRIVEL_LAUNCHER if that is set (wine for
// skrivel.exe, qemu for another machine's program). Then it is spawned, as a shell would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/run.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Names = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;  // names and their bytes

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
const std::string kTags = "<B>\r\n</B>\r\n";  // the tag file of the usual page, <B>x</B>

std::string opened(std::string_view name) {
  return "\n" + std::string(name) + " opened successfully...\n";
}
std::string question(std::string_view name) {
  return "File " + std::string(name) + " already exists.  Overwrite (y/n)? ";
}
std::string summary(std::string_view text, std::string_view tags) {
  return kSuccess + "TEXTFILE = " + std::string(text) + "\nTAGFILE = " + std::string(tags) + "\n";
}
// The console of a run that converted page.htm, with these lines about entities.
std::string converted(std::string_view lines = "") {
  return opened("page.htm") + kConverting + std::string(lines) + summary("page.txt", "page_t.txt");
}

// How a run is started, and what it is given.
struct Start {
  std::vector<std::string> args = {"page.htm"};
  std::string answers{};  // all that standard input will ever hold
  // Shell commands that prepare the program's process: a limit, a redirection, a stream closed.
  std::string shell{};
  bool terminal = false;     // standard output is a terminal
  bool unread = false;       // standard output is a pipe that nobody reads
  bool measure = false;      // through run_measured, for the program's peak memory
  bool interactive = false;  // standard input stays open for the test to write to
};

struct CliResult {
  std::string out, err;
  int status = -1;
  long peak_kib = 0;  // the program's peak resident memory, if measured
};

// The console of the run under way in this process, and the allocations made since it showed
// kConverting: the conversion takes no memory, having had all it needs before any file changed.
const std::string* g_console_watched = nullptr;
std::size_t g_late_allocations = 0;

}  // namespace

// Counted where the allocator is the C library's: AddressSanitizer's is its own, and checks
// that each delete matches its new. Out of line, so that g++ does not take the free() in a
// delete for a mismatched one.
#if !defined(__SANITIZE_ADDRESS__)
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (g_console_watched != nullptr && g_console_watched->find(kConverting) != std::string::npos) {
    ++g_late_allocations;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#endif

namespace {

// The program under test when one is given, with its launcher first.
std::vector<std::string> program() {
  std::vector<std::string> command;
  if (const char* launcher = std::getenv("SKRIVEL_LAUNCHER")) command.push_back(launcher);
  const char* given = std::getenv("SKRIVEL_PROGRAM");
  command.push_back(fs::absolute(given != nullptr ? given : SKRIVEL_PROGRAM).string());
  return command;
}
bool program_given() {
  return std::getenv("SKRIVEL_PROGRAM") != nullptr;
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

// A spawned program, its standard streams pipes (or a terminal) held by the test.
struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string peak_file;
};

// Starts the program in dir through sh, which runs start.shell first.
Child spawn(const fs::path& dir, const Start& start) {
  // The tests may run with a standard stream closed (CI has no standard input): keep the pipes
  // off 0, 1 and 2, and let a write to a finished program fail, not kill the test.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      EXPECT_EQ(fd, open("/dev/null", O_RDWR));
    }
  }
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  EXPECT_EQ(0, pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::string terminal;
  if (start.terminal) {  // the pipe's read end gives way to the terminal's master side
    close(out[0]);
    out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(out[0] >= 0 && grantpt(out[0]) == 0 && unlockpt(out[0]) == 0);
    terminal = ptsname(out[0]);
    const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);  // bytes as written, no CR added
    tcsetattr(slave, TCSANOW, &raw);
    close(slave);
    posix_spawn_file_actions_addopen(&actions, 1, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
  }
  if (start.unread) close(out[0]);
  if (!start.interactive) {  // a pipe holds 64 KiB: plenty for any answers
    const std::string& answers = start.answers;
    EXPECT_EQ(ssize_t(answers.size()), write(in[1], answers.data(), answers.size()));
    close(in[1]);
  }
  Child child{-1, start.interactive ? in[1] : -1, start.unread ? -1 : out[0], err[0], ""};
  std::vector<std::string> command = {"/bin/sh", "-c", start.shell + "\nexec \"$@\"", "sh"};
  if (start.measure) {
    child.peak_file = (dir / ".peak").string();
    command.insert(command.end(), {SKRIVEL_RUN_MEASURED, child.peak_file});
  }
  for (const std::vector<std::string>& part : {program(), start.args})
    command.insert(command.end(), part.begin(), part.end());
  std::vector<char*> argv;
  for (std::string& word : command)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  EXPECT_EQ(0, posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ));
  posix_spawn_file_actions_destroy(&actions);
  for (const int fd : {in[0], out[1], err[1]})
    close(fd);
  return child;
}

std::string read_until_end(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, std::size_t(n));
  if (fd >= 0) close(fd);
  return bytes;
}

CliResult finish(Child& child, std::string shown = {}) {
  CliResult r;
  r.out = from_console(shown + read_until_end(child.out));
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

// Runs the program in dir through run() on memory streams.
CliResult run_here(const fs::path& dir, const Start& start) {
  const fs::path back = fs::current_path();
  fs::current_path(dir);
  CliResult r;
  OutStream console, errors;
  InStream answers;
  open_memory_output(console, &r.out);
  open_memory_output(errors, &r.err);
  console.crlf = errors.crlf = false;
  open_memory_input(answers, start.answers);
  const std::vector<std::string_view> arguments(start.args.begin(), start.args.end());
  r.out.reserve(1 << 20);  // so that the console's own appends take no memory
  g_console_watched = &r.out;
  r.status = run(arguments, console, errors, answers);
  g_console_watched = nullptr;
  close_output(console);
  close_output(errors);
  fs::current_path(back);
  return r;
}

CliResult run_in(const fs::path& dir, const Start& start) {
  g_late_allocations = 0;  // counted by a run in this process only
  const bool needs_process = program_given() || !start.shell.empty() || start.terminal ||
                             start.unread || start.measure || start.interactive;
  if (!needs_process) return run_here(dir, start);
  Child child = spawn(dir, start);
  return finish(child);
}

// An address space limit tells only of the program itself: not of one under a launcher, nor of
// one built with AddressSanitizer or ThreadSanitizer, which reserve terabytes.
bool can_limit_memory() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
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
    char buffer[256];
    if (poll(&p, 1, 10000) != 1) break;
    const ssize_t n = read(child.out, buffer, sizeof buffer);
    if (n <= 0) break;
    shown.append(buffer, std::size_t(n));
  }
  return shown;
}

// One run and everything it must leave: the case every table of this file is made of.
struct RunCase {
  std::string setup{};  // shell commands run first, in a fresh directory that holds the page
  std::string page = "<B>x</B>";
  std::string page_name = "page.htm";
  std::string in{};  // the sub-directory the run starts in, if not the case's directory
  Start start{};
  std::string out{};  // the console after the banner
  int status = 1;
  Files files{};           // what these files hold afterwards
  bool banner = true;      // false: the console shows nothing at all
  std::string err{};       // standard error
  bool unchanged = false;  // the directory holds what it held before the run, as it was
  bool read_fifo = false;  // page.txt is a FIFO that the test reads
};

class CliTest : public testing::Test {
 protected:
  // Runs the case in a directory of its own, and checks it.
  void check(const RunCase& c) {
    const fs::path dir = dir_.path() / ("case" + std::to_string(++cases_));
    fs::create_directory(dir);
    SCOPED_TRACE(testing::PrintToString(c.start.args) + " after " + c.setup + " in " +
                 dir.string());
    fs::create_directories((dir / c.page_name).parent_path());
    ::write_file(dir / c.page_name, c.page);
    ASSERT_EQ(0, std::system(("set -e; cd '" + dir.string() + "'\n" + c.setup).c_str()));
    const Files before = c.unchanged ? contents(dir) : Files{};
    const int fifo = c.read_fifo ? open((dir / "page.txt").c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const CliResult r = run_in(dir / c.in, c.start);
    if (c.read_fifo) {
      EXPECT_EQ("[x]", read_until_end(fifo));
    }
    EXPECT_EQ(c.banner ? kBanner + c.out : c.out, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(0u, g_late_allocations) << "allocations after " << kConverting;
    for (const auto& [name, bytes] : c.files) {
      const std::string got = ::read_file(dir / name);
      if (bytes.size() + got.size() > 65536) {
        EXPECT_TRUE(bytes == got) << name << " differs";  // no diff of megabytes
      } else {
        EXPECT_EQ(bytes, got) << name;
      }
    }
    if (c.unchanged) {
      EXPECT_EQ(before, contents(dir));
    }
    EXPECT_EQ(c.page, ::read_file(dir / c.page_name));
  }
  template <std::size_t N>
  void check_all(const RunCase (&cases)[N]) {
    for (const RunCase& c : cases)
      check(c);
  }

  // The names in dir and what the regular files among them hold, so that a test can tell that
  // a run changed nothing.
  static Files contents(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const bool regular = entry.symlink_status().type() == fs::file_type::regular;
      files.emplace_back(entry.path().filename(), regular ? ::read_file(entry.path()) : "");
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  std::string path(std::string_view name) { return dir_ / name; }
  std::string read_file(std::string_view name) { return ::read_file(path(name)); }

  ScratchDir dir_;
  int cases_ = 0;
};

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
    check({.page = c.html,
           .out = converted(c.console),
           .status = 0,
           .files = {{"page.txt", c.text}, {"page_t.txt", c.tags}}});
  }
}

TEST_F(CliTest, OutputNames) {
  const std::string longest(124, 'p');  // a name of 128 bytes gives longer derived names
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
      {{longest + ".htm"}, longest + ".txt", longest + "_t.txt"},
  };
  for (const Case& c : cases) {
    check({.page_name = c.args[0],
           .start = {.args = c.args},
           .out = opened(c.args[0]) + kConverting + summary(c.text, c.tags),
           .status = 0,
           .files = {{c.text, "[x]"}, {c.tags, kTags}}});
  }
}

// Names are DOS names: '\' separates directories, and messages show the names as typed. A
// character device holds no data: both outputs may go to it, by any name.
TEST_F(CliTest, DosPathsAndDevices) {
  const bool windows = console_in_crlf();
  const std::string null = windows ? "nul" : "\\dev\\null";
  const std::string other_null = windows ? "NUL" : "..\\..\\..\\..\\..\\..\\..\\..\\dev\\null";
  check_all({{.setup = "mkdir work",
              .page_name = "site/page.html",
              .in = "work",
              .start = {.args = {"..\\site\\page.html"}},
              .out = opened("..\\site\\page.html") + kConverting +
                     summary("..\\site\\page.txt", "..\\site\\page_t.txt"),
              .status = 0,
              .files = {{"site/page.txt", "[x]"},
                        {"site/page_t.txt", kTags},
                        {"work/page.txt", ""},  // nothing lands where the run starts
                        {"work/page_t.txt", ""}}},
             {.start = {.args = {"page.htm", null, other_null}, .answers = "yy"},
              .out = question(null) + question(other_null) + opened("page.htm") + kConverting +
                     summary(null, other_null),
              .status = 0}});
}

// A run refused before the conversion leaves every file as it was.
TEST_F(CliTest, RefusedRunsTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{}, kUsage},
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
      {{"dir.htm"}, kCantOpen},
      // An output may never be the input, nor the tag file the text file.
      {{"page.htm", "page.htm"}, "\nERROR-page.htm is the input file\n"},
      {{"page.htm", ".\\page.htm"}, "\nERROR-.\\page.htm is the input file\n"},
      {{"page.htm", "link.txt"}, "\nERROR-link.txt is the input file\n"},
      {{"page.htm", "out.txt", "hard.txt"}, "\nERROR-hard.txt is the input file\n"},
      {{"page.htm", "out", "out"}, "\nERROR-out is also the text file\n"},
      {{"page.htm", "out", "sub\\..\\out"}, "\nERROR-sub\\..\\out is also the text file\n"},
      {{"page.htm", "page_t.txt"}, "\nERROR-page_t.txt is also the text file\n"},
      {{"missing.htm", "missing.htm"}, "\nERROR-missing.htm is the input file\n"},
      // One that is the text file is refused before its question.
      {{"page.htm", "old.txt", "old.txt"},
       question("old.txt") + "\nERROR-old.txt is also the text file\n"},
  };
  for (const Case& c : cases) {
    check({.setup = "cp page.htm page.Htm; ln -s page.htm link.txt; ln page.htm hard.txt; "
                    "mkdir dir.htm; echo old >old.txt",
           .start = {.args = c.args, .answers = "yyyy"},
           .out = c.out,
           .unchanged = true});
  }
}

// Questions come in the order the names are met: typed ones before the extension test,
// derived ones after it, and all of them before the input is opened. Names that differ only in
// the case of their letters are one file on Windows, two elsewhere.
TEST_F(CliTest, QuestionOrder) {
  const std::string after_yes = opened("page.htm") + kConverting;
  const std::string old_files =
      "for f in page.txt page_t.txt out.txt tags.txt; do echo old >$f; done";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"page.htm"}, question("page.txt") + question("page_t.txt") + converted()},
      {{"page.htm", "out.txt"},
       question("out.txt") + question("page_t.txt") + after_yes + summary("out.txt", "page_t.txt")},
      {{"page.htm", "out.txt", "tags.txt"},
       question("out.txt") + question("tags.txt") + after_yes + summary("out.txt", "tags.txt")},
      {{"page.txt", "out.txt", "tags.txt"}, question("out.txt") + question("tags.txt") + kNotHtml},
      {{"missing.htm", "out.txt"}, question("out.txt") + kCantOpen},
  };
  for (const Case& c : cases) {
    const bool converts = c.out.find(kSuccess) != std::string::npos;
    check({.setup = old_files,
           .start = {.args = c.args, .answers = "yy"},
           .out = c.out,
           .status = converts ? 0 : 1,
           .unchanged = !converts});
  }
  const bool windows = console_in_crlf();
  check({.start = {.args = {"page.htm", "PAGE_T.TXT"}},
         .out = windows ? "\nERROR-page_t.txt is also the text file\n"
                        : after_yes + summary("PAGE_T.TXT", "page_t.txt"),
         .status = windows ? 1 : 0,
         .unchanged = windows});
}

// The first y, Y, n or N decides; anything else is ignored, and what follows stays for the
// next question.
TEST_F(CliTest, Answers) {
  const std::string both = question("page.txt") + question("page_t.txt");
  struct Case {
    std::string answers, out;
  };
  const Case cases[] = {
      {"x\n?\nY\ny\n", both + converted()},
      {"yes\n", both + "\n"},  // "es\n" is ignored; then nothing is left to answer
      {"yes\nYES\n", both + converted()},
      {"No\n", question("page.txt")},
      {"n", question("page.txt")},
      {"yn\n", both},
      {"Yn", both},
      {"", question("page.txt") + "\n"},
      {"maybe\n", both + "\n"},  // the 'y' of "maybe" answers the first
  };
  for (const Case& c : cases) {
    const bool converts = c.out.ends_with(summary("page.txt", "page_t.txt"));
    check({.setup = "echo old >page.txt; echo old >page_t.txt",
           .start = {.answers = c.answers},
           .out = c.out,
           .status = converts ? 0 : 1,
           .unchanged = !converts});
  }
}

// The question is on the console before the program waits for its answer. While it waits, the
// page may be removed, or the output become a link to the page: the page is never emptied. An
// output that was not there when it was checked, but is now (another run made it), is asked
// about before it is replaced.
TEST_F(CliTest, QuestionIsShownBeforeTheAnswerIsRead) {
  struct Case {
    std::string change;  // shell commands run while the program waits
    std::string out;
    Files after;  // every file afterwards
    std::vector<std::string> args = {"page.htm"};
    std::string answers = "y\n";
  };
  const std::vector<std::string> new_text = {"page.htm", "new.txt", "page.txt"};
  const Case cases[] = {
      {"", converted(), {{"page.htm", "x"}, {"page.txt", "x"}, {"page_t.txt", ""}}},
      {"rm page.htm", kCantOpen, {{"page.txt", "old"}}},
      {"rm page.txt; ln -s page.htm page.txt",
       opened("page.htm") + "\nERROR-page.txt is the input file\n",
       {{"page.htm", "x"}, {"page.txt", ""}}},
      {"echo theirs >new.txt",
       opened("page.htm") + question("new.txt"),
       {{"new.txt", "theirs\n"}, {"page.htm", "x"}, {"page.txt", "old"}},
       new_text,
       "yn\n"},
      {"echo theirs >new.txt",
       opened("page.htm") + question("new.txt") + kConverting + summary("new.txt", "page.txt"),
       {{"new.txt", "x"}, {"page.htm", "x"}, {"page.txt", ""}},
       new_text,
       "yy\n"},
  };
  for (const Case& c : cases) {
    const fs::path dir = dir_.path() / ("case" + std::to_string(++cases_));
    fs::create_directory(dir);
    ::write_file(dir / "page.htm", "x");
    ::write_file(dir / "page.txt", "old");
    Child child = spawn(dir, {.args = c.args, .interactive = true});
    const std::string expected = kBanner + question("page.txt");
    const std::string shown = wait_for_console(child, expected.size());
    ASSERT_EQ(expected, from_console(shown));
    ASSERT_EQ(0, std::system(("cd '" + dir.string() + "' || exit 1\n" + c.change).c_str()));
    ASSERT_EQ(ssize_t(c.answers.size()), write(child.in, c.answers.data(), c.answers.size()));
    close(child.in);
    const CliResult r = finish(child, shown);
    EXPECT_EQ(expected + c.out, r.out);
    EXPECT_EQ(c.out.find(kSuccess) != std::string::npos ? 0 : 1, r.status);
    EXPECT_EQ(c.after, contents(dir));
  }
}

// The sample page converts to the files checked in beside the tests; over and over, past many
// buffers read ahead and written behind, to what the byte loop makes of it in memory.
TEST_F(CliTest, SamplePage) {
  const fs::path expected = fs::path(SKRIVEL_SOURCE_DIR) / "tests/expected";
  const std::string sample = ::read_file(fs::path(SKRIVEL_SOURCE_DIR) / "examples/sample.htm");
  check({.page = sample,
         .out = converted(::read_file(expected / "sample_console.txt")),
         .status = 0,
         .files = {{"page.txt", ::read_file(expected / "sample.txt")},
                   {"page_t.txt", ::read_file(expected / "sample_t.txt")}}});
  const std::string long_page = repeated(sample, 9 << 20);
  const Conversion reference = convert(long_page, kStreamBufferSize, scans().front());
  // With the threads that read it ahead and write it behind, and held to one processor, without.
  for (const std::string shell : {"", "taskset -p -c 0 $$ >/dev/null"}) {
    check({.page = long_page,
           .start = {.shell = shell},
           .out = converted(reference.console),
           .status = 0,
           .files = {{"page.txt", reference.text}, {"page_t.txt", reference.tags}}});
  }
}

// Pages nothing like HTML: a huge tag, a huge entity name, a file of NUL bytes. They take no
// more memory than an ordinary page of 9 MiB, which fills every buffer there is, under a
// small address space limit as well.
TEST_F(CliTest, HugeAndBinaryPages) {
  constexpr std::size_t kTen = 10 << 20;
  const std::string huge(kTen, 'x');
  struct Case {
    std::string html, text, tags, console;
  };
  std::string ordinary, ordinary_text, ordinary_tags;
  for (int i = 0; i < 9 << 18; ++i) {
    ordinary += "<P>x";
    ordinary_text += "\r\n\r\nx";
    ordinary_tags += "<P>\r\n";
  }
  const Case cases[] = {
      {ordinary, ordinary_text, ordinary_tags, ""},
      {"a<" + huge + ">b", "ab", "<" + huge + ">\r\n", ""},
      {"&" + huge + ";b", "b", "", "Unable to convert special character: &" + huge + ";\n"},
      {"&" + huge + " b", "b", "", "Unable to convert special character: &" + huge + "& ;\n"},
      {std::string(kTen, '\0'), std::string(kTen, '\0'), "", ""},
  };
  const Start start = {.shell = can_limit_memory() ? "ulimit -v 32768" : "", .measure = true};
  long ordinary_kib = 0;
  for (const Case& c : cases) {
    ::write_file(path("page.htm"), c.html);
    fs::remove(path("page.txt"));
    fs::remove(path("page_t.txt"));
    const CliResult r = run_in(dir_.path(), start);
    EXPECT_TRUE(r.out == kBanner + converted(c.console));
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(read_file("page.txt") == c.text);
    EXPECT_TRUE(read_file("page_t.txt") == c.tags);
    if (ordinary_kib == 0) ordinary_kib = r.peak_kib;
    if (can_limit_memory()) {
      EXPECT_LE(r.peak_kib, ordinary_kib + 1024);
    }
  }
}

// Where memory cannot be had the run says so and fails; it never aborts, and it takes every byte
// it needs before it empties an output, so that one it cannot write stays as it was. Below some
// limit the program cannot even be started, and dies before it has done anything. A long page
// fills every buffer there is, and its reading and writing threads take memory of their own.
TEST_F(CliTest, OutOfMemoryIsAMessage) {
  if (!can_limit_memory()) GTEST_SKIP() << "no address space limit under a launcher or ASan";
  bool said_so = false;
  for (const std::string& page : {"<P>x"s, repeated("<P>x", (9 << 20) + 4)}) {
    ::write_file(path("page.htm"), page);
    const Conversion expected = convert(page);
    int successes = 0;  // a larger address space succeeds too: a few of them are enough
    for (unsigned kib = 1024; kib <= 8192 && successes < 10; kib += 100) {
      ::write_file(path("page.txt"), "old text");
      ::write_file(path("page_t.txt"), "old tags");
      const CliResult r =
          run_in(dir_.path(), {.answers = "yy", .shell = "ulimit -v " + std::to_string(kib)});
      SCOPED_TRACE("address space " + std::to_string(kib) + " KiB: " + r.out);
      const bool converted = r.status == 0;
      successes += converted;
      said_so |= r.status == 1;
      EXPECT_TRUE(read_file("page.txt") == (converted ? expected.text : "old text"));
      EXPECT_TRUE(read_file("page_t.txt") == (converted ? expected.tags : "old tags"));
      // Status 1 is said; any other failure is the system's, before the program did anything.
      EXPECT_TRUE(converted ||
                  (r.status == 1 ? r.out.ends_with("\nERROR-Not enough memory\n") : r.out.empty()));
    }
    EXPECT_EQ(page, read_file("page.htm"));
  }
  EXPECT_TRUE(said_so);
}

// A run cannot take an output that another run is writing: it is refused, as it stands, and
// the other run completes.
TEST_F(CliTest, OneRunPerOutput) {
  // Enough console lines to fill the pipe and the buffer.
  ::write_file(path("page.htm"), "<B>x</B>" + repeated("&x;", 90000));
  Child first = spawn(dir_.path(), {});
  const std::string converting = kBanner + opened("page.htm") + kConverting;
  const std::string shown = wait_for_console(first, converting.size());
  ASSERT_EQ(converting, from_console(shown).substr(0, converting.size()));
  // The first run now waits for its console to be read, its outputs open.
  const CliResult second = run_in(dir_.path(), {.answers = "yy"});
  EXPECT_TRUE(second.out.starts_with(
      kBanner + question("page.txt") + question("page_t.txt") + opened("page.htm") +
      "\nERROR-Unable to create page.txt\n\nERROR-Unable to create page_t.txt\n" + kConverting));
  EXPECT_TRUE(second.out.ends_with(";\n" + kFailed));
  EXPECT_EQ(1, second.status);
  const CliResult r = finish(first, shown);
  EXPECT_TRUE(r.out.ends_with(summary("page.txt", "page_t.txt")));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("[x]", read_file("page.txt"));
  EXPECT_EQ(kTags, read_file("page_t.txt"));
}

// The README's recipes for a tree of pages, one page at a time and on every core, convert all
// four extensions beside each page, stay inside the tree, and name the pages they could not
// convert in their exit status.
TEST_F(CliTest, ReadmeRecipesForATree) {
  const fs::path skrivel = program().back();
  if (std::getenv("SKRIVEL_LAUNCHER") != nullptr || skrivel.filename() != "skrivel") {
    GTEST_SKIP() << "the recipes run skrivel itself, by that name";
  }
  const std::string readme = ::read_file(fs::path(SKRIVEL_SOURCE_DIR) / "README.md");
  std::vector<std::string> recipes;  // each the indented lines from one that begins with find
  for (std::size_t at = readme.find("\n    find . "); at != std::string::npos;
       at = readme.find("\n    find . ", at + 1)) {
    std::string recipe;
    for (std::size_t line = at; line != std::string::npos;) {
      const std::size_t end = readme.find('\n', line + 1);
      recipe += readme.substr(line + 5, end - line - 4);
      line = readme.compare(end, 5, "\n    ") == 0 ? end : std::string::npos;
    }
    recipe.pop_back();  // its last line break
    // The recipe for many machines has a test of its own, scripts/test-many-machines.
    if (recipe.find("--sshloginfile") == std::string::npos) recipes.push_back(recipe);
  }
  ASSERT_EQ(2u, recipes.size());
  for (const std::string& recipe : recipes) {
    SCOPED_TRACE(recipe);
    const std::string top = "recipe" + std::to_string(&recipe - recipes.data()) + "/";
    const std::string odd = "up/tree/back\\tslash dir";  // echo would print a tab here
    fs::create_directories(path(top + "up/tree/sub"));
    fs::create_directories(path(top + odd));
    for (const char* page :
         {"up/tree/a.htm", "up/tree/sub/b.HTML", "up/tree/sub/c.html",
          "up/tree/back\\tslash dir/d.HTM", "up/tree/..\\..\\notes.htm", "notes.htm"}) {
      ::write_file(path(top + page), "<B>x</B>");
    }
    ::write_file(path(top + odd + "/d.txt"), "old");  // no one to say yes: d.HTM stays as it is
    const std::string command = "cd '" + path(top) + "up/tree' && PATH='" +
                                skrivel.parent_path().string() + "':\"$PATH\" && " + recipe +
                                " >/dev/null 2>../errors";
    EXPECT_NE(0, std::system(command.c_str()));
    EXPECT_EQ("not converted: " + path(top + odd) + "/d.HTM\n", read_file(top + "up/errors"));
    for (const char* text : {"up/tree/a.txt", "up/tree/sub/b.txt", "up/tree/sub/c.txt"}) {
      EXPECT_EQ("[x]", read_file(top + text)) << text;
    }
    EXPECT_EQ("old", read_file(top + odd + "/d.txt"));
    EXPECT_FALSE(fs::exists(path(top + "notes.txt")));
    EXPECT_FALSE(fs::exists(path(top + "notes_t.txt")));
  }
}

// A page past 4 GiB, with holes so that it takes no disk, its text sent to the null device: a
// 32-bit program reads it only with 64-bit file offsets.
TEST_F(CliTest, PageOverFourGiB) {
  const std::string device = console_in_crlf() ? "nul" : "\\dev\\null";
  check({.setup = "printf '<HTML>' >big.htm; truncate -s 4294967297 big.htm; "
                  "printf '<P>far out<BR>' >>big.htm",
         .start = {.args = {"big.htm", device, "big.tag"}, .answers = "y\n"},
         .out = question(device) + opened("big.htm") + kConverting + summary(device, "big.tag"),
         .status = 0,
         .files = {{"big.tag", "<HTML>\r\n<P>\r\n<BR>\r\n"}}});
}

// Files that are not what their names suggest, and consoles that cannot take the messages:
// nothing hangs, no file is lost, and a run that failed in any way says so in its status.
TEST_F(CliTest, AwkwardFilesAndConsoles) {
  const std::string unknown = "<B>x</B>" + repeated("&x;", 15000);
  const std::string failed_text = kConverting + kFailed + "TAGFILE = page_t.txt\n";
  const std::string both_written = summary("page.txt", "page_t.txt");
  const Files both = {{"page.txt", "[x]"}, {"page_t.txt", kTags}};
  check_all({
      // Outputs that cannot be created are reported; the conversion still fills the other one.
      {.setup = "mkdir page.txt",
       .out = opened("page.htm") + "\nERROR-Unable to create page.txt\n" + failed_text,
       .files = {{"page_t.txt", kTags}}},
      {.start = {.args = {"page.htm", "nodir\\out.txt", "nodir\\tags.txt"}},
       .out = opened("page.htm") + "\nERROR-Unable to create nodir\\out.txt\n" +
              "\nERROR-Unable to create nodir\\tags.txt\n" + kConverting + kFailed,
       .unchanged = true},
      {.setup = "ln -s /dev/full full.txt",
       .start = {.args = {"page.htm", "full.txt"}, .answers = "y\n"},
       .out = question("full.txt") + opened("page.htm") + kConverting +
              "\nERROR-Unable to write full.txt\n" + failed_text.substr(kConverting.size()),
       .files = {{"page_t.txt", kTags}}},
      // A FIFO exists but is never opened to find out: nobody reads it, so it cannot be written.
      {.setup = "mkfifo page.txt",
       .start = {.answers = "y"},
       .out = question("page.txt") + opened("page.htm") + "\nERROR-Unable to create page.txt\n" +
              failed_text,
       .files = {{"page_t.txt", kTags}}},
      {.setup = "mkfifo page.txt",
       .start = {.answers = "y"},
       .out = question("page.txt") + converted(),
       .status = 0,
       .files = {{"page_t.txt", kTags}},
       .read_fifo = true},
      // A file the user may write but not read exists all the same.
      {.setup = "printf old >page.txt; chmod 200 page.txt",
       .out = question("page.txt") + "\n",
       .unchanged = true},
      // A dangling link exists: only a yes writes through it, making the file it names.
      {.setup = "ln -s nowhere page.txt", .out = question("page.txt") + "\n", .unchanged = true},
      {.setup = "ln -s nowhere page.txt",
       .start = {.answers = "y"},
       .out = question("page.txt") + converted(),
       .status = 0,
       .files = {{"nowhere", "[x]"}, {"page_t.txt", kTags}}},
      // A dangling link to the text file: both outputs would be one file.
      {.setup = "ln -s page.txt page_t.txt",
       .start = {.answers = "y"},
       .out = question("page_t.txt") + opened("page.htm") +
              "\nERROR-page_t.txt is also the text file\n",
       .unchanged = true},
      // A page that cannot be read (here at its very start) is not converted.
      {.setup = "ln -s /proc/self/mem mem.htm",
       .start = {.args = {"mem.htm"}},
       .out = opened("mem.htm") + kConverting + "\nERROR-Unable to read mem.htm\n" + kFailed +
              "TEXTFILE = mem.txt\nTAGFILE = mem_t.txt\n",
       .files = {{"mem.txt", ""}, {"mem_t.txt", ""}}},
      // Outputs in a directory that cannot be searched are two files that cannot be created.
      {.setup = "ln -s loop loop",
       .start = {.args = {"page.htm", "loop\\a.txt", "loop\\b.txt"}},
       .out = opened("page.htm") + "\nERROR-Unable to create loop\\a.txt\n" +
              "\nERROR-Unable to create loop\\b.txt\n" + kConverting + kFailed},
      // Standard output is the page, or the text file.
      {.start = {.shell = "exec >>page.htm"},
       .banner = false,
       .err = "\nERROR-standard output is the input file\n",
       .unchanged = true},
      {.start = {.shell = "exec >page.txt"},
       .files = {{"page.txt", ""}},
       .banner = false,
       .err = "\nERROR-standard output is the text file\n"},
      // A console that cannot be written does not stop the conversion, but fails the run.
      {.page = unknown, .start = {.unread = true}, .files = both, .banner = false},
      {.start = {.shell = "exec >/dev/full"}, .files = both, .banner = false},
      // Past the file size limit (100 KiB) a write fails like any other; also the last write of
      // a long page's text (past 9 MiB and 512 bytes), which its writing thread makes.
      {.page = std::string(300 << 10, 'x'),
       .start = {.shell = "ulimit -f 200"},
       .out = opened("page.htm") + kConverting + "\nERROR-Unable to write page.txt\n" + kFailed +
              "TAGFILE = page_t.txt\n"},
      {.page = std::string((9 << 20) + 1000, 'x'),
       .start = {.shell = "ulimit -f " + std::to_string((9 << 11) + 1)},
       .out = opened("page.htm") + kConverting + "\nERROR-Unable to write page.txt\n" + kFailed +
              "TAGFILE = page_t.txt\n"},
      // On a terminal, a name from the page cannot send it commands.
      {.page = "&\x1b]0;title\x07&\x1b[2J\x7f;&\x9b"
               "2J\xc2\x9b"
               "2J\xc3\x84;",
       .start = {.terminal = true},
       .out = converted("Unable to convert special character: &?]0;\n"
                        "Unable to convert special character: &?[2J?;\n"
                        "Unable to convert special character: &?2J?2J\xc3\x84;\n"),
       .status = 0},
      // A closed standard input is no answer: the files stay as they are.
      {.setup = "echo old >page.txt",
       .start = {.shell = "exec <&-"},
       .out = question("page.txt") + "\n",
       .unchanged = true},
      // With standard output closed too the files are written all the same, but nobody is told.
      {.start = {.shell = "exec <&- >&-"}, .files = both, .banner = false},
  });
}

}  // namespace
