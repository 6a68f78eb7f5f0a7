// Helpers for the tests: scratch folders, files, times and running the program.
// Every test works inside a folder of its own made here, and nothing else.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

/// Makes a new empty scratch folder and returns its path.
std::string makeScratchFolder();
/// Removes a scratch folder and everything in it; links are removed, never followed.
void removeScratchFolder(const std::string& path);

/// Joins two path parts with the platform separator.
std::string joinPath(const std::string& a, const std::string& b);
/// Sets the creation (where there is one), last-access and last-write times of the
/// file at path; 0 when set, 1 when it could not be reached, 2 when setting failed.
int setFileTimes(const char* path, FileTime time);
/// Deletes the file (or link itself) at path; 0 when deleted.
int deleteFile(const char* path);
/// Makes one folder; 0 when made.
int makeDirectory(const char* path);
/// Writes a file with the given bytes; creates missing folders on the way.
bool writeFileBytes(const std::string& path, const std::string& bytes);
/// Bytes that a sparse file holds at an offset.
struct FilePiece {
  long long offset;
  std::string bytes;
};
/// Writes path (made, or emptied in place) as a file of size bytes holding pieces at
/// their offsets and holes everywhere else, where its file system keeps holes (on
/// Windows the file is made sparse; zeros where that is not kept).
bool writeSparseFile(const std::string& path, long long size, const std::vector<FilePiece>& pieces);
/// Reads a whole file; false when it cannot be read.
bool readFileBytes(const std::string& path, std::string* bytes);
/// Creates a folder and its missing parents.
bool makeFolders(const std::string& path);
/// True when something exists at path (a link counts, even a broken one).
bool pathExists(const std::string& path);
/// Makes link a second name of the file target (a hard link); false where it cannot.
bool makeHardLink(const std::string& target, const std::string& link);
/// Makes a symbolic link; false where the platform or the user cannot.
bool makeSymlink(const std::string& target, const std::string& link);
/// Makes a file or folder read-only (writable = false) or writable again.
bool setWritable(const std::string& path, bool writable);
/// Lists the relative paths of all files below root, sorted.
std::vector<std::string> listFiles(const std::string& root);

/// Creates in folder a file whose name holds a lone UTF-16 surrogate, which no UTF-8
/// can name; false where names are bytes (POSIX) or the system refuses it.
bool makeFileWithLoneSurrogate(const std::string& folder);

/// Why a root longer than the path buffer cannot be tested on Windows.
constexpr const char* noRootTooLongOnWindows =
    "a Windows command line holds at most 32,767 UTF-16 units, fewer than a path buffer "
    "holds bytes: no root too long for it can be passed";

/// The path of the talven program that the build made.
std::string programPath();
/// Runs talven with the arguments in the folder workingDirectory, standard input
/// not a terminal; stores standard output and returns the exit status.
int runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
               std::string* output);

/// Runs talven like runProgram, and stores also its standard error, which goes
/// through the file errorsFile (made or emptied; kept inside the test's folder).
int runProgramWithErrors(const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, const std::string& errorsFile,
                         std::string* output, std::string* errors);

/// Runs talven like runProgram with standard output and standard error both on the
/// file outputFile (made or emptied; kept inside the test's folder), as "> out 2>&1"
/// does, and stores what the file holds then.
int runProgramToOneFile(const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, const std::string& outputFile,
                        std::string* output);

/// Creation, last-access and last-write times of a file, in 100-ns units since 1601.
struct FileTimes {
  int64_t creation;  ///< 0 where the system keeps none
  int64_t lastAccess;
  int64_t lastWrite;
};
bool readFileTimes(const std::string& path, FileTimes* times);
/// Bytes of disk a file takes, room reserved past its end included; -1 where the
/// system does not tell.
long long allocatedBytes(const std::string& path);

/// Ends this process at once, as a crash or SIGKILL does: nothing of it is cleaned up
/// but what the system itself releases.
[[noreturn]] void killThisProcess();

/// True when the tests run with the rights to ignore permissions (root on POSIX).
bool runningPrivileged();

/// Runs body(context) in a child process without privileges (as nobody on POSIX),
/// after letting everyone read, enter and create entries in folder itself (not in
/// what it holds already). Stores the child's standard output and returns body's
/// result (0 to 124), or -1 where this is not supported or rights could not be dropped.
int runUnprivileged(const std::string& folder, int (*body)(void* context), void* context,
                    std::string* output);

/// Mounts a small, empty file system of the given size on the existing empty folder;
/// false where the platform or the user cannot.
bool mountSmallFileSystem(const std::string& folder, int kilobytes);
/// Unmounts what mountSmallFileSystem mounted on folder.
void unmountFileSystem(const std::string& folder);

