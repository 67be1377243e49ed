#include "platform/files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// Made absolute and normalised; where the file system cannot be asked (a directory that may
// not be searched), normalised by its spelling alone, so that two names still differ.
std::filesystem::path normal_path(std::string_view dos_name) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path absolute = fs::absolute(host_name(dos_name), error);
  fs::path normal = fs::weakly_canonical(absolute, error);
  if (error) normal = absolute.lexically_normal();
  return normal;
}

// True if the two names are spelt alike: on Windows, whatever the case of their letters.
bool same_spelling(std::string_view a, std::string_view b) {
#ifdef _WIN32
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&lower](char x, char y) { return lower(x) == lower(y); });
#else
  return a == b;
#endif
}

#ifdef _WIN32
FileId id_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE) return {};
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
    FileId unknown;
    unknown.character_device = type == FILE_TYPE_CHAR;
    return unknown;
  }
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, true};
}
#else
FileId id_of_status(const struct stat& st) {
  if (S_ISCHR(st.st_mode)) {
    FileId unknown;
    unknown.character_device = true;
    return unknown;
  }
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
}
#endif

}  // namespace

std::string host_name(std::string_view dos_name) {
  std::string name(dos_name);
  if constexpr (std::filesystem::path::preferred_separator == '/') {
    std::replace(name.begin(), name.end(), '\\', '/');
  }
  return name;
}

#ifdef _WIN32
// Asking for no access at all opens any file, devices included, and never waits.
HANDLE open_for_status(std::string_view dos_name) {
  return CreateFileA(host_name(dos_name).c_str(), 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool file_exists(std::string_view dos_name) {
  const HANDLE handle = open_for_status(dos_name);
  if (handle == INVALID_HANDLE_VALUE) {
    // A link that leads nowhere, which the attributes of the name itself tell: writing through
    // it would create the file it names.
    const DWORD attributes = GetFileAttributesA(host_name(dos_name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool directory = GetFileInformationByHandle(handle, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  CloseHandle(handle);
  return !directory;
}

// The C runtime's st_ino is always 0 here: ask the system for the file index.
FileId id_of_name(std::string_view dos_name) {
  const HANDLE handle = open_for_status(dos_name);
  if (handle == INVALID_HANDLE_VALUE) return {};
  const FileId id = id_of_handle(handle);
  CloseHandle(handle);
  return id;
}

FileId id_of_open_file(int fd) {
  if (fd < 0) return {};
  return id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

FileId id_of_regular_file(int fd) {
  FileId id = id_of_open_file(fd);
  id.character_device = false;
  return id;
}

void ignore_write_signals() {}  // writes fail with an error here, never with a signal

bool lock_file(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (GetFileType(handle) != FILE_TYPE_DISK) return true;
  OVERLAPPED whole{};  // from offset 0, every byte the file may ever have
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &whole) != 0 ||
         GetLastError() != ERROR_LOCK_VIOLATION;  // a file system without locks: write it
}
#else
bool file_exists(std::string_view dos_name) {
  const std::string name = host_name(dos_name);
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0) return !S_ISDIR(st.st_mode);
  // A link that leads nowhere: writing through it would create the file it names.
  return ::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

FileId id_of_name(std::string_view dos_name) {
  struct stat st {};
  if (::stat(host_name(dos_name).c_str(), &st) != 0) return {};
  return id_of_status(st);
}

FileId id_of_open_file(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return {};
  return id_of_status(st);
}

FileId id_of_regular_file(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return id_of_status(st);
}

void ignore_write_signals() {
  (void)::signal(SIGPIPE, SIG_IGN);
  (void)::signal(SIGXFSZ, SIG_IGN);
}

bool lock_file(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return true;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return errno != EWOULDBLOCK;  // a file system without locks: write it
  }
  return true;
}
#endif

bool same_file(std::string_view dos_name_a, std::string_view dos_name_b) {
  const FileId a = id_of_name(dos_name_a);
  const FileId b = id_of_name(dos_name_b);
  if (a.character_device || b.character_device) return false;
  if (a.known || b.known) return same_id(a, b);
  // Two names spelt alike up to their last part lie in one directory: they are one file only if
  // that part is the same. This spares making the paths absolute for the commonest case.
  const std::string_view kSeparators = "\\/";
  const std::size_t cut_a = dos_name_a.find_last_of(kSeparators) + 1;
  const std::size_t cut_b = dos_name_b.find_last_of(kSeparators) + 1;
  const std::string_view last_a = dos_name_a.substr(cut_a);
  const std::string_view last_b = dos_name_b.substr(cut_b);
  const auto plain = [](std::string_view last) {
    return !last.empty() && last != "." && last != "..";
  };
  if (dos_name_a.substr(0, cut_a) == dos_name_b.substr(0, cut_b) && plain(last_a) &&
      plain(last_b)) {
    return same_spelling(last_a, last_b);
  }
  return same_spelling(normal_path(dos_name_a).string(), normal_path(dos_name_b).string());
}

void remove_file(std::string_view dos_name) {
  (void)std::remove(host_name(dos_name).c_str());
}
