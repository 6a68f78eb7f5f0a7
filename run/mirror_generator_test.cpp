// The tree-pair generator of the model test, and a check that its seeds cover every
// kind of case it promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "run/mirror_model.h"

namespace {
// How a file stands in the two trees.
enum FileKind {
  sourceOnly,
  destinationOnly,
  destinationOlder,
  sameFile,
  equalTimeOtherSize,
  destinationNewer,
  olderByOneUnit,
  lowHalfSign,  // equal high halves, low halves 0x7FFFFFFF and 0x80000000
  fileKinds,
};

// A folder in one tree or both; on Windows its two spellings may differ in case.
struct Folder {
  std::string sourcePath;
  std::string destinationPath;
  bool inSource;
  bool inDestination;
  int depth;
  std::set<std::string> names;  // match forms of every name used inside, either tree
};

constexpr int maxFilesPerTree = 30;
constexpr int maxDepth = 3;
// 1990-01-01 and 2040-01-01 as file times.
constexpr int64_t earliestTime = 116444736000000000LL + 631152000LL * 10000000LL;
constexpr int64_t timeSpan = (2208988800LL - 631152000LL) * 10000000LL;

class Generator {
 public:
  explicit Generator(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
  Scenario make();

 private:
  uint64_t next() {  // splitmix64: the same numbers on every platform and library
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  char nameByte();
  std::string windowsPiece();
  std::string longWindowsName();
  std::string freshName(Folder* folder, bool allowExtension);
  std::string caseVariant(const std::string& name);
  std::string content();
  std::string otherSize(const std::string& bytes);
  int64_t timeStamp() { return earliestTime + static_cast<int64_t>(next() % timeSpan); }
  int64_t gap();
  void addFolder();
  void addFile(int folderIndex, FileKind kind, const std::string& name);
  void addFiles();
  void put(ModelTree* tree, const std::string& path, std::string bytes, int64_t time);

  uint64_t state;
  std::vector<Folder> folders;
  Scenario scenario;
  int sourceFiles = 0;
  int destinationFiles = 0;
};

// POSIX names are bytes: any byte of 128 and above may stand in them.
char Generator::nameByte() {
  static const char plain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_ .~()";
  if (!chance(8)) return plain[below(static_cast<int>(sizeof plain) - 1)];
  unsigned char b;
  b = static_cast<unsigned char>(0x80 + below(128));
  return static_cast<char>(b);
}

// Windows names are UTF-8 inside the program: characters of several scripts, one
// to four bytes and one or two UTF-16 units each (the emoji take a surrogate pair).
// Only letters without a partner in the other case, or small letters alone, so that
// no two names are one file under the file system's folding.
const char* const unicodePieces[] = {"é",  "ü",  "ñ",  "ø",  "ß", "λ", "ж", "ש", "ع", "क",
                                     "日", "本", "語", "한", "€", "😀", "🎉", "𝄞", "ǆ", "ﬁ"};
constexpr int unicodePieceCount = sizeof unicodePieces / sizeof unicodePieces[0];

std::string Generator::windowsPiece() {
  static const char plain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_ .~()";
  if (!chance(15)) return std::string(1, plain[below(static_cast<int>(sizeof plain) - 1)]);
  return unicodePieces[below(unicodePieceCount)];
}

// A name as long as a name may be here. NTFS takes 255 UTF-16 units, but the host's
// file system under Wine (ext4) takes 255 bytes of UTF-8: 85 CJK characters (255
// bytes, 85 units) or 63 emoji (252 bytes, 126 units) are the longest that fit.
std::string Generator::longWindowsName() {
  const char* piece = chance(50) ? "語" : "😀";
  size_t each = strlen(piece);
  std::string name;
  for (size_t pieces = 255 / each - 1; pieces > 0; --pieces) name += piece;
  return name + static_cast<char>('a' + below(26));  // names differ by their plain end
}

bool reservedOnWindows(const std::string& name) {
  std::string base = matchForm(name.substr(0, name.find('.')));
  for (char& c : base) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* reserved[] = {"con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4",
                                   "com5", "com6", "com7", "com8", "com9", "lpt1", "lpt2", "lpt3",
                                   "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  for (const char* word : reserved)
    if (base == word) return true;
  return false;
}

// A name not yet used in the folder, in either tree, under the platform's matching.
// Windows drops trailing spaces and periods, so no name ends in one.
std::string Generator::freshName(Folder* folder, bool allowExtension) {
  static const char* extensions[] = {".txt", ".TXT", ".dat", ".Doc", ".tar.gz"};
  for (;;) {
    std::string name;
    int length = 1 + below(10);
    if (platformIsWindows && chance(4))
      name = longWindowsName();
    else
      for (int i = 0; i < length; ++i)
        name += platformIsWindows ? windowsPiece() : std::string(1, nameByte());
    if (allowExtension && chance(60) && name.size() + 7 <= 255) name += extensions[below(5)];
    if (name.back() == ' ' || name.back() == '.' || reservedOnWindows(name)) continue;
    if (folder->names.insert(matchForm(name)).second) return name;
  }
}

// The name with letters in other cases: A-Z anywhere, and on POSIX also the Latin-1
// letters of 192 and above, which no platform here folds either.
std::string Generator::caseVariant(const std::string& name) {
  std::string variant = name;
  for (char& c : variant) {
    unsigned char b = static_cast<unsigned char>(c);
    if (!chance(60)) continue;
    if (isalpha(b) && b < 128)
      c = static_cast<char>(b ^ 0x20);
    else if (!platformIsWindows && b >= 0xC0 && b != 0xD7 && b != 0xDF && b != 0xF7 && b != 0xFF)
      c = static_cast<char>(b ^ 0x20);
  }
  return variant;
}

std::string Generator::content() {
  static const int specialSizes[] = {0, 0, 32768, 32768, 32767, 32769, 65536, 1};
  int size = chance(35) ? specialSizes[below(8)] : 1 + below(2000);
  std::string bytes(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t random = next();
    memcpy(&bytes[i], &random, std::min<size_t>(8, bytes.size() - i));
  }
  return bytes;
}

std::string Generator::otherSize(const std::string& bytes) {
  std::string other = content();
  if (other.size() == bytes.size()) other += 'x';
  return other;
}

// A positive time difference, from one 100-ns unit to years.
int64_t Generator::gap() {
  static const int64_t scales[] = {1, 10, 10000000LL, 36000000000LL, 315360000000000LL};
  return 1 + static_cast<int64_t>(next() % static_cast<uint64_t>(scales[below(5)]));
}

void Generator::put(ModelTree* tree, const std::string& path, std::string bytes, int64_t time) {
  tree->files[path] = ModelFile{std::move(bytes), time};
  addAncestors(path, &tree->folders);
  ++(tree == &scenario.source ? sourceFiles : destinationFiles);
}

void Generator::addFolder() {
  int parentIndex = below(static_cast<int>(folders.size()));
  if (folders[parentIndex].depth >= maxDepth) return;
  Folder parent = folders[parentIndex];
  bool inSource = parent.inSource, inDestination = parent.inDestination;
  if (inSource && inDestination && chance(50)) (chance(50) ? inSource : inDestination) = false;
  std::string name = freshName(&folders[parentIndex], false);
  int copies = !platformIsWindows && chance(15) ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    if (i == 1) {  // a case twin beside it: another folder on POSIX
      name = caseVariant(name);
      if (!folders[parentIndex].names.insert(matchForm(name)).second) return;
    }
    std::string sourceName = name;
    std::string destinationName = platformIsWindows && chance(30) ? caseVariant(name) : name;
    Folder folder{parent.sourcePath + pathSeparator + sourceName,
                  parent.destinationPath + pathSeparator + destinationName,
                  inSource,
                  inDestination,
                  parent.depth + 1,
                  {}};
    if (inSource) scenario.source.folders.insert(folder.sourcePath);
    if (inDestination) scenario.destination.folders.insert(folder.destinationPath);
    folders.push_back(folder);
  }
}

void Generator::addFile(int folderIndex, FileKind kind, const std::string& name) {
  const Folder& folder = folders[folderIndex];
  if (!folder.inSource) kind = destinationOnly;
  if (!folder.inDestination) kind = sourceOnly;
  std::string sourcePath = folder.sourcePath + pathSeparator + name;
  std::string destinationName = platformIsWindows && chance(30) ? caseVariant(name) : name;
  std::string destinationPath = folder.destinationPath + pathSeparator + destinationName;
  std::string bytes = content();
  int64_t time = timeStamp();
  if (kind == lowHalfSign) time = (time & ~int64_t{0xFFFFFFFF}) | 0x80000000;
  if (kind != destinationOnly) put(&scenario.source, sourcePath, bytes, time);
  switch (kind) {
    case sourceOnly: return;
    case destinationOnly: put(&scenario.destination, destinationPath, content(), time); return;
    case destinationOlder:
      time -= gap();
      bytes = content();
      break;
    case sameFile: break;
    case equalTimeOtherSize: bytes = otherSize(bytes); break;
    case destinationNewer:
      time += gap();
      bytes = content();
      break;
    case olderByOneUnit: time -= 1; break;
    default:
      time -= 1;
      bytes = content();
      break;  // low half 0x7FFFFFFF
  }
  put(&scenario.destination, destinationPath, bytes, time);
}

void Generator::addFiles() {
  int wanted = below(21);
  for (int i = 0; i < wanted; ++i) {
    if (sourceFiles >= maxFilesPerTree - 2 || destinationFiles >= maxFilesPerTree - 2) return;
    int folderIndex = below(static_cast<int>(folders.size()));
    std::string name = freshName(&folders[folderIndex], true);
    addFile(folderIndex, static_cast<FileKind>(below(fileKinds)), name);
    if (platformIsWindows || !chance(15)) continue;
    // A case twin in the same folder: on POSIX another file, wherever it stands.
    std::string twin = caseVariant(name);
    if (folders[folderIndex].names.insert(matchForm(twin)).second)
      addFile(folderIndex, static_cast<FileKind>(below(fileKinds)), twin);
  }
}

Scenario Generator::make() {
  folders.push_back(Folder{"", "", true, true, 0, {}});
  int wantedFolders = below(9);
  for (int i = 0; i < wantedFolders; ++i) addFolder();
  addFiles();
  // A first backup into an empty or missing folder, and a source emptied since.
  if (chance(8)) scenario.destination = ModelTree{};
  if (chance(3)) scenario.source = ModelTree{};
  scenario.verbose = chance(75);
  scenario.log = chance(50);
  scenario.preview = chance(25);
  scenario.destination.rootExists =
      !(scenario.destination.files.empty() && scenario.destination.folders.empty() && chance(50));
  scenario.logInDestination = scenario.log && scenario.destination.rootExists && chance(30);
  // The nets under the deletions, drawn last so that a seed keeps its trees: a source
  // emptied since (an unmounted disk), the guard allowed or not, and a cap.
  if (chance(8)) scenario.source = ModelTree{};
  scenario.allowEmptySource = chance(50);
  if (chance(40)) scenario.maxDeletions = below(6);
  scenario.capApart = chance(50);
  scenario.backup = chance(40);
  return scenario;
}
}  // namespace

Scenario generateScenario(uint64_t seed) {
  Scenario scenario = Generator(seed).make();
  drawPatterns(seed, &scenario);
  return scenario;
}
