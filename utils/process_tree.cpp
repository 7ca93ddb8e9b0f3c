// Ending the processes below a process, read from /proc: no outside program
// (no ps) is needed, so it works with any PATH and while a signal is handled.
//
// A tree is frozen before it is ended: every descendant found gets SIGSTOP and
// the table is read again until no new one appears. A stopped process can
// neither fork nor exit, so no child escapes to init between the reading of
// the table and the signal that ends it.
#include "utils/hx_utils_common.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace hx_utils_common {

namespace {

struct Proc {
  int pid;
  int ppid;
  char state;
  unsigned long long start;  // clock ticks after boot: tells a reused number apart
};

// Parses a decimal number at `p`; advances `p` past it.
unsigned long long parse_number(const char*& p) {
  unsigned long long value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<unsigned long long>(*p++ - '0');
  return value;
}

// Reads /proc/<pid>/stat. False when the process is gone. Async-signal-safe.
bool read_proc(int pid, Proc& proc) {
  char path[32] = "/proc/";
  char digits[16];
  int n = 0;
  for (unsigned v = static_cast<unsigned>(pid); n == 0 || v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  std::size_t at = 6;
  while (n > 0) path[at++] = digits[--n];
  std::memcpy(path + at, "/stat", 6);

  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  const ssize_t got = ::read(fd, text, sizeof(text) - 1);
  ::close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  // "pid (name) state ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime stime cutime cstime priority nice threads itrealvalue
  // starttime ...": the name may hold blanks and brackets, so fields are
  // counted from the last ')'.
  const char* close = nullptr;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ')') close = p;
  }
  if (close == nullptr || close[1] != ' ' || close[2] == '\0') return false;
  const char* p = close + 2;
  proc.pid = pid;
  proc.state = *p;
  p += 2;
  proc.ppid = static_cast<int>(parse_number(p));
  // `p` stands after field 4; each blank passed begins the next field.
  for (int field = 4; field < 22 && *p != '\0'; ++p) {
    if (*p == ' ') ++field;
  }
  proc.start = parse_number(p);
  return true;
}

// True when the process named by `proc` has ended (gone, a zombie, or its
// number now names another process).
bool has_ended(const Proc& proc) {
  Proc now{};
  if (!read_proc(proc.pid, now)) return true;
  return now.start != proc.start || now.state == 'Z' || now.state == 'X';
}

// Calls `visit` with every process of /proc. Async-signal-safe.
template <typename Visit>
void for_each_process(Visit visit) {
  const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  alignas(8) char buffer[8192];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof(buffer));
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      unsigned short length = 0;
      std::memcpy(&length, buffer + at + 16, sizeof(length));
      const char* name = buffer + at + 19;
      at += length;
      if (*name < '1' || *name > '9') continue;
      const char* p = name;
      const int pid = static_cast<int>(parse_number(p));
      Proc proc{};
      if (*p == '\0' && read_proc(pid, proc)) visit(proc);
    }
  }
  ::close(dir);
}

// A fixed-size set of processes, usable where nothing may be allocated.
template <std::size_t N>
struct ProcSet {
  Proc items[N];
  std::size_t size = 0;

  bool has(int pid) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (items[i].pid == pid) return true;
    }
    return false;
  }
  bool add(const Proc& proc) {
    if (size == N || has(proc.pid)) return false;
    items[size++] = proc;
    return true;
  }
};

// Stops every descendant of `root` that is not in `frozen` yet and adds it;
// the table is read again until a reading finds no new one. Returns how many
// were added. Async-signal-safe.
template <std::size_t N>
std::size_t freeze_descendants(int root, ProcSet<N>& frozen) {
  std::size_t added = 0;
  for (int round = 0; round < 64; ++round) {
    std::size_t found = 0;
    // A process is below the root when its parent is the root or a process
    // already frozen; parents appear anywhere in /proc's order, so the table
    // is read until it yields nothing new.
    for_each_process([&](const Proc& proc) {
      if (proc.pid == root || proc.state == 'Z' || proc.state == 'X') return;
      if ((proc.ppid == root || frozen.has(proc.ppid)) && frozen.add(proc)) {
        ::kill(proc.pid, SIGSTOP);
        ++found;
      }
    });
    added += found;
    if (found == 0) break;
  }
  return added;
}

void sleep_milliseconds(long milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Waits up to `milliseconds` until every process of the set is stopped or ended.
template <std::size_t N>
void wait_until_frozen(const ProcSet<N>& frozen, long milliseconds) {
  for (long waited = 0; waited < milliseconds; waited += 2) {
    bool all = true;
    for (std::size_t i = 0; i < frozen.size && all; ++i) {
      Proc now{};
      all = !read_proc(frozen.items[i].pid, now) || now.start != frozen.items[i].start || now.state == 'T' ||
            now.state == 't' || now.state == 'Z' || now.state == 'X';
    }
    if (all) return;
    sleep_milliseconds(2);
  }
}

template <std::size_t N>
void send_to_living(const ProcSet<N>& set, int signal) {
  for (std::size_t i = 0; i < set.size; ++i) {
    if (!has_ended(set.items[i])) ::kill(set.items[i].pid, signal);
  }
}

constexpr std::size_t kMaxTree = 4096;

// The processes of the tree being ended (one tree at a time: by the abort of
// a task) and of the tree being killed from a signal handler. Static storage
// set up before the program runs: nothing is allocated or initialised on
// first use, which a signal handler could not do safely.
ProcSet<kMaxTree> tree_to_end;
ProcSet<kMaxTree> tree_to_kill;

}  // namespace

std::vector<int> descendant_pids(int pid) {
  std::vector<Proc> all;
  for_each_process([&all](const Proc& proc) { all.push_back(proc); });
  std::vector<int> below;
  auto known = [&below](int candidate) {
    for (int b : below) {
      if (b == candidate) return true;
    }
    return false;
  };
  for (bool grew = true; grew;) {
    grew = false;
    for (const Proc& proc : all) {
      if (proc.pid == pid || proc.state == 'Z' || proc.state == 'X' || known(proc.pid)) continue;
      if (proc.ppid == pid || known(proc.ppid)) {
        below.push_back(proc.pid);
        grew = true;
      }
    }
  }
  return below;
}

void end_process_tree(int pid) {
  ProcSet<kMaxTree>& frozen = tree_to_end;
  frozen.size = 0;
  freeze_descendants(pid, frozen);
  if (frozen.size == 0) return;
  wait_until_frozen(frozen, 200);
  freeze_descendants(pid, frozen);

  // Politely first: each process may end in its own way within a second.
  send_to_living(frozen, SIGTERM);
  send_to_living(frozen, SIGCONT);
  for (int waited = 0; waited < 1000; waited += 10) {
    bool all = true;
    for (std::size_t i = 0; i < frozen.size && all; ++i) all = has_ended(frozen.items[i]);
    if (all) break;
    sleep_milliseconds(10);
  }
  // Then by force, together with anything a process started while ending.
  freeze_descendants(pid, frozen);
  send_to_living(frozen, SIGKILL);
  for (std::size_t i = 0; i < frozen.size; ++i) {
    std::cout << "PID was terminated: " + std::to_string(frozen.items[i].pid) + "\n" << std::flush;
  }
}

void kill_process_tree_now(int pid) {
  ProcSet<kMaxTree>& frozen = tree_to_kill;
  frozen.size = 0;
  freeze_descendants(pid, frozen);
  send_to_living(frozen, SIGKILL);
}

}  // namespace hx_utils_common
