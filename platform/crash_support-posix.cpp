// POSIX bodies of the crash-test helpers: losetup and mkfs from util-linux and the
// file systems' own tools, mount(2) and the shutdown ioctl.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crash_support.h"

extern char** environ;

#ifndef FS_IOC_SHUTDOWN
#define FS_IOC_SHUTDOWN _IOR('X', 125, __u32)
#endif
#ifndef FS_GOING_FLAGS_NOLOGFLUSH
#define FS_GOING_FLAGS_NOLOGFLUSH 0x2
#endif

namespace {
// Runs a shell command quietly; true when it succeeded.
bool quietly(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string attachLoopDevice(const std::string& image) {
  FILE* pipe = popen(("losetup --find --show '" + image + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return std::string();
  char line[256] = {};
  bool read = fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  std::string device = read ? line : "";
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  return device;
}

bool mountIt(LoopFileSystem* fileSystem, const std::string& type) {
  fileSystem->mounted =
      mount(fileSystem->device.c_str(), fileSystem->mountPoint.c_str(), type.c_str(), 0, "") == 0;
  return fileSystem->mounted;
}

std::string typeOf(const LoopFileSystem& fileSystem) {
  size_t dot = fileSystem.image.rfind('.');
  return fileSystem.image.substr(dot + 1);
}
}  // namespace

std::string makeLoopFileSystem(const std::string& folder, const std::string& type, int megabytes,
                               LoopFileSystem* fileSystem) {
  *fileSystem = LoopFileSystem{folder + "/image." + type, "", folder + "/mnt", false};
  if (geteuid() != 0) return "loop devices and mounts need root";
  std::string maker = "mkfs." + type;
  if (!quietly("command -v " + maker)) return maker + " is not installed";
  if (truncate(fileSystem->image.c_str(), 0) != 0) {
    int fd = open(fileSystem->image.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return "cannot create the image file";
    close(fd);
  }
  if (truncate(fileSystem->image.c_str(), static_cast<off_t>(megabytes) << 20) != 0)
    return "cannot size the image file";
  std::string options =
      type == "ext4" ? " -q -F -E lazy_itable_init=0,lazy_journal_init=0" : " -q -f";
  if (!quietly(maker + options + " '" + fileSystem->image + "'")) return maker + " failed";
  fileSystem->device = attachLoopDevice(fileSystem->image);
  if (fileSystem->device.empty()) return "losetup cannot attach a loop device here";
  if (mkdir(fileSystem->mountPoint.c_str(), 0755) != 0 || !mountIt(fileSystem, type)) {
    removeLoopFileSystem(fileSystem);
    return "cannot mount a " + type + " file system from a loop device here";
  }
  return std::string();
}

bool remountLoopFileSystem(LoopFileSystem* fileSystem) {
  if (fileSystem->mounted && umount2(fileSystem->mountPoint.c_str(), 0) != 0) return false;
  fileSystem->mounted = false;
  return mountIt(fileSystem, typeOf(*fileSystem));
}

void removeLoopFileSystem(LoopFileSystem* fileSystem) {
  if (fileSystem->mounted && umount2(fileSystem->mountPoint.c_str(), 0) != 0)
    umount2(fileSystem->mountPoint.c_str(), MNT_DETACH);
  fileSystem->mounted = false;
  if (!fileSystem->device.empty()) quietly("losetup -d '" + fileSystem->device + "'");
  fileSystem->device.clear();
}

bool crashFileSystem(const std::string& mountPoint) {
  // An fsync commits the journal with every change made so far, data that is not
  // yet written back apart.
  std::string marker = mountPoint + "/.journal-commit";
  int fd = open(marker.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool committed = fsync(fd) == 0;
  close(fd);
  int root = open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return false;
  __u32 flags = FS_GOING_FLAGS_NOLOGFLUSH;
  bool cut = ioctl(root, FS_IOC_SHUTDOWN, &flags) == 0;
  close(root);
  return committed && cut;
}

namespace {
// Reads what the child writes to readEnd until it ends, then waits for it; its exit
// status, or -1 when it did not exit.
int collectChild(pid_t child, int readEnd, std::string* output) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(readEnd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(got));
  close(readEnd);
  int status = 0;
  waitpid(child, &status, 0);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

int runBodyInChild(int (*body)(void*), void* context, std::string* output) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  if (child == 0) {
    close(ends[0]);
    dup2(ends[1], STDOUT_FILENO);
    int result = body(context);
    fflush(stdout);
    _exit(result);
  }
  close(ends[1]);
  return collectChild(child, ends[0], output);
}

namespace {
// What a fresh process of the test program is to run, passed in its environment.
constexpr const char* bodyVariable = "TALVEN_FRESH_BODY";
constexpr const char* argumentsVariable = "TALVEN_FRESH_ARGUMENTS";
constexpr const char* outputVariable = "TALVEN_FRESH_OUTPUT";
// Zero before any static object is made, so a FreshBody may be made first.
const FreshBody* freshBodies[16];
int freshBodyCount;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

// In a process that runBodyInFreshProcess started: before any test, runs the body
// its environment names, its standard output on the parent's pipe, and ends with the
// body's result (125 when no body has that name).
class FreshBodyHook : public testing::Environment {
 public:
  void SetUp() override {
    const char* name = getenv(bodyVariable);
    const char* arguments = getenv(argumentsVariable);
    const char* output = getenv(outputVariable);
    if (!name || !arguments || !output) return;
    std::string wanted = name;
    std::vector<std::string> lines = splitLines(arguments);
    unsetenv(bodyVariable);
    unsetenv(argumentsVariable);
    unsetenv(outputVariable);
    fflush(stdout);
    int pipeEnd = atoi(output);
    dup2(pipeEnd, STDOUT_FILENO);
    close(pipeEnd);
    int result = 125;
    for (int i = 0; i < freshBodyCount; ++i)
      if (wanted == freshBodies[i]->name) result = freshBodies[i]->body(lines);
    fflush(stdout);
    _exit(result);
  }
};
testing::Environment* const freshBodyHook = testing::AddGlobalTestEnvironment(new FreshBodyHook);
}  // namespace

FreshBody::FreshBody(const char* name, int (*body)(const std::vector<std::string>& arguments))
    : name(name), body(body) {
  if (freshBodyCount < static_cast<int>(sizeof freshBodies / sizeof freshBodies[0]))
    freshBodies[freshBodyCount++] = this;
}

int runBodyInFreshProcess(const FreshBody& body, const std::vector<std::string>& arguments,
                          std::string* output) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  if (!test) return -1;
  int ends[2];
  if (pipe(ends) != 0) return -1;
  // Everything the child needs is made here: after fork it only opens and executes.
  std::string joined;
  for (size_t i = 0; i < arguments.size(); ++i) joined += (i ? "\n" : "") + arguments[i];
  std::vector<std::string> settings = {std::string(bodyVariable) + "=" + body.name,
                                       std::string(argumentsVariable) + "=" + joined,
                                       std::string(outputVariable) + "=" + std::to_string(ends[1])};
  std::vector<char*> environment;
  for (std::string& setting : settings) environment.push_back(&setting[0]);
  for (char** entry = environ; *entry; ++entry)
    if (strncmp(*entry, "TALVEN_FRESH_", 13) != 0) environment.push_back(*entry);
  environment.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  char* argv[] = {&program[0], &filter[0], nullptr};
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  if (child == 0) {
    // The test program's own lines go nowhere; the hook puts the body's on the pipe.
    close(ends[0]);
    int nowhere = open("/dev/null", O_WRONLY);
    if (nowhere >= 0) dup2(nowhere, STDOUT_FILENO);
    execve(program.c_str(), argv, environment.data());
    _exit(126);
  }
  close(ends[1]);
  return collectChild(child, ends[0], output);
}

bool limitOpenFiles(int most) {
  struct rlimit limit = {static_cast<rlim_t>(most), static_cast<rlim_t>(most)};
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool leaveOpenFilesFree(int most, int free) {
  int unused = 0;
  for (int fd = 0; fd < most; ++fd) unused += fcntl(fd, F_GETFD) < 0;
  for (; unused > free; --unused) {
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0 || fd >= most) return false;
  }
  return unused == free;
}

void killCallingProcess() {
  kill(getpid(), SIGKILL);
}
