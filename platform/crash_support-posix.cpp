// POSIX bodies of the crash-test helpers: losetup and mkfs from util-linux and the
// file systems' own tools, mount(2) and the shutdown ioctl.
#include <fcntl.h>
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

#include "platform/crash_support.h"

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

int runBodyInChild(int (*body)(void*), void* context, std::string* output) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    close(ends[0]);
    dup2(ends[1], STDOUT_FILENO);
    int result = body(context);
    fflush(stdout);
    _exit(result);
  }
  close(ends[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(ends[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(got));
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
