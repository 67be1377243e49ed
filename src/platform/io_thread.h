// A file's reads or writes done by a thread of its own, one buffer at a time, so that the
// conversion goes on while the system copies the bytes; and the plain reads and writes that
// both it and a stream without one make.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

// Reads up to n bytes from fd into to: the count, 0 at the end of the file, -1 on an error.
long read_some(int fd, unsigned char* to, std::size_t n);
// Writes all n bytes at from to fd; false if that fails.
bool write_all(int fd, const unsigned char* from, std::size_t n);

// While one lives, new (std::nothrow) gives nullptr where the memory cannot be had, instead of
// calling the program's new handler, which would end the run: for memory that is a help, not a
// need, as a thread's is.
struct SpareMemory {
  SpareMemory() : handler(std::set_new_handler(nullptr)) {}
  ~SpareMemory() { std::set_new_handler(handler); }
  SpareMemory(const SpareMemory&) = delete;
  SpareMemory& operator=(const SpareMemory&) = delete;
  std::new_handler handler;
};

struct IoThread;
// Waits for whatever the thread is doing, then ends it.
struct IoThreadEnd {
  void operator()(IoThread* io) const;
};
using IoThreadPtr = std::unique_ptr<IoThread, IoThreadEnd>;

// True if the run may use only one processor, as its affinity or the system's count of the
// processors online says: a thread to read or write beside the conversion would only take turns
// with it there.
bool one_processor_only();

// Starts a thread for the file fd, with a buffer of its own of buffer_size bytes; none
// (nullptr) if there is no memory for it or the system cannot start one. The thread reads into
// and writes from its own buffer only, and the caller trades buffers with it between one read
// or write and the next.
IoThreadPtr start_io_thread(int fd, std::size_t buffer_size);
// Gives the thread buffer and takes the thread's; only while it is not reading or writing.
void trade_buffers(IoThread& io, std::unique_ptr<unsigned char[]>& buffer);
// Has the thread read up to n bytes into its buffer from byte at on, as read_some does, while
// the caller goes on.
void start_read(IoThread& io, std::size_t at, std::size_t n);
// Has the thread write the first n bytes of its buffer, as write_all does, while the caller
// goes on.
void start_write(IoThread& io, std::size_t n);
// Waits for the read or write last started: a read's count as read_some gives it, a write's
// 1 if it wrote everything and -1 if not.
long wait_for(IoThread& io);
