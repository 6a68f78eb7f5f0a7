// The model test's filters: patterns drawn from the names of a seed's trees, and the
// rules that say which paths they leave out, written as plainly as a user reads them
// (recursive globs, no index, nothing of the program's matcher).
#include <cstring>
#include <string>
#include <vector>

#include "run/mirror_model.h"

namespace {
// Letters compare as the platform's names do: A to Z folded on Windows.
char comparable(char c) {
  return platformIsWindows && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The bytes of the character at text: a well-formed UTF-8 sequence (no overlong
// form, no surrogate, nothing past U+10FFFF), else one byte.
size_t characterBytes(const std::string& text, size_t at) {
  unsigned char b = static_cast<unsigned char>(text[at]);
  size_t length = b >= 0xF0 && b <= 0xF4   ? 4
                  : b >= 0xE0 && b <= 0xEF ? 3
                  : b >= 0xC2 && b <= 0xDF ? 2
                                           : 1;
  if (length == 1 || at + length > text.size()) return 1;
  uint32_t value = b & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 1;
    value = value << 6 | (next & 0x3Fu);
  }
  const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
  return length;
}

// One ASCII character against a class such as [!a-c] at p (past its '['); sets the end.
bool inClass(const std::string& p, size_t at, char c, size_t* end) {
  bool negated = p[at] == '!' || p[at] == '^';
  if (negated) ++at;
  bool in = false;
  for (bool first = true; first || p[at] != ']'; first = false) {
    char low = p[at], high = low;
    if (p[at + 1] == '-' && p[at + 2] != ']') {
      high = p[at + 2];
      at += 2;
    }
    ++at;
    char upper = platformIsWindows && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    for (char x : {c, comparable(c), upper}) in = in || (x >= low && x <= high);
  }
  *end = at + 1;
  return in != negated;
}

bool globName(const std::string& p, size_t i, const std::string& s, size_t j) {
  if (i == p.size()) return j == s.size();
  if (p[i] == '*') {
    for (size_t k = j; k <= s.size(); ++k)
      if (globName(p, i + 1, s, k)) return true;
    return false;
  }
  if (j == s.size()) return false;
  if (p[i] == '?') return globName(p, i + 1, s, j + characterBytes(s, j));
  if (p[i] == '[') {
    size_t end = 0;
    return inClass(p, i + 1, s[j], &end) && globName(p, end, s, j + 1);
  }
  return comparable(p[i]) == comparable(s[j]) && globName(p, i + 1, s, j + 1);
}

bool globPath(const std::vector<std::string>& p, size_t i, const std::vector<std::string>& s,
              size_t j) {
  if (i == p.size()) return j == s.size();
  if (p[i] == "**") return globPath(p, i + 1, s, j) || (j < s.size() && globPath(p, i, s, j + 1));
  return j < s.size() && globName(p[i], 0, s[j], 0) && globPath(p, i + 1, s, j + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(separator, at);
    if (end == std::string::npos) end = text.size();
    if (end > at) names.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// Whether one pattern matches the path of these names (a folder when isFolder).
bool patternMatches(std::string text, const std::vector<std::string>& path, bool isFolder) {
  if (platformIsWindows)
    for (char& c : text)
      if (c == '\\') c = '/';
  bool folderOnly = false;
  while (!text.empty() && text.back() == '/') {
    text.pop_back();
    folderOnly = true;
  }
  if (folderOnly && !isFolder) return false;
  std::vector<std::string> names = split(text, '/');
  if (text[0] == '/' || names.size() > 1) return globPath(names, 0, path, 0);
  return globName(names[0], 0, path.back(), 0);
}
}  // namespace

bool modelLeftOut(const std::vector<ModelPattern>& patterns, const std::string& path,
                  bool isFolder) {
  std::vector<std::string> names = split(path, pathSeparator);
  bool anyInclude = false, included = false;
  for (const ModelPattern& pattern : patterns) anyInclude = anyInclude || pattern.include;
  // A path is out when it or a folder above it matches an exclude, or when includes
  // were given and neither it nor a folder above it matches one.
  for (size_t depth = 1; depth <= names.size(); ++depth) {
    std::vector<std::string> prefix(names.begin(), names.begin() + depth);
    bool folder = depth < names.size() || isFolder;
    for (const ModelPattern& pattern : patterns) {
      bool matches = patternMatches(pattern.text, prefix, folder);
      if (matches && !pattern.include) return true;
      if (matches && pattern.include) included = true;
    }
  }
  return anyInclude && !included;
}

namespace {
// A seed's patterns, drawn from a stream of their own after its trees: the trees of
// every seed stay what they were without filters.
class PatternDraw {
 public:
  PatternDraw(uint64_t seed, const Scenario& scenario) : state(seed * 0xD1B54A32D192ED03ull + 7) {
    for (const ModelTree* tree : {&scenario.source, &scenario.destination}) {
      for (const auto& file : tree->files) add(file.first, false);
      for (const std::string& folder : tree->folders) add(folder, true);
    }
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  std::string pattern(bool include);

 private:
  uint64_t next() {  // splitmix64, as the generator of the trees
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void add(const std::string& path, bool folder) {
    paths.push_back(split(path, pathSeparator));
    isFolder.push_back(folder);
  }
  std::string joined(const std::vector<std::string>& names, size_t count) const {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += (i ? "/" : "") + names[i];
    return text;
  }
  std::string wildcard(const std::string& name);
  std::string shape(bool include);

  uint64_t state;
  std::vector<std::vector<std::string>> paths;
  std::vector<bool> isFolder;
};

// A name with a wildcard where it stood: its extension after a *, one letter a ? or
// a class.
std::string PatternDraw::wildcard(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && chance(50)) return "*" + name.substr(dot);
  size_t at = static_cast<size_t>(below(static_cast<int>(name.size())));
  // Windows names reach the program as UTF-16: a pattern cut inside a character could
  // not, so it is cut where one starts.
  while (platformIsWindows && at > 0 && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) --at;
  if (!isalnum(static_cast<unsigned char>(name[at]))) return name.substr(0, at) + "*";
  std::string one = chance(50) ? "?" : std::string("[") + name[at] + "_]";
  return name.substr(0, at) + one + name.substr(at + 1);
}

std::string PatternDraw::shape(bool include) {
  if (paths.empty() || chance(8)) return chance(50) ? "*.absent" : "/absent/";
  size_t k = static_cast<size_t>(below(static_cast<int>(paths.size())));
  const std::vector<std::string>& names = paths[k];
  const std::string& last = names.back();
  std::string folderMark = isFolder[k] && chance(60) ? "/" : "";
  switch (below(include ? 5 : 6)) {
    case 0: return last + folderMark;                               // a name at any depth
    case 1: return "/" + joined(names, names.size()) + folderMark;  // anchored
    case 2: return names.size() > 1 ? joined(names, names.size()) : "/" + last;  // a path
    case 3: return wildcard(last);
    case 4:  // any folders between, or below
      if (names.size() > 1 && chance(50)) return "/" + names[0] + "/**/" + last + folderMark;
      if (names.size() > 1 && chance(50)) return "/" + joined(names, names.size() - 1) + "/**";
      return "**/" + last + folderMark;
    default: return "/" + names[0] + "/";  // a whole top folder
  }
}

std::string PatternDraw::pattern(bool include) {
  std::string text = shape(include);
  if (!platformIsWindows) return text;
  // Windows takes \ as a separator, and letters in either case.
  if (chance(30))
    for (char& c : text)
      if (c == '/') c = '\\';
  if (chance(30))
    for (char& c : text)
      if (isalpha(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 128) c ^= 0x20;
  return text;
}
}  // namespace

void drawPatterns(uint64_t seed, Scenario* scenario) {
  PatternDraw draw(seed, *scenario);
  // An emptied source stays the empty-source guard's own case (a source whose files
  // the filters all leave out makes the same case often enough).
  if (draw.chance(45) || scenario->source.files.empty()) return;
  int excludes = draw.chance(20) ? 0 : 1 + draw.below(3);
  int includes = draw.chance(35) || excludes == 0 ? 1 + draw.below(2) : 0;
  for (int i = 0; i < excludes + includes; ++i) {
    ModelPattern pattern;
    pattern.include = i >= excludes;
    pattern.text = draw.pattern(pattern.include);
    pattern.given = draw.below(3);
    if (pattern.given == givenApart && pattern.text[0] == '-') pattern.given = givenWithEquals;
    scenario->patterns.push_back(pattern);
  }
  scenario->deleteExcluded = draw.chance(35);
}
