/* Fault injection for the end-to-end tests, loaded with LD_PRELOAD: the Nth
 * call of one kind on a path under a directory fails with a chosen errno (or
 * the process is killed there), and the calls of every kind are counted so
 * that a test can aim at each one in turn.
 *
 *   TV_FAULT_UNDER   the directory whose paths count (the store)
 *   TV_FAULT_CALL    open, read, write, fsync, close, rename, mkdir, opendir
 *                    or readdir
 *   TV_FAULT_AT      which call of that kind, from 1
 *   TV_FAULT_ERRNO   the errno it fails with (a number; EIO when unset)
 *   TV_FAULT_ACTION  "kill": SIGKILL the process at that call instead
 *   TV_FAULT_COUNTS  a file that gets "KIND COUNT" lines at exit
 *
 * File descriptors, streams and directory streams opened on such paths count
 * for the calls made on them. A failed close or fclose still closes, as the
 * kernel does. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { K_OPEN, K_READ, K_WRITE, K_FSYNC, K_CLOSE, K_RENAME, K_MKDIR, K_OPENDIR, K_READDIR, K_COUNT };
static const char* const kNames[K_COUNT] = {"open",   "read",  "write",   "fsync",  "close",
                                            "rename", "mkdir", "opendir", "readdir"};

#define MAX_FDS 4096
#define MAX_DIRS 64

static unsigned long counts[K_COUNT];
static unsigned char tracked[MAX_FDS];
static DIR* trackedDirs[MAX_DIRS];
static int configured;
static const char* under;
static size_t underLength;
static int faultKind = -1;
static unsigned long faultAt;
static int faultErrno = EIO;
static int faultKills;

static void configure(void) {
  if (configured) return;
  configured = 1;
  under = getenv("TV_FAULT_UNDER");
  underLength = under != NULL ? strlen(under) : 0;
  while (underLength > 1 && under[underLength - 1] == '/') --underLength;
  const char* call = getenv("TV_FAULT_CALL");
  for (int k = 0; call != NULL && k < K_COUNT; ++k) {
    if (strcmp(call, kNames[k]) == 0) faultKind = k;
  }
  const char* at = getenv("TV_FAULT_AT");
  faultAt = at != NULL ? strtoul(at, NULL, 10) : 0;
  const char* number = getenv("TV_FAULT_ERRNO");
  if (number != NULL && atoi(number) > 0) faultErrno = atoi(number);
  const char* action = getenv("TV_FAULT_ACTION");
  faultKills = action != NULL && strcmp(action, "kill") == 0;
}

static int isUnder(const char* path) {
  configure();
  if (path == NULL || underLength == 0) return 0;
  return strncmp(path, under, underLength) == 0 && (path[underLength] == '\0' || path[underLength] == '/');
}

static int isTracked(int fd) { return fd >= 0 && fd < MAX_FDS && tracked[fd]; }

static void track(int fd, int on) {
  if (fd >= 0 && fd < MAX_FDS) tracked[fd] = (unsigned char)on;
}

/* Counts one call of the kind; true when this one is to fail (errno set). */
static int strikes(int kind) {
  configure();
  const unsigned long n = __atomic_add_fetch(&counts[kind], 1, __ATOMIC_SEQ_CST);
  if (kind != faultKind || n != faultAt) return 0;
  if (faultKills) kill(getpid(), SIGKILL);
  errno = faultErrno;
  return 1;
}

#define REAL(name)                        \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static int openedFd(int fd, const char* path) {
  if (fd >= 0 && isUnder(path)) track(fd, 1);
  return fd;
}

static int openCommon(const char* symbol, int dirfd, const char* path, int flags, mode_t mode) {
  typedef int (*openat_t)(int, const char*, int, ...);
  static openat_t real_openat;
  if (real_openat == NULL) real_openat = (openat_t)dlsym(RTLD_NEXT, "openat");
  (void)symbol;
  if (isUnder(path) && strikes(K_OPEN)) return -1;
  return openedFd(real_openat(dirfd, path, flags, mode), path);
}

