// The one place that knows which operating system the program runs on: nothing
// outside platform/ names one; everything else asks this header and the others of
// this folder (folders.h, copy_files.h, console_text.h, ...). Each operation has a
// POSIX and a Windows body, kept in small files by facility (platform-posix.cpp,
// keyboard-posix.cpp, streams-posix.cpp, ... and their -win32 twins); the build
// compiles the one set that fits the target (CMakeLists.txt).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
#define TALVEN_WINDOWS 1
#else
#define TALVEN_POSIX 1
#include <climits>
#endif

// ThreadSanitizer builds: it cannot follow some of what the system does (see the
// places that ask), so those builds leave it out.
#if defined(__SANITIZE_THREAD__)
#define TALVEN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TALVEN_THREAD_SANITIZER 1
#endif
#endif

#if defined(TALVEN_WINDOWS)
/// True on Windows; lets shared code and tests ask instead of detecting.
constexpr bool platformIsWindows = true;
/// The separator between path components.
constexpr char pathSeparator = '\\';
/// Bytes in every path buffer, terminator included: paths are UTF-8, and the
/// longest path the system takes, 32,767 UTF-16 units, needs at most 3 bytes a unit.
constexpr int pathBufferSize = 3 * 32768;
#else
constexpr bool platformIsWindows = false;
constexpr char pathSeparator = '/';
constexpr int pathBufferSize = PATH_MAX;
#endif

/// A Windows file time: 100-ns intervals since 1601-01-01 UTC, low half first.
struct FileTime {
  uint32_t low;
  uint32_t high;
};

/// The file time as one signed 64-bit number, for ordering two times. A count with
/// its top bit set (past year 30828, which Windows does not take) is the latest
/// time instead of a time before 1601: times after it keep their order.
inline int64_t fileTimeValue(FileTime time) {
  uint64_t bits = (static_cast<uint64_t>(time.high) << 32) | time.low;
  return bits > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bits);
}

/// Identity of a file: device and inode on POSIX, volume serial and index on Windows.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

/// True when two identities are one file's; an identity of zeros is none's.
inline bool sameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index && (a.volume != 0 || a.index != 0);
}

// ---- Directory enumeration -------------------------------------------------

/// isDirectory of an entry whose name cannot be given in the program's encoding (a
/// lone surrogate on Windows); its name then is a stand-in for messages only.
constexpr int entryUnconvertible = -1;
/// isDirectory of a folder that is a reparse point standing for no other place as far
/// as its tag tells (a cloud-synced folder, or a tag the system does not know: Wine
/// gives a host's link tag 0). Windows only.
constexpr int entryReparseFolder = 2;

/// Receives one entry of a directory; isDirectory is 1 for a folder to walk, 0 for a
/// file, entryReparseFolder or entryUnconvertible as above.
typedef void (*DirectoryEntrySink)(void* context, const char* name, int isDirectory, uint64_t size,
                                   FileTime lastWrite);

/// kind of a ListedEntry (beside entryReparseFolder and entryUnconvertible): a file, a
/// folder to walk, a link given as it is (or, where links are followed, one that leads
/// to no file: to a folder, or nowhere), and anything else (a pipe, a socket, a device).
constexpr int entryFile = 0;
constexpr int entryFolder = 1;
constexpr int entryLink = 3;
constexpr int entryOther = 4;

/// What a listing gives of an entry's metadata where asked (listMetadata).
struct EntryMetadata {
  uint32_t mode;        ///< POSIX: the twelve permission bits (st_mode & 07777); 0 on Windows
  uint32_t owner;       ///< POSIX: the owner's number; 0 on Windows
  uint32_t group;       ///< POSIX: the group's number; 0 on Windows
  uint32_t attributes;  ///< Windows: the kept attributes (FILE_ATTRIBUTE_*); 0 on POSIX
  FileTime changeTime;  ///< when the entry last changed, data or metadata (ctime, ChangeTime)
};

/// One entry of a directory, as listDirectory gives it.
struct ListedEntry {
  const char* name;
  int kind;
  /// A file's size; a link's own size (its target's bytes) where given as it is.
  uint64_t size;
  /// The last-write time: of a file, of a folder (with listFolderTimes), of a link
  /// itself (given as it is); zero where not read.
  FileTime lastWrite;
  /// The names a file has (hard links); 1 where the system does not tell.
  uint32_t links;
  /// The file's identity, read where links is above 1.
  FileIdentity identity;
  /// A link's target as stored, given as it is; null otherwise. Lives for the call.
  const char* target;
  /// Mode, owner, group, Windows attributes and change time, read with listMetadata;
  /// zero otherwise.
  EntryMetadata metadata;
};
typedef void (*ListedEntrySink)(void* context, const ListedEntry* entry);

