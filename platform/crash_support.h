// Test helpers for crash tests: a real file system in an image file on a loop
// device, cut off as a power loss would cut it, and mounted again.
#pragma once

#include <string>
#include <vector>

/// A body that runBodyInFreshProcess can run, by its name; made as a static object
/// (before main), so that a new process of the test program knows it too.
struct FreshBody {
  FreshBody(const char* name, int (*body)(const std::vector<std::string>& arguments));
  const char* name;
  int (*body)(const std::vector<std::string>& arguments);
};

/// A file system made in an image file inside a test's own folder.
struct LoopFileSystem {
  std::string image;
  std::string device;      ///< the loop device, empty while none is attached
  std::string mountPoint;  ///< where it is mounted
  bool mounted;
};

#if defined(_WIN32)
inline std::string makeLoopFileSystem(const std::string&, const std::string&, int,
                                      LoopFileSystem*) {
  return "loop devices are a Linux matter";
}
inline bool remountLoopFileSystem(LoopFileSystem*) {
  return false;
}
inline void removeLoopFileSystem(LoopFileSystem*) {}
inline bool crashFileSystem(const std::string&) {
  return false;
}
inline int runBodyInChild(int (*)(void*), void*, std::string*) {
  return -1;
}
inline FreshBody::FreshBody(const char* name,
                            int (*body)(const std::vector<std::string>& arguments))
    : name(name), body(body) {}
inline int runBodyInFreshProcess(const FreshBody&, const std::vector<std::string>&, std::string*) {
  return -1;
}
inline bool limitOpenFiles(int) {
  return false;
}
inline bool leaveOpenFilesFree(int, int) {
  return false;
}
inline void killCallingProcess() {}
#else
/// Makes an image of megabytes MiB in folder with a file system of type ("ext4",
/// "xfs"), attaches it to a loop device and mounts it on folder/mnt. Returns "" when
/// done, else why it cannot be done here (the test then skips).
std::string makeLoopFileSystem(const std::string& folder, const std::string& type, int megabytes,
                               LoopFileSystem* fileSystem);
/// Unmounts the file system and mounts it again, which replays its journal.
bool remountLoopFileSystem(LoopFileSystem* fileSystem);
/// Unmounts and detaches whatever is still mounted or attached; for every way out.
void removeLoopFileSystem(LoopFileSystem* fileSystem);
/// In the calling process, cuts off the file system mounted at mountPoint as a power
/// loss would: its journal committed a moment before, as its timer or any other
/// program's fsync may have done, and nothing written after that. Every later
/// operation on it fails. True when done.
bool crashFileSystem(const std::string& mountPoint);
/// Runs body(context) in a child process, its standard output kept in output;
/// returns the child's exit status, or -1 when it did not exit.
int runBodyInChild(int (*body)(void*), void* context, std::string* output);
/// Runs body(arguments) in a new process of this test program, started afresh from
/// the file, so that nothing the tests before left in this process (memory, the
/// stacks the C library keeps from ended threads, its threads' memory arenas) serves
/// the body. Called from a test, which the new process selects so that it starts as
/// far as the tests do, then runs the body in their stead. No argument may hold a
/// line break. Keeps the body's standard output in output; returns the child's exit
/// status, or -1 when it could not be started or did not exit.
int runBodyInFreshProcess(const FreshBody& body, const std::vector<std::string>& arguments,
                          std::string* output);
/// Lowers the calling process's limit of open files to most, for good (a child's);
/// true when done.
bool limitOpenFiles(int most);
/// Holds /dev/null open on the lowest free descriptors below most until only free of
/// them are left free, as descriptors that a parent leaves open take them; for good (a
/// child's). False when fewer than free are free already.
bool leaveOpenFilesFree(int most, int free);
/// Ends the calling process at once, as SIGKILL does: nothing is flushed or cleaned up.
void killCallingProcess();
#endif