// ---- Helpers that only some systems can offer ----------------------------------
// Each says false or -1 where the system cannot do it, and the test then skips.

/// What runProgramInTerminalBackground gives for a program that job control stopped.
constexpr int programStoppedByTerminal = 1000;

#if defined(TALVEN_WINDOWS)
// None of these exists here; stubs keep the tests that need them building, and they skip.
inline int runProgramOnTerminal(const std::vector<std::string>&, const std::string&,
                                const std::string&, std::string*, bool*) {
  return -1;
}
inline int runProgramInTerminalBackground(const std::vector<std::string>&, const std::string&,
                                          const std::string&, std::string*, bool*) {
  return -1;
}
inline int runInChild(int (*)(void*), void*, bool, std::string*, bool*) {
  return -1;
}
inline bool typeOnTerminal(const std::string&) {
  return false;
}
inline bool makeEntryIn(const std::string&, const std::string&, bool) {
  return false;
}
inline bool removeEntryIn(const std::string&, const std::string&) {
  return false;
}
inline bool makeFifo(const std::string&) {
  return false;
}
inline bool exchangePaths(const std::string&, const std::string&) {
  return false;
}
inline bool unblockPipeReaders(const std::string&) {
  return false;
}
inline bool setListable(const std::string&, bool) {
  return false;
}
inline bool freezeFolder(const std::string&) {
  return false;
}
inline bool bindFolder(const std::string&, const std::string&) {
  return false;
}
inline int permissionBits(const std::string&) {
  return -1;
}
inline bool setPermissionBits(const std::string&, int) {
  return false;
}
inline int setFileCreationMask(int) {
  return -1;
}
#else
/// Runs talven like runProgram, but with standard input on a new pseudo-terminal into
/// which typedKeys were typed before the program started. Stores in terminalRestored
/// whether the terminal had canonical input and echo back after the run. Returns the
/// exit status, or -1 where there is no pseudo-terminal.
int runProgramOnTerminal(const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, const std::string& typedKeys,
                         std::string* output, bool* terminalRestored);
/// Like runProgramOnTerminal, but the program runs in a background process group of
/// the terminal, as a job started with '&' does. Returns programStoppedByTerminal when
/// the terminal stopped it (job control), after ending it.
int runProgramInTerminalBackground(const std::vector<std::string>& arguments,
                                   const std::string& workingDirectory,
                                   const std::string& typedKeys, std::string* output,
                                   bool* terminalRestored);
/// Runs body(context) in a child process of this one (a fork), its standard output
/// stored in output. With onTerminal, its standard input is a new pseudo-terminal that
/// is its controlling terminal, on which the body types with typeOnTerminal, and
/// terminalRestored (may be null) tells whether the terminal had canonical input and
/// echo back afterwards. Returns body's result, 128 + the signal that ended the
/// child, or -1 where there is no fork or no pseudo-terminal.
int runInChild(int (*body)(void*), void* context, bool onTerminal, std::string* output,
               bool* terminalRestored);
/// In a child of runInChild on a terminal: types keys there and waits until they
/// can be read from standard input. False when they could not be typed.
bool typeOnTerminal(const std::string& keys);
/// Creates a file (asFolder false) or folder named name inside folder, also when the
/// joined path is too long to be named whole.
bool makeEntryIn(const std::string& folder, const std::string& name, bool asFolder);
/// Removes an empty folder or a file named name inside folder, as makeEntryIn made it.
bool removeEntryIn(const std::string& folder, const std::string& name);
/// Makes a named pipe.
bool makeFifo(const std::string& path);
/// Opens the named pipe at path for writing without waiting and closes it at once,
/// writing nothing: whoever waits in opening it for reading goes on and reads its
/// end. False when nobody had it open for reading.
bool unblockPipeReaders(const std::string& path);
/// Swaps the entries at a and b (both on one file system) in one step, so that both
/// names always stand for something; false where the system cannot.
bool exchangePaths(const std::string& a, const std::string& b);
/// Takes away (listable false) or gives back every right on a folder, so that it
/// cannot be listed or entered by anyone bound by permissions.
bool setListable(const std::string& folder, bool listable);
/// Shows folder also at the existing empty folder place (a bind mount); undone with
/// unmountFileSystem.
bool bindFolder(const std::string& folder, const std::string& place);
/// Mounts folder read-only over itself (privileged): nothing in it can be changed,
/// by anyone, until unmountFileSystem(folder). False where that cannot be done.
bool freezeFolder(const std::string& folder);
/// The permission bits of what path names itself (set-id and sticky bits included),
/// or -1 when it cannot be examined.
int permissionBits(const std::string& path);
/// Sets the permission bits of path (set-id and sticky bits included).
bool setPermissionBits(const std::string& path, int mode);
/// Sets the process's file-creation mask and returns the one before.
int setFileCreationMask(int mask);
#endif