/// Ways of listing (listDirectory's asIs, bits): links given as links with their
/// targets instead of followed; folders with their last-write times; files with
/// their count of names and, where above 1, their identities.
constexpr int listLinksAsIs = 1;
constexpr int listFolderTimes = 2;
constexpr int listFileLinks = 4;
/// Entries with their metadata (ListedEntry::metadata), from the same look.
constexpr int listMetadata = 8;

/// Lists one directory as enumerateDirectory does, giving each entry to sink ("." and
/// ".." too, as folders without a time), and where asIs lacks listLinksAsIs, a link to a file given
/// as the file, one to a folder or to nothing as entryLink (without a target), so that the walk can
/// count what it leaves out. Entries that are neither files, folders nor links are given as
/// entryOther.
int listDirectory(const char* path, int asIs, ListedEntrySink sink, void* context,
                  const FileIdentity* watched = nullptr, int* isWatched = nullptr,
                  int* failure = nullptr);

/// Results of enumerateDirectory.
enum EnumerateResult {
  enumerateListed = 0,      ///< every entry was given to the sink
  enumerateMissing = 1,     ///< the path does not exist
  enumerateUnreadable = 2,  ///< exists but cannot be listed (no access, not a folder)
  enumerateBroken = 3,      ///< the listing ended on an error; the entries so far were given
};

/// Lists one directory, giving every file and folder to sink in enumeration order,
/// "." and ".." included. Links to folders are left out, so a walk never leaves its
/// tree through one; a link to a file is given with its target's size and time.
/// Entries that are neither files nor folders (devices, pipes, broken links) are
/// left out. The directory is read whole and closed before this returns. Where
/// watched is not null, *isWatched tells whether the directory listed is the folder
/// of that identity, whatever name reached it (1), or not, or where the system
/// cannot tell (0). Where failure is not null and the result is not enumerateListed,
/// *failure receives the system's code (of lastFailureCode) of what went wrong, taken
/// when it happened.
int enumerateDirectory(const char* path, DirectoryEntrySink sink, void* context,
                       const FileIdentity* watched = nullptr, int* isWatched = nullptr,
                       int* failure = nullptr);

// ---- Keyboard ----------------------------------------------------------------

/// Key code pollKey gives for an escape sequence (function or cursor key).
constexpr int keySequence = 0;

/// Starts watching the console keyboard while the scans run: on a terminal, single
/// keys become readable without echo. Does nothing when standard input is no console.
void beginKeyWatch();
/// Gives the console back its own mode; also done at exit and on interruption.
void endKeyWatch();
/// Returns one waiting key code, or -1 when none is waiting; never blocks. A lone ESC
/// gives 27; the escape sequence of a function or cursor key gives keySequence.
/// Test and read happen under one lock shared by all callers.
int pollKey();

// ---- Threads -------------------------------------------------------------------

typedef unsigned (*ThreadProc)(void* argument);
struct PlatformThread;

/// Starts proc(argument) on a new thread; null when no thread could be started.
PlatformThread* startThread(ThreadProc proc, void* argument);
/// Waits without time-out for the thread, stores its result and releases it.
/// Returns 0 on success, 1 when the wait failed.
int waitThread(PlatformThread* thread, unsigned* result);

/// A lock with one condition to wait on, shared by the threads that take it.
struct PlatformLock;
/// Null when the system has no room for one.
PlatformLock* createLock();
void destroyLock(PlatformLock* lock);
void takeLock(PlatformLock* lock);
void releaseLock(PlatformLock* lock);
/// Held by the caller: lets the lock go, waits until wakeLockWaiters (or a spurious
/// wake-up: check the awaited state again) and takes it back.
void waitOnLock(PlatformLock* lock);
/// Wakes every thread waiting on the lock.
void wakeLockWaiters(PlatformLock* lock);
/// The processors this process may run on (its affinity where the system tells it).
int usableProcessors();

// ---- Files and folders ---------------------------------------------------------

