/* A disk that fails on request, for programs started by the tests: loaded
 * with LD_PRELOAD, it stands in front of the C library's read, pread, close,
 * rename and fsync calls and makes chosen ones fail, so that a real program
 * meets an I/O error, an early end of file or a close that reports a lost
 * write exactly where a test wants it. Set up through the environment:
 *
 *   CAROB_FAULT_CALL   which calls, one or more of read, pread, close,
 *                      rename, fsync, joined by commas ("read,pread").
 *                      read also covers __read_chk; pread covers pread64 and
 *                      the checked forms; rename covers renameat and
 *                      renameat2; fsync covers fdatasync, which can also be
 *                      named alone ("fdatasync"). Unset: nothing fails and
 *                      nothing is looked at.
 *   CAROB_FAULT_PATH   a piece of the file's real path (an open descriptor's
 *                      path as /proc/self/fd names it; either name of a
 *                      rename); unset or empty: every file. Only calls on a
 *                      file whose path holds it count as matching.
 *   CAROB_FAULT_SKIP   the first N matching calls pass (default 0).
 *   CAROB_FAULT_TIMES  how many matching calls fail after those (default
 *                      -1: every one).
 *   CAROB_FAULT_ERRNO  the error: a name (EIO, EDQUOT, ENOSPC, ...) or a
 *                      number (default EIO). "EOF" makes a read or pread
 *                      come back with 0 bytes, an end of file where there is
 *                      none; other calls then fail with EIO.
 *   CAROB_FAULT_LOG    a file that gets one line per matching call:
 *                      pid TAB call TAB n TAB pass|fail TAB mode TAB result
 *                      TAB path, where n counts matching calls from 0, mode
 *                      is r or w for how the descriptor was opened, d for a
 *                      folder's (- for a rename), result is what the caller
 *                      got, and a rename's path is "from -> to". With
 *                      CAROB_FAULT_TIMES at 0 it only traces.
 *   CAROB_FAULT_HOLD_AT, CAROB_FAULT_HOLD_FILE
 *                      the matching call numbered so (from 0) waits before
 *                      it is made until that file is there (at most 30 s):
 *                      a test does something meanwhile (stops a network
 *                      share's client) and knows the program is inside the
 *                      call, not past its end.
 *
 * A failing read or rename does nothing; a failing close still closes the
 * descriptor, as Linux does when close reports an error, and a failing
 * fsync still syncs. Everything used on the way is a plain system call
 * (readlink, fcntl, fstat, write), so nothing here comes back through these
 * functions, and nothing allocates. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { kRead = 1, kPread = 2, kClose = 4, kRename = 8, kFsync = 16, kFdatasync = 32 };

static pthread_once_t configured = PTHREAD_ONCE_INIT;
static int calls;         /* the kinds of call that can fail */
static const char* piece; /* the path piece; NULL: every path */
static long skip_first;
static long fail_times = -1;
static int fault_errno = EIO;
static int early_eof;
static int log_fd = -1;
static long matched; /* matching calls so far, counted atomically */
static long hold_at = -1;      /* the matching call that waits for hold_file */
static const char* hold_file; /* made by the test when the call may go on */

