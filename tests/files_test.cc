// File names and file identity.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "test_util.h"

namespace {

// File names are DOS names: '\' separates directories.
TEST(DosNames, BackslashIsTheSeparator) {
  EXPECT_EQ("../site/page.html", host_name("..\\site\\page.html"));
  EXPECT_EQ("C:/docs/page.htm", host_name("C:\\docs\\page.htm"));
  EXPECT_EQ("page.htm", host_name("page.htm"));

  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "site");
  write_file(dir / "site/page.htm", "a\r\nb");
  const std::string dos_name = dir.path().string() + "\\site\\page.htm";
  InStream in;
  ASSERT_TRUE(open_input(in, dos_name));
  EXPECT_EQ('a', get_byte(in));
  EXPECT_EQ('\n', get_byte(in));
  EXPECT_TRUE(close_input(in));
}

// Anything but a directory exists, whether or not it could be opened, and testing never waits.
TEST(DosNames, Existence) {
  ScratchDir dir;
  InStream in;
  EXPECT_FALSE(open_input(in, dir.path().string()));
  EXPECT_FALSE(file_exists(dir.path().string()));
  EXPECT_FALSE(file_exists(dir / "missing.htm"));
  write_file(dir / "page.htm", "");
  EXPECT_TRUE(file_exists(dir / "page.htm"));
  write_file(dir / "write_only.txt", "");
  chmod((dir / "write_only.txt").c_str(), 0200);
  EXPECT_TRUE(file_exists(dir / "write_only.txt"));
  ASSERT_EQ(0, mkfifo((dir / "fifo.txt").c_str(), 0600));
  EXPECT_TRUE(file_exists(dir / "fifo.txt"));
}

TEST(DosNames, SameFile) {
  ScratchDir dir;
  write_file(dir / "page.htm", "x");
  std::filesystem::create_symlink(dir / "page.htm", dir.path() / "link.htm");
  std::filesystem::create_hard_link(dir / "page.htm", dir.path() / "hard.htm");
  write_file(dir / "other.htm", "x");
  const std::string d = dir.path().string();
  EXPECT_TRUE(same_file(d + "/page.htm", d + "/page.htm"));
  EXPECT_TRUE(same_file(d + "/page.htm", d + "\\page.htm"));
  EXPECT_TRUE(same_file(d + "/page.htm", d + "/link.htm"));
  EXPECT_TRUE(same_file(d + "/hard.htm", d + "/page.htm"));
  EXPECT_TRUE(same_file(d + "/new.txt", d + "/./new.txt"));
  EXPECT_TRUE(same_file(d + "/new.txt", d + "/sub/../new.txt"));
  EXPECT_FALSE(same_file(d + "/page.htm", d + "/other.htm"));
  EXPECT_FALSE(same_file(d + "/page.htm", d + "/new.txt"));
  EXPECT_FALSE(same_file(d + "/new.txt", d + "/new_t.txt"));
  // Where the file system cannot be asked, different names stay different files.
  std::filesystem::create_symlink("loop", dir.path() / "loop");
  EXPECT_FALSE(same_file(d + "/loop/a.txt", d + "/loop/b.txt"));
}

// An output is opened as it stands and emptied only when asked; one to be made new is not made
// where a file has appeared; a FIFO nobody reads is refused at once instead of waited for.
TEST(DosNames, OpeningAnOutputKeepsItsBytes) {
  ScratchDir dir;
  write_file(dir / "old.txt", "old");
  OutStream out;
  EXPECT_EQ(Opened::kAppeared, open_output(out, dir / "old.txt", true));
  EXPECT_EQ(-1, out.fd);
  ASSERT_EQ(Opened::kExisting, open_output(out, dir / "old.txt", false));
  EXPECT_EQ("old", read_file(dir / "old.txt"));
  EXPECT_TRUE(same_id(id_of_name(dir / "old.txt"), id_of_open_file(out.fd)));
  EXPECT_TRUE(empty_output(out));
  EXPECT_TRUE(close_output(out));
  EXPECT_EQ("", read_file(dir / "old.txt"));

  for (const bool only_new : {false, true}) {
    const std::string name = dir / ("new" + std::to_string(only_new) + ".txt");
    ASSERT_EQ(Opened::kCreated, open_output(out, name, only_new));
    EXPECT_TRUE(close_output(out));
  }

  ASSERT_EQ(0, mkfifo((dir / "fifo.txt").c_str(), 0600));
  EXPECT_EQ(Opened::kFailed, open_output(out, dir / "fifo.txt", false));
}

}  // namespace