/// Reads the last-write time of a file; 0 on success.
int getFileTime(const char* path, FileTime* time);

/// Reads at most size bytes from the start of the regular file at path, never
/// through a final link (nor a pipe or device that took its name); the bytes read, or
/// -1 when it is no such file or cannot be read.
long readFileStart(const char* path, char* buffer, size_t size);

/// Results of removeFolderLinkIn (folders.h).
enum FolderLinkResult { noFolderLink = 0, folderLinkRemoved = 1, folderLinkKept = 2 };

/// Reads the identity of the file at path, not following a final link; 0 on success.
int fileIdentity(const char* path, FileIdentity* identity);

/// Writes the absolute, resolved form of path into out (links followed as far as the
/// path exists, and on a file system that ignores letter case each existing name as
/// its folder lists it); 0 on success, 1 when it does not fit or cannot be resolved.
int resolveFullPath(const char* path, char* out, size_t outSize);

/// Writes into folded the form of the character at text (at most available bytes)
/// that the path key takes: a to z as A to Z everywhere, and on Windows every other
/// letter below U+10000 (UTF-8) as the capital that the system matches it with.
/// Returns the bytes of text taken and sets foldedLength; both are 1 to 3, and bytes
/// that are no such character are taken one by one, as they are.
size_t foldKeyCharacter(const char* text, size_t available, char* folded, size_t* foldedLength);

/// True when two names denote the same path under this platform's comparison:
/// letters folded as foldKeyCharacter folds them on Windows, byte for byte on POSIX.
int pathNamesEqual(const char* a, const char* b);
/// The same comparison on the first n bytes.
int pathNamesEqualN(const char* a, const char* b, size_t n);

/// How the file system under a destination folder takes names, beyond the platform's
/// own comparison (pathNamesEqual).
enum NameRules {
  namesAsPlatform = 0,  ///< as pathNamesEqual compares them
  namesFoldCase = 1,    ///< names that differ only in letter case are one file
  namesExfat = 2,       ///< exFAT: case folded; some characters and endings refused
  namesFat = 3,         ///< FAT: as exFAT, also in length
};
/// The NameRules of the file system that holds folder, or where folder does not
/// exist yet, its nearest existing ancestor. Only reads: the file system's type,
/// the folder's own flags, and where neither tells, one lookup of a name in the
/// folder with its letter case changed. Always namesAsPlatform on Windows, whose
/// own comparison folds already.
int folderNameRules(const char* folder);
/// Gives sink every mount point below folder (not folder itself), as the part of
/// its path after folder, beginning with a separator. Nothing on Windows.
void forEachMountBelow(const char* folder, void (*sink)(void* context, const char* relative),
                       void* context);
/// Writes into folded the capital of the character at text (at most available
/// bytes) as a file system that ignores letter case matches it: a to z, and every
/// letter below U+10000 (UTF-8). Returns the bytes of text taken and sets
/// foldedLength; both are 1 to 4, and bytes that are no such character are taken
/// one by one, as they are.
size_t foldCaseCharacter(const char* text, size_t available, char* folded, size_t* foldedLength);
/// True when two names are equal with every letter folded as foldCaseCharacter does.
int foldedNamesEqual(const char* a, const char* b);

/// True when c separates path components here ('\\' and '/' on Windows).
int isPathSeparator(char c);

/// True when root, a folder argument as takeRoot left it, names the root of a drive
/// or share in any spelling Windows takes: X:, X:\., \\?\X:\, \\server\share, a volume
/// name, or a junction or substituted drive leading to one. POSIX has no such names:
/// its one root, /, is nothing but separators, which takeRoot refuses itself.
int isVolumeRootName(const char* root);

// ---- One run per destination -------------------------------------------------

/// Results of lockDestination.
enum DestinationLockResult {
  destinationLocked = 0,     ///< held by this run until unlockDestination or its end
  destinationBusy = 1,       ///< another run holds it
  destinationMissing = 2,    ///< nothing exists at the path, and no lock could be taken
  destinationNotLocked = 3,  ///< not a folder, no access, or no lock on this system
};
/// Takes, without waiting, the lock that keeps a second run off the folder path,
/// writing nothing anywhere. It is held twice: on the folder itself, whatever name
/// it is reached by (a flock on an open descriptor on POSIX, a mutex named after the
/// folder's volume and file index on Windows), and by its place (abstract sockets on
/// Linux, mutexes on Windows): the identity of each existing folder on the way up
/// with the names below it, which also holds a destination that does not exist yet,
/// whatever name its folder is reached by. The system releases them all when the
/// process ends, however it ends. Returns a DestinationLockResult.
int lockDestination(const char* path);
/// Gives back the lock lockDestination took; does nothing when none is held.
void unlockDestination();

