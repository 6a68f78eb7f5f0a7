// POSIX bodies of the test helpers.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/file_time-posix.h"
#include "platform/test_support.h"

namespace {
// The runs a test makes in this process are runs with no person at the terminal,
// however the tests were started: standard input is no terminal for them, so that
// no run waits for an answer. The tests that type at a terminal start their runs
// on one of their own.
struct InputFromNothing {
  InputFromNothing() {
    if (!isatty(STDIN_FILENO)) return;
    int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0) return;
    dup2(nothing, STDIN_FILENO);
    close(nothing);
  }
} inputFromNothing;

// Reads what a child writes into the pipe until the pipe closes, closes it, waits
// for the child and stores its wait status.
std::string collectChild(int readEnd, pid_t child, int* status) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(readEnd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(got));
  close(readEnd);
  waitpid(child, status, 0);
  return text;
}

// In a child: runs talven with the arguments in workingDirectory.
[[noreturn]] void execProgram(const std::vector<std::string>& arguments,
                              const std::string& workingDirectory) {
  if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(127);
  std::string program = programPath();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : (chmod(path, 0700), remove(path));
}

int makeWritable(const char* path, const struct stat* info, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR)
    chmod(path, 0700);
  else if (type == FTW_F)
    chmod(path, (info->st_mode & 07777) | 0600);
  return 0;
}

void collectFiles(const std::string& root, const std::string& relative,
                  std::vector<std::string>* files) {
  std::string folder = relative.empty() ? root : root + "/" + relative;
  DIR* directory = opendir(folder.c_str());
  if (!directory) return;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    if (lstat((root + "/" + child).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode))
      collectFiles(root, child, files);
    else
      files->push_back(child);
  }
  closedir(directory);
}

int64_t units(const struct timespec& time) {
  return (static_cast<int64_t>(time.tv_sec) + 11644473600LL) * 10000000LL + time.tv_nsec / 100;
}
}  // namespace

std::string makeScratchFolder() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/talven-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return std::string();
  // Resolved, so that paths in messages match what the program resolves.
  char real[PATH_MAX];
  return realpath(buffer.data(), real) ? std::string(real) : std::string(buffer.data());
}

void removeScratchFolder(const std::string& path) {
  if (path.empty() || path.find("talven-test-") == std::string::npos) return;
  nftw(path.c_str(), makeWritable, 16, FTW_PHYS);
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string joinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  return a.back() == '/' ? a + b : a + "/" + b;
}

bool makeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

int setFileTimes(const char* path, FileTime time) {
  struct timespec times[2] = {toTimespec(time), toTimespec(time)};
  if (utimensat(AT_FDCWD, path, times, 0) == 0) return 0;
  return errno == ENOENT || errno == EACCES ? 1 : 2;
}

int deleteFile(const char* path) {
  return unlink(path) == 0 ? 0 : 1;
}

int makeDirectory(const char* path) {
  return mkdir(path, 0777) == 0 ? 0 : 1;
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash))) return false;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && written;
}

bool writeSparseFile(const std::string& path, long long size,
                     const std::vector<FilePiece>& pieces) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = true;
  for (const FilePiece& piece : pieces)
    written = written && pwrite(fd, piece.bytes.data(), piece.bytes.size(), piece.offset) ==
                             static_cast<ssize_t>(piece.bytes.size());
  written = written && ftruncate(fd, size) == 0;
  return close(fd) == 0 && written;
}

bool readFileBytes(const std::string& path, std::string* bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  bytes->clear();
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, got);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool makeHardLink(const std::string& target, const std::string& link) {
  return ::link(target.c_str(), link.c_str()) == 0;
}

bool makeSymlink(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}

bool setWritable(const std::string& path, bool writable) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  mode_t mode = info.st_mode & 07777;
  mode = writable ? (mode | 0200) : (mode & ~0222);
  return chmod(path.c_str(), mode) == 0;
}