// ---- Running the program without privileges, in the background, on deep trees ----

/// Signals a test can send to a program started with startProgram.
enum ProgramSignal {
  signalInterrupt = 0,  ///< Ctrl-C (SIGINT)
  signalTerminate = 1,  ///< a termination request (SIGTERM)
  signalKill = 2,       ///< an end that cannot be caught (SIGKILL)
  signalPause = 3,      ///< stops the process where it is (SIGSTOP)
  signalResume = 4,     ///< lets a paused process go on (SIGCONT)
};

/// A talven process started in the background.
struct RunningProgram {
  int processId;  ///< -1 when not started
  int outputEnd;  ///< read end of its standard output
};

#if defined(TALVEN_WINDOWS)
// Permissions, signals and paths beyond the path buffer work differently there: the
// tests that need these skip, and a run without privileges is an ordinary run.
inline bool shareWithEveryone(const std::string&) {
  return true;
}
inline int runProgramUnprivileged(const std::vector<std::string>& arguments,
                                  const std::string& workingDirectory, std::string* output) {
  return runProgram(arguments, workingDirectory, output);
}
inline bool startProgram(const std::vector<std::string>&, const std::string&, RunningProgram*) {
  return false;
}
inline bool startProgramWithErrors(const std::vector<std::string>&, const std::string&,
                                   const std::string&, RunningProgram*) {
  return false;
}
inline bool signalProgram(const RunningProgram&, ProgramSignal) {
  return false;
}
inline bool makeWriteOnlyFolder(const std::string&) {
  return false;
}
inline bool programRunning(const RunningProgram&) {
  return false;
}
inline int waitProgram(RunningProgram*, std::string*) {
  return -1;
}
inline bool closeProgramOutput(RunningProgram*, size_t, std::string*) {
  return false;
}
inline bool makeDeepChain(const std::string&, const std::string&, int) {
  return false;
}
inline int countDeepChainFiles(const std::string&, const std::string&, int) {
  return -1;
}
#else
/// Lets everyone create files in and traverse folder, but nobody bound by
/// permissions list it.
bool makeWriteOnlyFolder(const std::string& folder);
/// Lets everyone read, write and traverse path and everything below it (links are
/// not followed), so that a run without privileges can work in a scratch tree.
bool shareWithEveryone(const std::string& path);
/// Runs talven like runProgram; when the tests are privileged, as the unprivileged
/// user nobody, so that permissions bind it. Returns -1 when the rights could not be
/// dropped. The folders it works in must be reachable for that user.
int runProgramUnprivileged(const std::vector<std::string>& arguments,
                           const std::string& workingDirectory, std::string* output);
/// Starts talven in the background with standard input not a terminal.
bool startProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                  RunningProgram* program);
/// Starts talven like startProgram, its standard error going to the file errorsFile
/// (made or emptied; kept inside the test's folder).
bool startProgramWithErrors(const std::vector<std::string>& arguments,
                            const std::string& workingDirectory, const std::string& errorsFile,
                            RunningProgram* program);
/// Sends a signal to a program startProgram started; false when it could not be sent.
bool signalProgram(const RunningProgram& program, ProgramSignal signal);
/// True while the program has not ended; it stays waitable for waitProgram.
bool programRunning(const RunningProgram& program);
/// Collects the program's standard output, waits for its end and returns its exit
/// status (128 + the signal number when a signal ended it).
int waitProgram(RunningProgram* program, std::string* output);
/// Reads at least bytes of the program's standard output into got, then closes the
/// reading end, as a reader that has seen enough (head) does; false when the output
/// ended first.
bool closeProgramOutput(RunningProgram* program, size_t bytes, std::string* got);
/// Creates depth nested folders, each named name, below root, and in each one a file
/// "f" holding its depth in decimal; made folder by folder, so the deepest full paths
/// may exceed the path buffer.
bool makeDeepChain(const std::string& root, const std::string& name, int depth);
/// Counts the files "f" along such a chain that still hold their depth.
int countDeepChainFiles(const std::string& root, const std::string& name, int depth);
#endif
/// Removes a folder and everything below it, however deep; links are removed, not
/// followed.
bool removeFolderTree(const std::string& path);