// ---- Destination clocks --------------------------------------------------------

/// What a file system's type tells of the last-write times it keeps.
enum ClockKind {
  clockKindUnknown = 0,  ///< the type does not tell (FUSE, network shares, ...)
  clockKindExact = 1,    ///< 100 ns or finer
  clockKindSeconds = 2,  ///< whole seconds (ext2, ext3 and ext4 with 128-byte inodes)
  clockKindExfat = 3,    ///< steps of 10 ms
  clockKindFat = 4,      ///< steps of 2 s, kept in local time
};
/// The ClockKind of the file system that the folder lies on, from its type alone;
/// clockKindUnknown where the type does not tell or cannot be read.
int fileSystemClockKind(const char* folder);
// ---- Durability ----------------------------------------------------------------

/// Writes to disk the changes of names (renames, deletions, new folders) on the file
/// system of folder and on those mounted below it, and waits; 0 when done.
int syncChangedFileSystems(const char* folder);
/// Asks that the process may hold wanted files open at once, as far as the system
/// lets it raise its own limit; returns how many more it may open now (at most
/// wanted), the files it holds already, inherited ones too, left out.
int allowOpenFiles(int wanted);

// ---- Program arguments ---------------------------------------------------------

/// The program's arguments in the program's encoding: on Windows, taken from the
/// wide command line and converted to UTF-8 (argv[0] kept as the runtime gave it);
/// elsewhere argv itself. Sets argc to their number.
char** programArguments(int* argc, char** argv);

// ---- Console and streams -------------------------------------------------------

/// Prints formatted text on standard output, as printf does, and returns the number
/// of bytes it formed (negative on failure). Every console message of the program
/// goes through here, so that the platform can show its names readably.
int consolePrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/// The streams a thread's text may be diverted from.
enum OutputStream { outputStandard = 0, outputError = 1, outputLog = 2, outputJson = 3 };
/// Where a thread's console lines, error lines and log text go instead while it is
/// set: a thread that must not print out of turn hands them on to be printed in order.
struct OutputDiversion {
  void (*take)(void* sink, int stream, const char* text, size_t length);
  void* sink;
};
/// Sets the calling thread's diversion; null prints again.
void divertThreadOutput(const OutputDiversion* diversion);
/// The calling thread's diversion, or null.
const OutputDiversion* threadOutputDiversion();
/// Formats as vprintf does and hands the text to diversion; returns its bytes
/// (negative when it could not be formed).
int divertFormatted(const OutputDiversion* diversion, int stream, const char* format,
                    va_list arguments);

/// With on set (--json), standard output carries only the lines of jsonPrint: every
/// console line (consolePrintf) goes to standard error instead, and on Windows
/// standard output writes its line ends as they are. 0 puts both back.
void setJsonOutput(int on);
/// True while setJsonOutput's on holds.
int jsonOutputOn();
/// Writes length bytes of JSON text (UTF-8, whole lines) on standard output as they
/// are; a console gets them through its wide interface. Diverted as consolePrintf
/// is, as the stream outputJson. Returns 0 when all of it was written.
int jsonPrint(const char* text, size_t length);

// ---- Status line -----------------------------------------------------------------

/// The columns of the terminal (console) that standard error is, or 0 when standard
/// error is no terminal: the status line is shown only where this is nonzero.
int statusLineWidth();
/// True when standard output is a terminal (a console on Windows).
int outputIsTerminal();
/// Draws text (ASCII, shorter than statusLineWidth) as the status line on standard
/// error, in place of the one before; an empty text erases it. Lines printed on
/// standard output before reach the terminal first.
void showStatusLine(const char* text);
/// Taken by every console line before it is printed on stream (stdout or stderr):
/// holds the console and erases the status line wherever the line would land inside
/// it. endConsoleLine gives the console back once the line is out.
void beginConsoleLine(FILE* stream);
void endConsoleLine();

// ---- A question to the person at the terminal --------------------------------------

