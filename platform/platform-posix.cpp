// POSIX bodies of the platform operations: files, folders, paths and threads.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_time-posix.h"
#include "platform/metadata.h"
#include "platform/platform.h"
#include "platform/spelling-posix.h"

namespace {
bool skipDots(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// What the listing tells of an entry's metadata, from the look it took anyway.
void fillMetadata(const struct stat& info, EntryMetadata* metadata) {
  metadata->mode = static_cast<uint32_t>(info.st_mode & 07777);
  metadata->owner = static_cast<uint32_t>(info.st_uid);
  metadata->group = static_cast<uint32_t>(info.st_gid);
  metadata->changeTime = toFileTime(info.st_ctim);
}

// A link given as it is: its own size and time, and its target's bytes. 1 when it
// could not be read (gone since: 0, nothing given).
int giveLinkAsIs(int directoryFd, const char* name, const struct stat& info, ListedEntry* listed,
                 ListedEntrySink sink, void* context) {
  char target[PATH_MAX + 1];
  ssize_t length = readlinkat(directoryFd, name, target, sizeof target - 1);
  if (length < 0) return errno == ENOENT ? 0 : 1;
  target[length] = '\0';
  listed->kind = entryLink;
  listed->size = static_cast<uint64_t>(length);
  listed->lastWrite = toFileTime(info.st_mtim);
  listed->target = target;
  sink(context, listed);
  return 0;
}

// A link as the default listing takes it: one to a file stands for its target; one
// to a folder is never walked, and a broken one is nothing to copy: both are given as
// links, for the walk to count. A target that exists but cannot be examined (no
// access) may be a file: the listing is not whole without it. 1 then.
int followLink(int directoryFd, const char* name, struct stat* info, ListedEntry* listed,
               ListedEntrySink sink, void* context) {
  if (fstatat(directoryFd, name, info, 0) == 0 && S_ISREG(info->st_mode)) return -1;
  if (errno != 0 && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) return 1;
  listed->kind = entryLink;
  sink(context, listed);
  return 0;
}

// Gives one entry to the sink as asIs asks (listLinksAsIs, ...); returns 1 when it
// could not be examined.
int giveEntry(int directoryFd, const struct dirent* entry, int asIs, ListedEntrySink sink,
              void* context) {
  ListedEntry listed = {entry->d_name, entryFolder,    0, FileTime{0, 0}, 1, FileIdentity{0, 0},
                        nullptr,       EntryMetadata{}};
  // A folder's time costs a call of its own: only read where asked for ("." and
  // ".." are given as they always were, and never stored).
  if (entry->d_type == DT_DIR && (!(asIs & listFolderTimes) || skipDots(entry->d_name))) {
    sink(context, &listed);
    return 0;
  }
  struct stat info;
  if (fstatat(directoryFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : 1;  // gone since it was read: nothing to list
  if (S_ISLNK(info.st_mode)) {
    if (asIs & listMetadata) fillMetadata(info, &listed.metadata);
    if (asIs & listLinksAsIs)
      return giveLinkAsIs(directoryFd, entry->d_name, info, &listed, sink, context);
    errno = 0;
    int followed = followLink(directoryFd, entry->d_name, &info, &listed, sink, context);
    if (followed >= 0) return followed;
  }
  listed.lastWrite = toFileTime(info.st_mtim);
  if (asIs & listMetadata) fillMetadata(info, &listed.metadata);
  if (S_ISDIR(info.st_mode)) {
    if (!(asIs & listFolderTimes)) listed.lastWrite = FileTime{0, 0};
  } else if (S_ISREG(info.st_mode)) {
    listed.kind = entryFile;
    listed.size = static_cast<uint64_t>(info.st_size);
    listed.links = static_cast<uint32_t>(info.st_nlink);
    if ((asIs & listFileLinks) && info.st_nlink > 1)
      listed.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  } else {
    listed.kind = entryOther;
  }
  sink(context, &listed);
  return 0;
}

struct ThreadStart {
  ThreadProc proc;
  void* argument;
  unsigned result;
};

void* threadTrampoline(void* start) {
  ThreadStart* thread = static_cast<ThreadStart*>(start);
  thread->result = thread->proc(thread->argument);
  return nullptr;
}

// Appends one path component to a resolved path held in out.
int appendComponent(char* out, size_t outSize, const char* component, size_t length) {
  size_t used = strlen(out);
  int needsSeparator = used == 0 || out[used - 1] != '/';
  if (used + needsSeparator + length + 1 > outSize) return 1;
  if (needsSeparator) out[used++] = '/';
  memcpy(out + used, component, length);
  out[used + length] = '\0';
  return 0;
}

void dropLastComponent(char* out) {
  char* last = strrchr(out, '/');
  if (last == out)
    out[1] = '\0';
  else if (last)
    *last = '\0';
}
}  // namespace

int listDirectory(const char* path, int asIs, ListedEntrySink sink, void* context,
                  const FileIdentity* watched, int* isWatched, int* failure) {
  if (isWatched) *isWatched = 0;
  int ownFailure = 0;
  if (!failure) failure = &ownFailure;
  *failure = 0;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *failure = errno;
    return errno == ENOENT ? enumerateMissing : enumerateUnreadable;
  }
  if (watched && isWatched) {
    // The folder as it was opened: one call on a descriptor held already.
    struct stat info;
    if (fstat(fd, &info) == 0) {
      FileIdentity listed = {static_cast<uint64_t>(info.st_dev),
                             static_cast<uint64_t>(info.st_ino)};
      *isWatched = sameFileIdentity(listed, *watched);
    }
  }
  DIR* directory = fdopendir(fd);
  if (!directory) {
    *failure = errno;
    close(fd);
    return enumerateUnreadable;
  }
  int result = enumerateListed;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(directory);
    if (!entry) {
      if (errno != 0 && result == enumerateListed) *failure = errno;
      if (errno != 0) result = enumerateBroken;
      break;
    }
    // The first entry that could not be examined gives the reason.
    if (giveEntry(fd, entry, asIs, sink, context) && result == enumerateListed) {
      *failure = errno;
      result = enumerateBroken;
    }
  }
  closedir(directory);
  return result;
}

PlatformThread* startThread(ThreadProc proc, void* argument) {
  ThreadStart* start = new ThreadStart{proc, argument, 0};
  pthread_t* thread = new pthread_t;
  if (pthread_create(thread, nullptr, threadTrampoline, start) != 0) {
    delete start;
    delete thread;
    return nullptr;
  }
  // The handle carries both, so the waiter can read the result and free them.
  void** handle = new void* [2] { thread, start };
  return reinterpret_cast<PlatformThread*>(handle);
}

int waitThread(PlatformThread* thread, unsigned* result) {
  void** handle = reinterpret_cast<void**>(thread);
  pthread_t* id = static_cast<pthread_t*>(handle[0]);
  ThreadStart* start = static_cast<ThreadStart*>(handle[1]);
  int failed = pthread_join(*id, nullptr) != 0;
  if (!failed) *result = start->result;
  delete id;
  delete start;
  delete[] handle;
  return failed;
}

int getFileTime(const char* path, FileTime* time) {
  struct stat info;
  if (stat(path, &info) != 0) return 1;
  *time = toFileTime(info.st_mtim);
  return 0;
}

int readEntryMetadata(const char* path, EntryMetadata* metadata) {
  struct stat info;
  if (stat(path, &info) != 0) return 1;
  *metadata =
      EntryMetadata{static_cast<uint32_t>(info.st_mode & 07777), static_cast<uint32_t>(info.st_uid),
                    static_cast<uint32_t>(info.st_gid), 0, toFileTime(info.st_ctim)};
  return 0;
}

int fileIdentity(const char* path, FileIdentity* identity) {
  struct stat info;
  if (lstat(path, &info) != 0) return 1;
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return 0;
}

// Resolves component by component: realpath while the path exists, each name
// spelt as its folder lists it, then the missing rest lexically, as the folders the
// copies create will make it.
int resolveFullPath(const char* path, char* out, size_t outSize) {
  char resolved[PATH_MAX];
  if (path[0] == '/') {
    strcpy(resolved, "/");
  } else if (!getcwd(resolved, sizeof resolved)) {
    return 1;
  }
  int exists = 1;
  const char* cursor = path;
  while (*cursor) {
    while (*cursor == '/') ++cursor;
    const char* end = strchr(cursor, '/');
    size_t length = end ? static_cast<size_t>(end - cursor) : strlen(cursor);
    if (length == 0) break;
    if (length == 1 && cursor[0] == '.') {
    } else if (length == 2 && cursor[0] == '.' && cursor[1] == '.') {
      dropLastComponent(resolved);
    } else {
      if (appendComponent(resolved, sizeof resolved, cursor, length)) return 1;
      char real[PATH_MAX];
      if (exists && realpath(resolved, real)) {
        strcpy(resolved, real);
        spellAsListed(resolved, sizeof resolved);
      } else {
        exists = 0;
      }
    }
    cursor += length;
  }
  if (strlen(resolved) + 1 > outSize) return 1;
  strcpy(out, resolved);
  return 0;
}

int pathNamesEqual(const char* a, const char* b) {
  return strcmp(a, b) == 0;
}

int pathNamesEqualN(const char* a, const char* b, size_t n) {
  return memcmp(a, b, n) == 0;
}

int isPathSeparator(char c) {
  return c == '/';
}

struct PlatformLock {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

PlatformLock* createLock() {
  PlatformLock* lock = static_cast<PlatformLock*>(malloc(sizeof(PlatformLock)));
  if (!lock) return nullptr;
  if (pthread_mutex_init(&lock->mutex, nullptr) != 0) {
    free(lock);
    return nullptr;
  }
  if (pthread_cond_init(&lock->condition, nullptr) != 0) {
    pthread_mutex_destroy(&lock->mutex);
    free(lock);
    return nullptr;
  }
  return lock;
}

void destroyLock(PlatformLock* lock) {
  if (!lock) return;
  pthread_cond_destroy(&lock->condition);
  pthread_mutex_destroy(&lock->mutex);
  free(lock);
}

void takeLock(PlatformLock* lock) {
  pthread_mutex_lock(&lock->mutex);
}

void releaseLock(PlatformLock* lock) {
  pthread_mutex_unlock(&lock->mutex);
}

void waitOnLock(PlatformLock* lock) {
  pthread_cond_wait(&lock->condition, &lock->mutex);
}

void wakeLockWaiters(PlatformLock* lock) {
  pthread_cond_broadcast(&lock->condition);
}

int usableProcessors() {
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    return CPU_COUNT(&allowed);
#endif
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}
