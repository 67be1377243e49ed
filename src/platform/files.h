// File names and file identity: what the run needs to know of its files apart from their bytes.
//
// Names are DOS names ('\' between directories) on every system. Whether two names or two
// open files are one file is told by the file's identity, not by its name, wherever the
// system can tell it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Where a file lives: its device and its number on that device (on Windows, the volume's
// serial number and the file index). Unknown where there is no such file.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool known = false;
  bool character_device = false;  // /dev/null, a terminal: holds no data, so its id stays unknown
};

// True if both identities are known and equal: one file.
inline bool same_id(const FileId& a, const FileId& b) {
  return a.known && b.known && a.device == b.device && a.index == b.index;
}

// The host's name for a DOS file name: each '\' becomes the host's directory separator.
std::string host_name(std::string_view dos_name);

// True if something other than a directory stands under the name: a file of any kind, one
// the user may not read included, and a link that leads nowhere. Looks at the file's status
// only, so it never blocks.
bool file_exists(std::string_view dos_name);

// The identity of the file the name leads to, links followed.
FileId id_of_name(std::string_view dos_name);

// The identity of an open file.
FileId id_of_open_file(int fd);

// The identity of an open file when it is a regular file; unknown for a terminal, a pipe or a
// device, which can never be one of the run's files, and for -1 (a stream in memory).
FileId id_of_regular_file(int fd);

// True if the two names denote one file: the same file on disk when both exist, otherwise
// the same path once made absolute and normalised (on Windows, whatever the case of letters).
// A character device is never one file with anything: it holds no data to overwrite.
bool same_file(std::string_view dos_name_a, std::string_view dos_name_b);

// Takes the advisory lock of an open regular file for this run, until the file is closed; false
// if another run holds it. A device or a FIFO is not locked.
bool lock_file(int fd);

// Removes the named file; used only for a file this run created and then refused.
void remove_file(std::string_view dos_name);

// Makes a write to a pipe that nobody reads, or past the file size limit, fail like any other
// write instead of ending the program.
void ignore_write_signals();
