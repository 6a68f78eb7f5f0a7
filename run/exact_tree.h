// Tests of exact mirrors: a tree as a listing that keeps it as it is reads it, every
// entry with its kind, its bytes or link target, its time and the names of its file.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/test_support.h"

// One entry as an exact mirror must give it back: its kind, its bytes or target,
// its time, and the names of the tree that share its file (by the least of them).
struct ExactEntry {
  int kind;
  std::string content;
  int64_t time;
  std::string group;
  bool operator==(const ExactEntry& other) const {
    return kind == other.kind && content == other.content && time == other.time &&
           group == other.group;
  }
};
typedef std::map<std::string, ExactEntry> ExactTree;

namespace exact_tree_detail {
struct Walk {
  std::string root;
  std::string relative;
  ExactTree* tree;
  std::map<std::pair<uint64_t, uint64_t>, std::string>* firstName;
  std::vector<std::string> folders;
};

inline void note(void* context, const ListedEntry* entry) {
  Walk* walk = static_cast<Walk*>(context);
  std::string name = entry->name;
  if (name == "." || name == ".." || name == ".talven-backup") return;
  std::string relative = walk->relative + std::string(1, pathSeparator) + name;
  ExactEntry kept = {entry->kind, "", fileTimeValue(entry->lastWrite), ""};
  if (entry->kind == entryLink) kept.content = entry->target;
  if (entry->kind == entryFile) readFileBytes(walk->root + relative, &kept.content);
  if (entry->kind == entryFolder) walk->folders.push_back(relative);
  if (entry->links > 1) {
    // Named by the least of its names, whatever order the folders list them in.
    auto key = std::make_pair(entry->identity.volume, entry->identity.index);
    auto found = walk->firstName->emplace(key, relative).first;
    if (relative < found->second) found->second = relative;
    kept.group = std::to_string(key.first) + ":" + std::to_string(key.second);
  }
  (*walk->tree)[relative] = kept;
}

inline void walkExact(const std::string& root, const std::string& relative, ExactTree* tree,
                      std::map<std::pair<uint64_t, uint64_t>, std::string>* firstName) {
  Walk walk = {root, relative, tree, firstName, {}};
  int asIs = listLinksAsIs | listFolderTimes | listFileLinks;
  listDirectory((root + relative).c_str(), asIs, note, &walk);
  for (const std::string& folder : walk.folders) walkExact(root, folder, tree, firstName);
}

}  // namespace exact_tree_detail

/// Every entry below root, the root's own time under "".
inline ExactTree captureExact(const std::string& root) {
  ExactTree tree;
  std::map<std::pair<uint64_t, uint64_t>, std::string> firstName;
  exact_tree_detail::walkExact(root, "", &tree, &firstName);
  for (auto& entry : tree) {
    if (entry.second.group.empty()) continue;
    size_t colon = entry.second.group.find(':');
    auto key = std::make_pair(std::stoull(entry.second.group.substr(0, colon)),
                              std::stoull(entry.second.group.substr(colon + 1)));
    entry.second.group = firstName[key];
  }
  FileTime rootTime = {0, 0};
  getFileTime(root.c_str(), &rootTime);
  tree[""] = ExactEntry{entryFolder, "", fileTimeValue(rootTime), ""};
  return tree;
}

/// The entries on which two trees differ, for a failure message.
inline std::string describe(const ExactTree& expected, const ExactTree& actual) {
  std::string text;
  for (const auto& entry : expected) {
    auto found = actual.find(entry.first);
    if (found == actual.end())
      text += " missing[" + entry.first + "]";
    else if (!(found->second == entry.second))
      text += " differs[" + entry.first + "] kind " + std::to_string(entry.second.kind) + "/" +
              std::to_string(found->second.kind) + " time " + std::to_string(entry.second.time) +
              "/" + std::to_string(found->second.time) + " group " + entry.second.group + "/" +
              found->second.group;
  }
  for (const auto& entry : actual)
    if (!expected.count(entry.first)) text += " extra[" + entry.first + "]";
  return text;
}
