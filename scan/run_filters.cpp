#include "scan/run_filters.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "platform/copy_files.h"
#include "platform/platform.h"

namespace {
// A pattern file larger than this is no list of patterns (a wrong file named).
constexpr size_t mostPatternFileBytes = 16 << 20;

// Reads a whole file into text; 0, or the system's failure code (-1: too large, -2:
// no regular file, which is never waited on).
int readWholeFile(const char* path, std::string* text) {
  SourceFile file;
  int failure = 0;
  int opened = openSourceFile(path, &file, &failure);
  if (opened == sourceNotRegular) return -2;
  if (opened != sourceOpened) return failure;
  char block[16384];
  long long got;
  while ((got = readFromFile(file.handle, block, sizeof block)) > 0 &&
         text->size() <= mostPatternFileBytes)
    text->append(block, static_cast<size_t>(got));
  int failed = got < 0 ? lastFailureCode() : 0;
  closeFile(file.handle);
  if (!failed && text->size() > mostPatternFileBytes) failed = -1;
  return failed;
}

bool blankLine(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

bool allUtf8(const char* text, size_t length) {
  for (size_t at = 0, taken = 0; at < length; at += taken)
    if (filterCharacter(text + at, length - at, &taken) >= 0x110000) return false;
  return true;
}

// What makes a line of a pattern file no pattern at all, or null. No name holds a
// NUL. Where names are UTF-8 (Windows), bytes that are not tell of a file saved in
// another encoding, and would match no name; where names are bytes (POSIX), any
// other byte may stand in a name, and so in a pattern.
const char* lineFault(const char* line, size_t length) {
  if (memchr(line, '\0', length)) return "a NUL byte";
  if (platformIsWindows && !allUtf8(line, length)) return "bytes that are not UTF-8";
  return nullptr;
}

// One pattern a line; blank lines and lines starting with # are passed over. A file
// with a line that is no text, comments included, is refused whole.
int readPatternFile(FilterSet* set, const PatternFile& file, int32_t place) {
  std::string text;
  if (int failed = readWholeFile(file.path.c_str(), &text)) {
    char reason[256] = "larger than 16 MiB";
    if (failed == -2) snprintf(reason, sizeof reason, "it is not a regular file");
    if (failed > 0) describeSystemFailure(failed, reason, sizeof reason);
    consolePrintf("Cannot read the pattern file [%s]: %s !\n", file.path.c_str(), reason);
    return 1;
  }
  // An editor's byte order mark is no part of the first pattern.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  size_t first = set->sources.size();
  int32_t number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (const char* fault = lineFault(line.data(), line.size())) {
      consolePrintf("Bad pattern file [%s]: %s on line %d !\n", file.path.c_str(), fault,
                    static_cast<int>(number));
      set->sources.resize(first);
      return 1;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blankLine(line) || line[0] == '#') continue;
    set->sources.push_back(FilterSource{line, file.kind, nullptr, place, number});
  }
  return 0;
}

int compileRunFilters(RunFilters* filters, int foldCase) {
  FilterSet* set = &filters->set;
  int32_t failed = -1;
  int result = compileFilterSet(set, foldCase, &failed);
  if (result == filterCompiled) return 0;
  if (failed < 0) {
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  const FilterSource& bad = set->sources[static_cast<size_t>(failed)];
  if (bad.file < 0) {
    consolePrintf("Bad pattern [%s] given to %s: %s !\n", bad.text.c_str(), bad.option,
                  filterResultText(result));
  } else {
    const std::string& path = filters->files[static_cast<size_t>(bad.file)].path;
    consolePrintf("Bad pattern [%s] on line %d of [%s]: %s !\n", bad.text.c_str(),
                  static_cast<int>(bad.line), path.c_str(), filterResultText(result));
  }
  return exitStopped;
}

struct MountFolding {
  const char* root;
  int folds;
};

void noteMountFolding(void* context, const char* relative) {
  MountFolding* folding = static_cast<MountFolding*>(context);
  std::string full = std::string(folding->root) + relative;
  if (folderNameRules(full.c_str()) != namesAsPlatform) folding->folds = 1;
}
}  // namespace

void addRunFilterPattern(RunFilters* filters, int kind, const char* pattern, const char* option) {
  filters->set.sources.push_back(FilterSource{pattern, kind, option});
}

void addRunFilterFile(RunFilters* filters, int kind, const char* path) {
  filters->files.push_back(PatternFile{kind, path});
}

int prepareRunFilters(RunFilters* filters) {
  for (size_t place = 0; place < filters->files.size(); ++place)
    if (readPatternFile(&filters->set, filters->files[place], static_cast<int32_t>(place)))
      return exitStopped;
  if (filters->set.sources.empty()) return 0;
  return compileRunFilters(filters, platformIsWindows ? 1 : 0);
}

int fitRunFiltersTo(RunFilters* filters, const char* destinationRoot) {
  if (!filtersActive(&filters->set) || filters->set.foldCase) return 0;
  // A case twin of an excluded name must be excluded too: else a copy of the one
  // would land on the other, which the filters were to leave alone.
  MountFolding folding = {destinationRoot, folderNameRules(destinationRoot) != namesAsPlatform};
  if (!folding.folds) forEachMountBelow(destinationRoot, noteMountFolding, &folding);
  return folding.folds ? compileRunFilters(filters, 1) : 0;
}

const FilterSet* runFilterSet(const RunFilters& filters) {
  return filtersActive(&filters.set) ? &filters.set : nullptr;
}

bool runFilterGiven(const RunFilters& filters, int kind, const char* text, int isFile) {
  if (isFile) {
    for (const PatternFile& file : filters.files)
      if (file.kind == kind && file.path == text) return true;
    return false;
  }
  for (const FilterSource& source : filters.set.sources)
    if (source.kind == kind && source.text == text) return true;
  return false;
}