static const struct {
  const char* name;
  int value;
} kErrors[] = {
    {"EIO", EIO},       {"EDQUOT", EDQUOT}, {"ENOSPC", ENOSPC},   {"EROFS", EROFS},
    {"EACCES", EACCES}, {"EPERM", EPERM},   {"ESTALE", ESTALE},   {"ETIMEDOUT", ETIMEDOUT},
    {"EBADF", EBADF},   {"EINVAL", EINVAL}, {"EXDEV", EXDEV},     {"EBUSY", EBUSY},
    {"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"ENOENT", ENOENT},   {"EFBIG", EFBIG},
};

static int HasWord(const char* list, const char* word) {
  const size_t n = strlen(word);
  for (const char* at = list; at != NULL && *at != '\0';) {
    const char* comma = strchr(at, ',');
    const size_t len = comma ? (size_t)(comma - at) : strlen(at);
    if (len == n && strncmp(at, word, n) == 0) return 1;
    at = comma ? comma + 1 : NULL;
  }
  return 0;
}

static void Configure(void) {
  const char* which = getenv("CAROB_FAULT_CALL");
  if (which == NULL) return;
  calls = (HasWord(which, "read") ? kRead : 0) | (HasWord(which, "pread") ? kPread : 0) |
          (HasWord(which, "close") ? kClose : 0) | (HasWord(which, "rename") ? kRename : 0) |
          (HasWord(which, "fsync") ? kFsync | kFdatasync : 0) |
          (HasWord(which, "fdatasync") ? kFdatasync : 0);
  const char* p = getenv("CAROB_FAULT_PATH");
  piece = p != NULL && *p != '\0' ? p : NULL;
  const char* s = getenv("CAROB_FAULT_SKIP");
  if (s != NULL) skip_first = strtol(s, NULL, 10);
  const char* t = getenv("CAROB_FAULT_TIMES");
  if (t != NULL) fail_times = strtol(t, NULL, 10);
  const char* e = getenv("CAROB_FAULT_ERRNO");
  if (e != NULL && strcmp(e, "EOF") == 0) {
    early_eof = 1;
  } else if (e != NULL && *e >= '0' && *e <= '9') {
    fault_errno = (int)strtol(e, NULL, 10);
  } else if (e != NULL) {
    for (size_t i = 0; i < sizeof kErrors / sizeof kErrors[0]; ++i) {
      if (strcmp(e, kErrors[i].name) == 0) fault_errno = kErrors[i].value;
    }
  }
  const char* h = getenv("CAROB_FAULT_HOLD_AT");
  if (h != NULL && *h != '\0') hold_at = strtol(h, NULL, 10);
  const char* hf = getenv("CAROB_FAULT_HOLD_FILE");
  hold_file = hf != NULL && *hf != '\0' ? hf : NULL;
  const char* l = getenv("CAROB_FAULT_LOG");
  if (l != NULL && *l != '\0') log_fd = open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* The next function of that name after this library. */
static void* Next(void** slot, const char* name) {
  void* f = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (f == NULL) {
    f = dlsym(RTLD_NEXT, name);
    __atomic_store_n(slot, f, __ATOMIC_RELEASE);
  }
  return f;
}
#define REAL(type, name)    \
  static void* real_##name; \
  type name##_real = (type)Next(&real_##name, #name)

typedef ssize_t (*ReadFn)(int, void*, size_t);
typedef ssize_t (*ReadChkFn)(int, void*, size_t, size_t);
typedef ssize_t (*PreadFn)(int, void*, size_t, off_t);
typedef ssize_t (*Pread64Fn)(int, void*, size_t, off64_t);
typedef ssize_t (*PreadChkFn)(int, void*, size_t, off_t, size_t);
typedef ssize_t (*Pread64ChkFn)(int, void*, size_t, off64_t, size_t);
typedef int (*FdFn)(int);
typedef int (*RenameFn)(const char*, const char*);
typedef int (*RenameatFn)(int, const char*, int, const char*);
typedef int (*Renameat2Fn)(int, const char*, int, const char*, unsigned);

/* The path of an open descriptor into `out` ("" when unknown). */
static void FdPath(int fd, char* out, size_t size) {
  char link[64] = "/proc/self/fd/";
  char digits[24];
  int n = 0;
  unsigned u = fd < 0 ? 0u : (unsigned)fd;
  do {
    digits[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  size_t at = strlen(link);
  while (n > 0) link[at++] = digits[--n];
  link[at] = '\0';
  const ssize_t got = readlink(link, out, size - 1);
  out[got > 0 ? got : 0] = '\0';
}

/* A path relative to the folder `dirfd` made whole into `out`. */
static void AtPath(int dirfd, const char* path, char* out, size_t size) {
  if (path == NULL) {
    out[0] = '\0';
    return;
  }
  if (path[0] == '/' || dirfd == AT_FDCWD) {
    if (path[0] == '/' || getcwd(out, size) == NULL) out[0] = '\0';
  } else {
    FdPath(dirfd, out, size);
  }
  size_t at = strlen(out);
  if (at > 0 && at + 1 < size) out[at++] = '/';
  for (const char* c = path; *c != '\0' && at + 1 < size; ++c) out[at++] = *c;
  out[at] = '\0';
}

static int Wanted(int kind) {
  pthread_once(&configured, Configure);
  return (calls & kind) != 0;
}

static int PathMatches(const char* path) { return piece == NULL || strstr(path, piece) != NULL; }

/* Whether a call of `kind` on the descriptor `fd` is watched: its kind is
 * wanted and its path (into `path`, looked up only then) matches. */
static int WatchedFd(int kind, int fd, char* path, size_t size) {
  if (!Wanted(kind)) return 0;
  FdPath(fd, path, size);
  return PathMatches(path);
}

/* Holds the matching call numbered hold_at until hold_file is there (at
 * most 30 s): the test knows the program is inside that call, not past its
 * end, when it does something to the file system meanwhile. */
static void Hold(long n) {
  if (n != hold_at || hold_file == NULL) return;
  const int saved = errno;
  const struct timespec pause = {0, 1000000};
  for (int i = 0; i < 30000 && access(hold_file, F_OK) != 0; ++i) nanosleep(&pause, NULL);
  errno = saved;
}

/* Counts a matching call: whether it fails, and its number in `n`. */
static int Fails(long* n) {
  *n = __atomic_fetch_add(&matched, 1, __ATOMIC_SEQ_CST);
  Hold(*n);
  return *n >= skip_first && (fail_times < 0 || *n - skip_first < fail_times);
}

static char Mode(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return 'd';
  const int flags = fcntl(fd, F_GETFL);
  return flags < 0 ? '?' : (flags & O_ACCMODE) == O_RDONLY ? 'r' : 'w';
}

static size_t Put(char* line, size_t at, size_t size, const char* text) {
  while (*text != '\0' && at + 1 < size) line[at++] = *text++;
  return at;
}

static size_t PutNumber(char* line, size_t at, size_t size, long value) {
  char digits[24];
  int n = 0;
  unsigned long u = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
  do {
    digits[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (value < 0 && at + 1 < size) line[at++] = '-';
  while (n > 0 && at + 1 < size) line[at++] = digits[--n];
  return at;
}

static void Log(const char* call, long n, int failed, char mode, long result, const char* path,
                const char* to) {
  if (log_fd < 0) return;
  const int saved = errno;
  char line[4096 + 64];
  const size_t size = sizeof line;
  size_t at = PutNumber(line, 0, size, (long)getpid());
  at = Put(line, at, size, "\t");
  at = Put(line, at, size, call);
  at = Put(line, at, size, "\t");
  at = PutNumber(line, at, size, n);
  at = Put(line, at, size, failed ? "\tfail\t" : "\tpass\t");
  char m[2] = {mode, '\0'};
  at = Put(line, at, size, m);
  at = Put(line, at, size, "\t");
  at = PutNumber(line, at, size, result);
  at = Put(line, at, size, "\t");
  at = Put(line, at, size, path);
  if (to != NULL) {
    at = Put(line, at, size, " -> ");
    at = Put(line, at, size, to);
  }
  line[at++] = '\n';
  ssize_t ignored = write(log_fd, line, at);
  (void)ignored;
  errno = saved;
}

/* One read-like call: `do_read` runs the real one. */
#define READ_LIKE(kind, label, fd, do_read)                            \
  do {                                                                 \
    char path[4096];                                                   \
    if (!WatchedFd(kind, fd, path, sizeof path)) return (do_read);     \
    long n;                                                            \
    if (Fails(&n)) {                                                   \
      const char mode = Mode(fd);                                      \
      if (early_eof) {                                                 \
        Log(label, n, 1, mode, 0, path, NULL);                         \
        return 0;                                                      \
      }                                                                \
      Log(label, n, 1, mode, -1, path, NULL);                          \
      errno = fault_errno;                                             \
      return -1;                                                       \
    }                                                                  \
    const ssize_t got = (do_read);                                     \
    const int saved = errno;                                           \
    Log(label, n, 0, Mode(fd), (long)got, path, NULL);                 \
    errno = saved;                                                     \
    return got;                                                        \
  } while (0)

ssize_t read(int fd, void* buf, size_t count) {
  REAL(ReadFn, read);
  READ_LIKE(kRead, "read", fd, read_real(fd, buf, count));
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  REAL(ReadChkFn, __read_chk);
  READ_LIKE(kRead, "read", fd, __read_chk_real(fd, buf, count, buflen));
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  REAL(PreadFn, pread);
  READ_LIKE(kPread, "pread", fd, pread_real(fd, buf, count, offset));
}

ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
  REAL(Pread64Fn, pread64);
  READ_LIKE(kPread, "pread", fd, pread64_real(fd, buf, count, offset));
}

ssize_t __pread_chk(int fd, void* buf, size_t count, off_t offset, size_t buflen) {
  REAL(PreadChkFn, __pread_chk);
  READ_LIKE(kPread, "pread", fd, __pread_chk_real(fd, buf, count, offset, buflen));
}

ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t offset, size_t buflen) {
  REAL(Pread64ChkFn, __pread64_chk);
  READ_LIKE(kPread, "pread", fd, __pread64_chk_real(fd, buf, count, offset, buflen));
}

/* A call that does its work and then may report a failure: close (the
 * descriptor is gone either way) and fsync. */
#define DONE_THEN_FAIL(kind, label, fd, do_call)                       \
  do {                                                                 \
    char path[4096];                                                   \
    if (!WatchedFd(kind, fd, path, sizeof path)) return (do_call);     \
    const char mode = Mode(fd);                                        \
    long n;                                                            \
    const int fails = Fails(&n);                                       \
    const int result = (do_call);                                      \
    const int saved = errno;                                           \
    if (fails && result == 0) {                                        \
      Log(label, n, 1, mode, -1, path, NULL);                          \
      errno = early_eof ? EIO : fault_errno;                           \
      return -1;                                                       \
    }                                                                  \
    Log(label, n, 0, mode, result, path, NULL);                        \
    errno = saved;                                                     \
    return result;                                                     \
  } while (0)

int close(int fd) {
  REAL(FdFn, close);
  DONE_THEN_FAIL(kClose, "close", fd, close_real(fd));
}

int fsync(int fd) {
  REAL(FdFn, fsync);
  DONE_THEN_FAIL(kFsync, "fsync", fd, fsync_real(fd));
}

int fdatasync(int fd) {
  REAL(FdFn, fdatasync);
  DONE_THEN_FAIL(kFdatasync, "fdatasync", fd, fdatasync_real(fd));
}

/* A rename that fails does nothing. */
#define RENAME_LIKE(label, from_dir, from, to_dir, to, do_rename)      \
  do {                                                                 \
    if (!Wanted(kRename)) return (do_rename);                          \
    char a[4096], b[4096];                                             \
    AtPath(from_dir, from, a, sizeof a);                               \
    AtPath(to_dir, to, b, sizeof b);                                   \
    if (!PathMatches(a) && !PathMatches(b)) return (do_rename);        \
    long n;                                                            \
    if (Fails(&n)) {                                                   \
      Log(label, n, 1, '-', -1, a, b);                                 \
      errno = early_eof ? EIO : fault_errno;                           \
      return -1;                                                       \
    }                                                                  \
    const int result = (do_rename);                                    \
    const int saved = errno;                                           \
    Log(label, n, 0, '-', result, a, b);                               \
    errno = saved;                                                     \
    return result;                                                     \
  } while (0)

int rename(const char* from, const char* to) {
  REAL(RenameFn, rename);
  RENAME_LIKE("rename", AT_FDCWD, from, AT_FDCWD, to, rename_real(from, to));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  REAL(RenameatFn, renameat);
  RENAME_LIKE("renameat", from_dir, from, to_dir, to, renameat_real(from_dir, from, to_dir, to));
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  REAL(Renameat2Fn, renameat2);
  RENAME_LIKE("renameat2", from_dir, from, to_dir, to,
              renameat2_real(from_dir, from, to_dir, to, flags));
}