/// True when standard input and standard error are one terminal (on Windows: both
/// are the console): a person types there, who can be asked. Never so for a
/// script, a scheduled run, a pipe or a file on either.
int personAtTerminal();
/// Results of askOnTerminal.
enum TerminalAnswer {
  answerGiven = 0,        ///< a line was typed: answer holds it
  answerNone = 1,         ///< the input ended (Ctrl-D) or could not be read
  answerInterrupted = 2,  ///< Ctrl-C (or a termination request) came first
};
/// Asks a question of personAtTerminal: keys typed before it was shown are dropped,
/// the text formed as printf forms it (names shown escaped, as every console line
/// shows them) is written on standard error with no line end after it, the status
/// line taken away first and kept away until the answer, and one line is read from
/// standard input in the terminal's own line mode (typed, echoed, edited there).
/// answer (size bytes) receives the line without its line end, cut to fit. Returns a
/// TerminalAnswer; without an answer line the terminal is given a line end.
int askOnTerminal(char* answer, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

struct PlatformTicker;
/// Calls tick(argument) on a thread of its own at once and then every intervalMs
/// until stopTicker; null when no thread could be started.
PlatformTicker* startTicker(void (*tick)(void*), void* argument, int intervalMs);
/// Stops the ticker, waits for a tick under way to end, and releases it.
void stopTicker(PlatformTicker* ticker);

/// Writes what was appended to a stream to disk and waits for it; 0 when it is there.
int syncStreamToDisk(FILE* file);

// ---- Failures ------------------------------------------------------------------

/// The system's code for why the call that just failed failed (errno; on Windows the
/// last error). Read it at once after the failing call, before any other call.
int lastFailureCode();
/// Writes the system's own text for a code of lastFailureCode into text (size bytes,
/// always terminated, no line end).
void describeSystemFailure(int code, char* text, size_t size);
/// True when code says that the process holds as many files open as it may.
int isTooManyOpenFiles(int code);
/// True when code says that something stands already where a new file was to be made.
int isAlreadyExists(int code);
/// True when code says that the file system cannot give a file another name here (no
/// such names at all, too many of them, or another volume): a copy does instead.
int isNoHardLinkFailure(int code);
/// True when code says that the file system (or, on Windows, the process) cannot make
/// a link here at all: no such entries on it, or no right to make them.
int isNoLinkFailure(int code);
/// True when code says that a folder still holds something.
int isFolderNotEmpty(int code);
/// True when code says that the entry, or a folder on its way, does not exist.
int isNoSuchEntry(int code);
/// True when code says that the process may not write the entry.
int isAccessDenied(int code);
/// Prints formatted text on standard error, as consolePrintf does on standard output.
int errorPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
/// Appends length bytes to a file opened by openLogIn (folders.h) in one write of the
/// system (line ends made the platform's own), so that a line never mixes with what
/// another process appends; 0 when all of it was written.
int appendToFile(FILE* file, const char* text, size_t length);

// ---- Changes by a whole path ------------------------------------------------------

/// From here on the run changes the file system only through the folders it holds
/// (folders.h): called once the start of the run has opened them, before anything is
/// listed. endHeldChanges marks the run's end (tests run many in one process).
void beginHeldChanges();
void endHeldChanges();
/// True between beginHeldChanges and endHeldChanges.
int heldChangesBegun();
/// Every operation of the platform that takes a whole path to change the file system
/// (the making of the held folders, folders.h) calls this first with its own name:
/// such operations serve the start and the end of a run only. In a build that guards
/// them (the tests' build, TALVEN_GUARD_WHOLE_PATHS), a call while held changes are
/// under way ends the process at once, naming caller.
void checkWholePathChange(const char* caller);

// ---- Interruption --------------------------------------------------------------

/// Catches Ctrl-C and termination requests (SIGINT/SIGTERM, Ctrl-C/Ctrl-Break) so
/// that the run can stop between two blocks and clean up. A standard output whose
/// reader left (a closed pipe) is no signal either: consolePrintf raises the
/// interruption flag when it meets one.
void installInterruptHandler();
/// Nonzero once an interruption was requested.
int interruptRequested();
/// Raises (1) or clears (0) the interruption flag as the handler does; lets tests
/// interrupt at a chosen point and start the next test afresh.
void setInterruptRequested(int requested);
/// Exit status of a run stopped by interruption.
constexpr int interruptedExitStatus = 130;