std::vector<std::string> listFiles(const std::string& root) {
  std::vector<std::string> files;
  collectFiles(root, "", &files);
  std::sort(files.begin(), files.end());
  return files;
}

std::string programPath() {
  return TALVEN_PROGRAM;
}

int runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
               std::string* output) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    execProgram(arguments, workingDirectory);
  }
  close(pipeEnds[1]);
  int status = 0;
  std::string text = collectChild(pipeEnds[0], child, &status);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runProgramWithErrors(const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, const std::string& errorsFile,
                         std::string* output, std::string* errors) {
  int errorsEnd = open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (errorsEnd < 0) return -1;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    close(errorsEnd);
    return -1;
  }
  pid_t child = fork();
  if (child == 0) {
    int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    dup2(errorsEnd, STDERR_FILENO);
    close(pipeEnds[0]);
    execProgram(arguments, workingDirectory);
  }
  close(pipeEnds[1]);
  close(errorsEnd);
  int status = 0;
  std::string text = collectChild(pipeEnds[0], child, &status);
  if (output) *output = text;
  if (errors && !readFileBytes(errorsFile, errors)) errors->clear();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runProgramToOneFile(const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, const std::string& outputFile,
                        std::string* output) {
  int file = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file < 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
    dup2(file, STDOUT_FILENO);
    dup2(file, STDERR_FILENO);
    execProgram(arguments, workingDirectory);
  }
  close(file);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  if (output && !readFileBytes(outputFile, output)) output->clear();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long long allocatedBytes(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) * 512 : -1;
}

bool readFileTimes(const std::string& path, FileTimes* times) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  times->creation = 0;
  times->lastAccess = units(info.st_atim);
  times->lastWrite = units(info.st_mtim);
  return true;
}

bool runningPrivileged() {
  return geteuid() == 0;
}

namespace {
// Exit status of a child that could not give up its rights.
constexpr int notUnprivileged = 125;

void runChild(int outputEnd, int (*body)(void*), void* context) {
  dup2(outputEnd, STDOUT_FILENO);
  struct passwd* nobody = getpwnam("nobody");
  uid_t user = nobody ? nobody->pw_uid : 65534;
  gid_t group = nobody ? nobody->pw_gid : 65534;
  if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(user) != 0 || geteuid() == 0)
    _exit(notUnprivileged);
  int result = body(context);
  fflush(stdout);
  _exit(result >= 0 && result < notUnprivileged ? result : notUnprivileged);
}
}  // namespace

int runUnprivileged(const std::string& folder, int (*body)(void* context), void* context,
                    std::string* output) {
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || chmod(folder.c_str(), (info.st_mode & 07777) | 0777))
    return -1;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    close(pipeEnds[0]);
    runChild(pipeEnds[1], body, context);
  }
  close(pipeEnds[1]);
  int status = 0;
  std::string text = collectChild(pipeEnds[0], child, &status);
  if (output) *output = text;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == notUnprivileged) return -1;
  return WEXITSTATUS(status);
}

