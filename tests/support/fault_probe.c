/* Makes one kind of file call and prints what each call gave, so that the
 * tests can see the failing disk of fault_preload at work call by call:
 *
 *   fault_probe read|pread FILE CHUNK   reads FILE in CHUNK-byte calls until
 *                                       a call gives 0 once all of it is
 *                                       read, or 8 calls: "4 EIO 4 3 0"
 *   fault_probe close FILE              opens and closes FILE: "0 closed"
 *                                       or "EIO closed" (or "... open")
 *   fault_probe fsync|fdatasync FILE    "0" or the error (FILE may be a
 *                                       folder)
 *   fault_probe rename FROM TO          "0" or the error
 *
 * Each call's result is its byte count or return value, or the name of its
 * errno. Exit 0 unless the probe itself could not start. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void Result(long value, const char* sep) {
  if (value < 0) {
    const char* name = strerrorname_np(errno);
    printf("%s%s", name ? name : "E?", sep);
  } else {
    printf("%ld%s", value, sep);
  }
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* op = argv[1];
  if (strcmp(op, "rename") == 0) {
    if (argc != 4) return 2;
    Result(rename(argv[2], argv[3]), "\n");
    return 0;
  }
  const int positioned = strcmp(op, "pread") == 0;
  if (positioned || strcmp(op, "read") == 0) {
    if (argc != 4) return 2;
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 2;
    const size_t chunk = strtoul(argv[3], NULL, 10);
    char* buf = malloc(chunk ? chunk : 1);
    off_t have = 0;
    for (int call = 0; call < 8; ++call) {
      const ssize_t n = positioned ? pread(fd, buf, chunk, have) : read(fd, buf, chunk);
      if (n > 0) have += n;
      const int done = n == 0 && have >= st.st_size;
      Result(n, done || call == 7 ? "\n" : " ");
      if (done) break;
    }
    free(buf);
    return 0;
  }
  if (strcmp(op, "close") == 0) {
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 2;
    Result(close(fd), " ");
    printf("%s\n", fcntl(fd, F_GETFD) == -1 && errno == EBADF ? "closed" : "open");
    return 0;
  }
  const int data_only = strcmp(op, "fdatasync") == 0;
  if (data_only || strcmp(op, "fsync") == 0) {
    int fd = open(argv[2], O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == EISDIR) fd = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 2;
    Result(data_only ? fdatasync(fd) : fsync(fd), "\n");
    return 0;
  }
  return 2;
}