static mode_t modeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | __O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeArgument(flags, args);
  va_end(args);
  return openCommon("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeArgument(flags, args);
  va_end(args);
  return openCommon("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeArgument(flags, args);
  va_end(args);
  return openCommon("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeArgument(flags, args);
  va_end(args);
  return openCommon("openat64", dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) { return openCommon("__open_2", AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return openCommon("__open64_2", AT_FDCWD, path, flags, 0); }

static FILE* fopenCommon(FILE* (*real)(const char*, const char*), const char* path, const char* mode) {
  if (isUnder(path) && strikes(K_OPEN)) return NULL;
  FILE* stream = real(path, mode);
  if (stream != NULL) openedFd(fileno(stream), path);
  return stream;
}

FILE* fopen(const char* path, const char* mode) {
  REAL(fopen);
  return fopenCommon(real_fopen, path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  REAL(fopen64);
  return fopenCommon(real_fopen64, path, mode);
}

ssize_t read(int fd, void* buffer, size_t count) {
  REAL(read);
  if (isTracked(fd) && strikes(K_READ)) return -1;
  return real_read(fd, buffer, count);
}

/* A stream read that fails leaves the stream's error flag set, as a failed
 * read of the system does. */
static void markError(FILE* stream) { stream->_flags |= _IO_ERR_SEEN; }

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  REAL(fread);
  if (stream != NULL && isTracked(fileno(stream)) && strikes(K_READ)) {
    markError(stream);
    return 0;
  }
  return real_fread(buffer, size, count, stream);
}

char* fgets(char* buffer, int size, FILE* stream) {
  REAL(fgets);
  if (stream != NULL && isTracked(fileno(stream)) && strikes(K_READ)) {
    markError(stream);
    return NULL;
  }
  return real_fgets(buffer, size, stream);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  REAL(write);
  if (isTracked(fd) && strikes(K_WRITE)) return -1;
  return real_write(fd, buffer, count);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  REAL(fwrite);
  if (isTracked(fileno(stream)) && strikes(K_WRITE)) {
    markError(stream);
    return 0;
  }
  return real_fwrite(buffer, size, count, stream);
}

int fsync(int fd) {
  REAL(fsync);
  if (isTracked(fd) && strikes(K_FSYNC)) return -1;
  return real_fsync(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  if (isTracked(fd) && strikes(K_FSYNC)) return -1;
  return real_fdatasync(fd);
}

int close(int fd) {
  REAL(close);
  const int counted = isTracked(fd);
  track(fd, 0);
  const int result = real_close(fd);
  if (counted && strikes(K_CLOSE)) return -1;
  return result;
}

int fclose(FILE* stream) {
  REAL(fclose);
  const int fd = stream != NULL ? fileno(stream) : -1;
  const int counted = isTracked(fd);
  track(fd, 0);
  const int result = real_fclose(stream);
  if (counted && strikes(K_CLOSE)) return EOF;
  return result;
}

int rename(const char* from, const char* to) {
  REAL(rename);
  if ((isUnder(from) || isUnder(to)) && strikes(K_RENAME)) return -1;
  return real_rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  REAL(renameat);
  if ((isUnder(from) || isUnder(to)) && strikes(K_RENAME)) return -1;
  return real_renameat(fromDir, from, toDir, to);
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  if (isUnder(path) && strikes(K_MKDIR)) return -1;
  return real_mkdir(path, mode);
}

DIR* opendir(const char* path) {
  REAL(opendir);
  if (isUnder(path) && strikes(K_OPENDIR)) return NULL;
  DIR* directory = real_opendir(path);
  if (directory != NULL && isUnder(path)) {
    for (int i = 0; i < MAX_DIRS; ++i) {
      if (__atomic_compare_exchange_n(&trackedDirs[i], &(DIR*){NULL}, directory, 0, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
        break;
      }
    }
  }
  return directory;
}

static int isTrackedDir(DIR* directory) {
  for (int i = 0; directory != NULL && i < MAX_DIRS; ++i) {
    if (__atomic_load_n(&trackedDirs[i], __ATOMIC_SEQ_CST) == directory) return 1;
  }
  return 0;
}

struct dirent* readdir(DIR* directory) {
  REAL(readdir);
  if (isTrackedDir(directory) && strikes(K_READDIR)) return NULL;
  return real_readdir(directory);
}

struct dirent64* readdir64(DIR* directory) {
  REAL(readdir64);
  if (isTrackedDir(directory) && strikes(K_READDIR)) return NULL;
  return real_readdir64(directory);
}

int closedir(DIR* directory) {
  REAL(closedir);
  for (int i = 0; i < MAX_DIRS; ++i) {
    DIR* expected = directory;
    __atomic_compare_exchange_n(&trackedDirs[i], &expected, NULL, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  }
  return real_closedir(directory);
}

__attribute__((destructor)) static void reportCounts(void) {
  const char* path = getenv("TV_FAULT_COUNTS");
  if (path == NULL) return;
  configured = 1;
  underLength = 0;  /* nothing below is counted */
  FILE* out = fopen(path, "w");
  if (out == NULL) return;
  for (int k = 0; k < K_COUNT; ++k) fprintf(out, "%s %lu\n", kNames[k], counts[k]);
  fclose(out);
}