bool mountSmallFileSystem(const std::string& folder, int kilobytes) {
  std::string options = "size=" + std::to_string(kilobytes) + "k";
  return mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

bool bindFolder(const std::string& folder, const std::string& place) {
  return mount(folder.c_str(), place.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool freezeFolder(const std::string& folder) {
  if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  if (mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0)
    return true;
  umount2(folder.c_str(), MNT_DETACH);
  return false;
}

void unmountFileSystem(const std::string& folder) {
  umount2(folder.c_str(), MNT_DETACH);
}

namespace {
// Waits until the terminal has taken in what was typed (its echo appears on the
// master side), then drops the echo.
void awaitTyped(int master) {
  struct pollfd echo = {master, POLLIN, 0};
  if (poll(&echo, 1, 2000) <= 0) return;
  char buffer[256];
  while (poll(&echo, 1, 50) > 0 && read(master, buffer, sizeof buffer) > 0) {
  }
}

bool canonicalWithEcho(int terminal) {
  struct termios mode;
  return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ICANON) && (mode.c_lflag & ECHO);
}
}  // namespace

namespace {
// Exit status of the helper process when the terminal stopped the program.
constexpr int stoppedStatus = 126;

// In the child: makes the terminal its controlling terminal, as a login shell has it,
// and for a background run starts the program in a process group of its own, as a
// shell does for a job started with '&', waiting for it like the shell would.
void enterTerminal(int slave, bool inBackground) {
  setsid();
  ioctl(slave, TIOCSCTTY, 0);
  if (!inBackground) return;
  pid_t program = fork();
  if (program == 0) {
    setpgid(0, 0);
    return;
  }
  int status = 0;
  while (waitpid(program, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  if (WIFSTOPPED(status)) {
    kill(program, SIGKILL);
    waitpid(program, &status, 0);
    _exit(stoppedStatus);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int runOnTerminal(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                  const std::string& typedKeys, std::string* output, bool* terminalRestored,
                  bool inBackground) {
  int master, slave, pipeEnds[2];
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
  if (pipe(pipeEnds) != 0) {
    close(master);
    close(slave);
    return -1;
  }
  // Typed before the program starts, so the keys are already waiting for its first look.
  if (!typedKeys.empty() && write(master, typedKeys.data(), typedKeys.size()) > 0)
    awaitTyped(master);
  pid_t child = fork();
  if (child == 0) {
    close(master);
    close(pipeEnds[0]);
    enterTerminal(slave, inBackground);
    dup2(slave, STDIN_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    execProgram(arguments, workingDirectory);
  }
  close(pipeEnds[1]);
  int status = 0;
  std::string text = collectChild(pipeEnds[0], child, &status);
  if (output) *output = text;
  // The slave stayed open here, so its mode outlives the program for this look.
  if (terminalRestored) *terminalRestored = canonicalWithEcho(slave);
  close(slave);
  close(master);
  if (!WIFEXITED(status)) return 128 + WTERMSIG(status);
  if (WEXITSTATUS(status) == stoppedStatus && inBackground) return programStoppedByTerminal;
  return WEXITSTATUS(status);
}
}  // namespace

int runProgramOnTerminal(const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, const std::string& typedKeys,
                         std::string* output, bool* terminalRestored) {
  return runOnTerminal(arguments, workingDirectory, typedKeys, output, terminalRestored, false);
}

int runProgramInTerminalBackground(const std::vector<std::string>& arguments,
                                   const std::string& workingDirectory,
                                   const std::string& typedKeys, std::string* output,
                                   bool* terminalRestored) {
  return runOnTerminal(arguments, workingDirectory, typedKeys, output, terminalRestored, true);
}

namespace {
// The pseudo-terminal's master side in a child that runInChild started on one.
int childTerminalMaster = -1;
}  // namespace

int runInChild(int (*body)(void*), void* context, bool onTerminal, std::string* output,
               bool* terminalRestored) {
  int master = -1, slave = -1, pipeEnds[2];
  if (onTerminal && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
  if (pipe(pipeEnds) != 0) {
    if (onTerminal) {
      close(master);
      close(slave);
    }
    return -1;
  }
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    if (onTerminal) {
      enterTerminal(slave, false);
      dup2(slave, STDIN_FILENO);
      childTerminalMaster = master;
    }
    dup2(pipeEnds[1], STDOUT_FILENO);
    int result = body(context);
    fflush(stdout);
    _exit(result);
  }
  close(pipeEnds[1]);
  int status = 0;
  std::string text = collectChild(pipeEnds[0], child, &status);
  if (output) *output = text;
  if (onTerminal) {
    if (terminalRestored) *terminalRestored = canonicalWithEcho(slave);
    close(slave);
    close(master);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool typeOnTerminal(const std::string& keys) {
  if (childTerminalMaster < 0 ||
      write(childTerminalMaster, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
    return false;
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 5000) > 0;
}

bool makeEntryIn(const std::string& folder, const std::string& name, bool asFolder) {
  int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  bool made;
  if (asFolder) {
    made = mkdirat(directory, name.c_str(), 0777) == 0;
  } else {
    int file = openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    made = file >= 0 && close(file) == 0;
  }
  close(directory);
  return made;
}

bool removeEntryIn(const std::string& folder, const std::string& name) {
  int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  bool removed = unlinkat(directory, name.c_str(), 0) == 0 ||
                 unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0;
  close(directory);
  return removed;
}

bool makeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0666) == 0;
}

bool unblockPipeReaders(const std::string& path) {
  int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return writer >= 0 && close(writer) == 0;
}

bool exchangePaths(const std::string& a, const std::string& b) {
#if defined(__linux__) && defined(SYS_renameat2)
  constexpr unsigned exchange = 2;  // RENAME_EXCHANGE
  return syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), exchange) == 0;
#else
  (void)a;
  (void)b;
  return false;
#endif
}

bool setListable(const std::string& folder, bool listable) {
  return chmod(folder.c_str(), listable ? 0755 : 0) == 0;
}

// ---- Running the program without privileges, in the background, on deep trees ----
#include <signal.h>
#include <sys/types.h>

namespace {
// Exit status of a child that could not become the unprivileged user.
constexpr int rightsNotDropped = 125;

struct Identity {
  uid_t user;
  gid_t group;
};

// Child side of a program start: standard input from /dev/null, output to the pipe,
// standard error to errorsEnd unless it is -1, optionally as another user, then the
// program itself.
void execProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                 int outputEnd, int errorsEnd, const Identity* identity) {
  int nothing = open("/dev/null", O_RDONLY);
  dup2(nothing, STDIN_FILENO);
  dup2(outputEnd, STDOUT_FILENO);
  if (errorsEnd >= 0) dup2(errorsEnd, STDERR_FILENO);
  if (identity &&
      (setgroups(0, nullptr) != 0 ||
       setresgid(identity->group, identity->group, identity->group) != 0 ||
       setresuid(identity->user, identity->user, identity->user) != 0 || geteuid() == 0))
    _exit(rightsNotDropped);
  execProgram(arguments, workingDirectory);
}

bool spawnProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                  int errorsEnd, const Identity* identity, RunningProgram* program) {
  program->processId = -1;
  program->outputEnd = -1;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return false;
  }
  if (child == 0) {
    close(pipeEnds[0]);
    execProgram(arguments, workingDirectory, pipeEnds[1], errorsEnd, identity);
  }
  close(pipeEnds[1]);
  program->processId = child;
  program->outputEnd = pipeEnds[0];
  return true;
}

int shareEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR)
    chmod(path, 0777);
  else if (type == FTW_F)
    chmod(path, 0666);
  return 0;
}

// Removes everything inside the open folder, then closes it.
bool emptyFolderAt(int folder) {
  DIR* listing = fdopendir(folder);
  if (!listing) {
    close(folder);
    return false;
  }
  bool emptied = true;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const std::string& name : names) {
    if (unlinkat(folder, name.c_str(), 0) == 0) continue;
    fchmodat(folder, name.c_str(), 0700, 0);
    int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0 || !emptyFolderAt(inner) || unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0)
      emptied = false;
  }
  closedir(listing);
  return emptied;
}

