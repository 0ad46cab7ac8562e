#include "runtime/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <sys/syscall.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/test_seams.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 32;
constexpr size_t kAltStackSize = 64 * 1024;

// The local-time offset is taken once at install: localtime_r takes a lock and may read files,
// neither of which is allowed inside the handler.
long g_utc_offset_s = 0;
// The thread that is writing the report (0: none). Lock-free atomics are safe in a handler.
std::atomic<long> g_reporter{0};

// A fixed-size text buffer filled without any library call that could allocate or lock.
struct Out {
  char buf[512];
  size_t n = 0;
  void put(const char* s) {
    while (*s && n < sizeof buf) buf[n++] = *s++;
  }
  void put_char(char c) {
    if (n < sizeof buf) buf[n++] = c;
  }
  void put_dec(unsigned long long v, int min_width = 1) {
    char tmp[24];
    int k = 0;
    do {
      tmp[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v && k < 24);
    while (k < min_width && k < 24) tmp[k++] = '0';
    while (k) put_char(tmp[--k]);
  }
  void put_hex(unsigned long long v, int width) {
    static const char digits[] = "0123456789ABCDEF";
    char tmp[16];
    int k = 0;
    do {
      tmp[k++] = digits[v & 0xF];
      v >>= 4;
    } while (v && k < 16);
    while (k < width && k < 16) tmp[k++] = '0';
    put("0x");
    while (k) put_char(tmp[--k]);
  }
  void flush(int fd) {
    size_t off = 0;
    while (off < n) {
      ssize_t w = ::write(fd, buf + off, n - off);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
    n = 0;
  }
};

const char* signal_name(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// Civil date from days since 1970-01-01: pure arithmetic, no library call.
void civil_from_days(long long z, int* y, unsigned* m, unsigned* d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(yy + (*m <= 2));
}

void put_local_time(Out& o) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  long long t = static_cast<long long>(ts.tv_sec) + g_utc_offset_s;
  long long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  long long secs = t - days * 86400;
  int y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  o.put_dec(static_cast<unsigned long long>(y), 4);
  o.put_char('-');
  o.put_dec(m, 2);
  o.put_char('-');
  o.put_dec(d, 2);
  o.put_char(' ');
  o.put_dec(static_cast<unsigned long long>(secs / 3600), 2);
  o.put_char(':');
  o.put_dec(static_cast<unsigned long long>(secs / 60 % 60), 2);
  o.put_char(':');
  o.put_dec(static_cast<unsigned long long>(secs % 60), 2);
}

void context_registers(void* ctx, unsigned long long* ip, unsigned long long* sp) {
  *ip = 0;
  *sp = 0;
  if (!ctx) return;
  const ucontext_t* uc = static_cast<const ucontext_t*>(ctx);
#if defined(__x86_64__)
  *ip = static_cast<unsigned long long>(uc->uc_mcontext.gregs[REG_RIP]);
  *sp = static_cast<unsigned long long>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  *ip = static_cast<unsigned long long>(uc->uc_mcontext.pc);
  *sp = static_cast<unsigned long long>(uc->uc_mcontext.sp);
#else
  (void)uc;
#endif
}

void on_fatal_signal(int sig, siginfo_t* info, void* ctx) {
  // A second fault while reporting: give up on the report and die at once.
  const long self = static_cast<long>(syscall(SYS_gettid));
  long expected = 0;
  if (!g_reporter.compare_exchange_strong(expected, self)) {
    // A fault inside the report itself: give up on it and die at once.
    if (expected == self) _exit(128 + sig);
    // Another thread crashed first: let it finish its report (the process ends with it).
    struct timespec pause = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 500; ++i) nanosleep(&pause, nullptr);
    _exit(128 + sig);
  }

  unsigned long long ip = 0, sp = 0;
  context_registers(ctx, &ip, &sp);
  // Only a kernel-raised fault (si_code > 0) has a meaningful address; abort() and kill() do not.
  const unsigned long long fault =
      (info && info->si_code > 0) ? static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->si_addr)) : 0;

  int fd = ::open("crash.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Out o;
  if (fd >= 0) {
    o.put("\n=== CRASH at ");
    put_local_time(o);
    o.put(" ===\nSignal: ");
    o.put_dec(static_cast<unsigned>(sig));
    o.put(" (");
    o.put(signal_name(sig));
    o.put(")\nSignal code: ");
    if (info && info->si_code < 0) o.put_char('-');
    o.put_dec(info ? static_cast<unsigned>(info->si_code < 0 ? -info->si_code : info->si_code) : 0);
    o.put("\nFault address: ");
    o.put_hex(fault, 16);
#if defined(__x86_64__)
    o.put("\nRIP: ");
    o.put_hex(ip, 16);
    o.put("\nRSP: ");
    o.put_hex(sp, 16);
#else
    o.put("\nPC: ");
    o.put_hex(ip, 16);
    o.put("\nSP: ");
    o.put_hex(sp, 16);
#endif
    o.put("\n\nStack trace:\n");
    o.flush(fd);

    // backtrace() walks through the signal frame into the faulting code; it was called once at
    // install so its unwinder library is already loaded and it does not allocate here.
    void* frames[kMaxFrames];
    int n = backtrace(frames, kMaxFrames);
    for (int i = 0; i < n; ++i) {
      o.put("  [");
      o.put_dec(static_cast<unsigned>(i));
      o.put("] ");
      o.flush(fd);
      // One frame at a time so each line carries its number; writes "module(symbol+0xoff) [addr]".
      backtrace_symbols_fd(&frames[i], 1, fd);
    }
    ::close(fd);
  }

  o.put("\n*** CRASH: ");
  o.put(signal_name(sig));
  o.put(" at ");
  o.put_hex(fault, 16);
  o.put(" ***\nSee crash.log for details.\n");
  o.flush(STDERR_FILENO);

  // SA_RESETHAND put the default action back: dying of the same signal gives the parent the
  // true cause and a non-zero status.
  // The signal is blocked while its handler runs, so it is unblocked after raising it.
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + sig);
}

