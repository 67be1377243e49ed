#include "platform/io_thread.h"

#include <cerrno>
#include <new>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

long read_some(int fd, unsigned char* to, std::size_t n) {
  for (;;) {
    const auto count = ::read(fd, to, static_cast<unsigned>(n));
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) return -1;
  }
}

bool write_all(int fd, const unsigned char* from, std::size_t n) {
  while (n > 0) {
    const auto written = ::write(fd, from, static_cast<unsigned>(n));
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      return false;
    }
    from += written;
    n -= std::size_t(written);
  }
  return true;
}

// One job at a time: the caller hands it over and waits for it before it hands over the next,
// so the thread is the only one to touch the file, and the buffer it works in, meanwhile. At
// most one of the two waits at a time, the caller while a job is being done and the thread
// while none is, so one wake-up is enough for each change.
struct IoThread {
  int fd = -1;
  std::unique_ptr<unsigned char[]> buffer;
  bool reads = false;  // the job is a read into buffer + at; otherwise a write of its first n
  std::size_t at = 0;
  std::size_t n = 0;
  long result = 0;
  bool working = false;  // a job handed over and not yet done
  bool ending = false;   // no job will come: the thread returns
  bool started = false;  // the thread runs, and is waited for at the end
#ifdef _WIN32
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HANDLE thread{};
#else
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  pthread_t thread{};
#endif
};

namespace {

constexpr std::size_t kThreadStack = 64 * 1024;

// The few calls of the system's threads that the hand-over needs.
#ifdef _WIN32
void take(IoThread& io) {
  AcquireSRWLockExclusive(&io.lock);
}
void give(IoThread& io) {
  ReleaseSRWLockExclusive(&io.lock);
}
void wait_change(IoThread& io) {
  SleepConditionVariableSRW(&io.changed, &io.lock, INFINITE, 0);
}
void tell_change(IoThread& io) {
  WakeConditionVariable(&io.changed);
}
#else
void take(IoThread& io) {
  (void)pthread_mutex_lock(&io.lock);
}
void give(IoThread& io) {
  (void)pthread_mutex_unlock(&io.lock);
}
void wait_change(IoThread& io) {
  (void)pthread_cond_wait(&io.changed, &io.lock);
}
void tell_change(IoThread& io) {
  (void)pthread_cond_signal(&io.changed);
}
#endif

void work(IoThread& io) {
  take(io);
  for (;;) {
    while (!io.working && !io.ending)
      wait_change(io);
    if (!io.working) break;
    give(io);
    unsigned char* const bytes = io.buffer.get();
    const long result =
        io.reads ? read_some(io.fd, bytes + io.at, io.n) : (write_all(io.fd, bytes, io.n) ? 1 : -1);
    take(io);
    io.result = result;
    io.working = false;
    give(io);
    tell_change(io);  // after giving the lock, so that the caller wakes to a free one
    take(io);
  }
  give(io);
}

#ifdef _WIN32
DWORD WINAPI thread_main(void* io) {
  work(*static_cast<IoThread*>(io));
  return 0;
}
#else
void* thread_main(void* io) {
  work(*static_cast<IoThread*>(io));
  return nullptr;
}
#endif

void hand_over(IoThread& io, bool reads, std::size_t at, std::size_t n) {
  take(io);
  io.reads = reads;
  io.at = at;
  io.n = n;
  io.working = true;
  give(io);
  tell_change(io);
}

}  // namespace

bool one_processor_only() {
#ifdef _WIN32
  DWORD_PTR process = 0, system = 0;
  return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 &&
         (process & (process - 1)) == 0;
#else
#ifdef __linux__
  cpu_set_t processors;
  if (sched_getaffinity(0, sizeof processors, &processors) == 0) return CPU_COUNT(&processors) == 1;
#endif
  return sysconf(_SC_NPROCESSORS_ONLN) == 1;
#endif
}

IoThreadPtr start_io_thread(int fd, std::size_t buffer_size) {
  // Both are a help, not a need: without them the stream reads or writes for itself.
  const SpareMemory spare;
  IoThreadPtr io(new (std::nothrow) IoThread);
  if (!io) return nullptr;
  io->buffer.reset(new (std::nothrow) unsigned char[buffer_size]);
  if (!io->buffer) return nullptr;
  io->fd = fd;
#ifdef _WIN32
  io->thread = CreateThread(nullptr, kThreadStack, thread_main, io.get(),
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  io->started = io->thread != nullptr;
#else
  // Its calls need little stack, and a run may be held to a small address space.
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return nullptr;
  (void)pthread_attr_setstacksize(&attributes, kThreadStack);
  io->started = pthread_create(&io->thread, &attributes, thread_main, io.get()) == 0;
  (void)pthread_attr_destroy(&attributes);
#endif
  if (!io->started) return nullptr;
  return io;
}

void trade_buffers(IoThread& io, std::unique_ptr<unsigned char[]>& buffer) {
  io.buffer.swap(buffer);
}

void start_read(IoThread& io, std::size_t at, std::size_t n) {
  hand_over(io, true, at, n);
}

void start_write(IoThread& io, std::size_t n) {
  hand_over(io, false, 0, n);
}

long wait_for(IoThread& io) {
  take(io);
  while (io.working)
    wait_change(io);
  const long result = io.result;
  give(io);
  return result;
}

void IoThreadEnd::operator()(IoThread* io) const {
  take(*io);
  io->ending = true;
  tell_change(*io);
  give(*io);
  if (io->started) {
#ifdef _WIN32
    (void)WaitForSingleObject(io->thread, INFINITE);
    (void)CloseHandle(io->thread);
#else
    (void)pthread_join(io->thread, nullptr);
#endif
  }
  delete io;
}