// Opens the folder root/name/name/... at the given depth (0 is root itself).
int openChainFolder(const std::string& root, const std::string& name, int depth, bool create) {
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 1; level <= depth && folder >= 0; ++level) {
    if (create) mkdirat(folder, name.c_str(), 0777);
    int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(folder);
    folder = inner;
  }
  return folder;
}
}  // namespace

bool shareWithEveryone(const std::string& path) {
  return nftw(path.c_str(), shareEntry, 16, FTW_PHYS) == 0;
}

bool makeWriteOnlyFolder(const std::string& folder) {
  return chmod(folder.c_str(), 0333) == 0;
}

int runProgramUnprivileged(const std::vector<std::string>& arguments,
                           const std::string& workingDirectory, std::string* output) {
  if (!runningPrivileged()) return runProgram(arguments, workingDirectory, output);
  // Looked up before the fork: the child only makes system calls.
  struct passwd* nobody = getpwnam("nobody");
  Identity identity = {nobody ? nobody->pw_uid : 65534, nobody ? nobody->pw_gid : 65534};
  RunningProgram program;
  if (!spawnProgram(arguments, workingDirectory, -1, &identity, &program)) return -1;
  int status = waitProgram(&program, output);
  return status == rightsNotDropped ? -1 : status;
}

bool startProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                  RunningProgram* program) {
  return spawnProgram(arguments, workingDirectory, -1, nullptr, program);
}