// One alternate stack per thread that asked for it, released when the thread ends.
struct AltStack {
  char* mem = nullptr;
  ~AltStack() {
    if (!mem) return;
    stack_t off;
    std::memset(&off, 0, sizeof off);
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::free(mem);
  }
};
thread_local AltStack t_alt_stack;

}  // namespace

ResultCode crash_report_thread_attach() {
  if (t_alt_stack.mem) return RC_OK;
  char* mem = static_cast<char*>(std::malloc(kAltStackSize));
  if (!mem) return RC_MEMORY;
  stack_t ss;
  std::memset(&ss, 0, sizeof ss);
  ss.ss_sp = mem;
  ss.ss_size = kAltStackSize;
  if (sigaltstack(&ss, nullptr) != 0) {
    std::free(mem);
    return RC_ERROR;
  }
  t_alt_stack.mem = mem;
  return RC_OK;
}

ResultCode crash_report_install() {
  time_t now = time(nullptr);
  struct tm lt;
  if (localtime_r(&now, &lt)) g_utc_offset_s = lt.tm_gmtoff;

  void* warm[2];
  (void)backtrace(warm, 2);

  if (crash_report_thread_attach() != RC_OK) return RC_ERROR;

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_fatal_signal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  ResultCode rc = RC_OK;
  for (int sig : kFatalSignals)
    if (sigaction(sig, &sa, nullptr) != 0) rc = RC_ERROR;
  return rc;
}

void crash_report_test_trigger() {
  if (!test_seam_on("CRASH_SEGV")) return;
  // The address goes through a volatile so the compiler cannot see (and drop) the bad store.
  volatile uintptr_t addr = 16;
  *reinterpret_cast<volatile int*>(addr) = 1;
}