bool startProgramWithErrors(const std::vector<std::string>& arguments,
                            const std::string& workingDirectory, const std::string& errorsFile,
                            RunningProgram* program) {
  int errorsEnd = open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (errorsEnd < 0) return false;
  bool started = spawnProgram(arguments, workingDirectory, errorsEnd, nullptr, program);
  close(errorsEnd);
  return started;
}

void killThisProcess() {
  kill(getpid(), SIGKILL);
  _exit(128 + SIGKILL);  // not reached
}

bool signalProgram(const RunningProgram& program, ProgramSignal signal) {
  const int numbers[] = {SIGINT, SIGTERM, SIGKILL, SIGSTOP, SIGCONT};
  return program.processId > 0 && kill(program.processId, numbers[signal]) == 0;
}

bool programRunning(const RunningProgram& program) {
  if (program.processId <= 0) return false;
  siginfo_t state;
  state.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(program.processId), &state, WEXITED | WNOHANG | WNOWAIT))
    return false;
  return state.si_pid == 0;
}

int waitProgram(RunningProgram* program, std::string* output) {
  if (program->processId <= 0) return -1;
  int status = 0;
  std::string text = collectChild(program->outputEnd, program->processId, &status);
  program->processId = -1;
  program->outputEnd = -1;
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool closeProgramOutput(RunningProgram* program, size_t bytes, std::string* got) {
  char buffer[4096];
  while (got->size() < bytes) {
    ssize_t read_ = read(program->outputEnd, buffer, sizeof buffer);
    if (read_ <= 0) return false;
    got->append(buffer, static_cast<size_t>(read_));
  }
  close(program->outputEnd);
  program->outputEnd = -1;
  return true;
}

bool makeDeepChain(const std::string& root, const std::string& name, int depth) {
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool made = folder >= 0;
  for (int level = 1; made && level <= depth; ++level) {
    made = mkdirat(folder, name.c_str(), 0777) == 0;
    int inner = made ? openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(folder);
    folder = inner;
    std::string content = std::to_string(level);
    int file =
        folder >= 0 ? openat(folder, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666) : -1;
    made = file >= 0 &&
           write(file, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (file >= 0) close(file);
  }
  if (folder >= 0) close(folder);
  return made;
}

int countDeepChainFiles(const std::string& root, const std::string& name, int depth) {
  int count = 0;
  for (int level = 1; level <= depth; ++level) {
    int folder = openChainFolder(root, name, level, false);
    if (folder < 0) break;
    int file = openat(folder, "f", O_RDONLY | O_CLOEXEC);
    close(folder);
    if (file < 0) continue;
    char buffer[32];
    ssize_t got = read(file, buffer, sizeof buffer);
    close(file);
    if (got > 0 && std::string(buffer, static_cast<size_t>(got)) == std::to_string(level)) ++count;
  }
  return count;
}

bool removeFolderTree(const std::string& path) {
  int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return unlink(path.c_str()) == 0;
  return emptyFolderAt(folder) && rmdir(path.c_str()) == 0;
}

bool makeFileWithLoneSurrogate(const std::string&) {
  return false;
}
