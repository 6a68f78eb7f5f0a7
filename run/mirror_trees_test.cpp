// The model's prediction of a run, and the trees written to and read back from disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/settings.h"
#include "platform/test_support.h"
#include "run/mirror_model.h"

namespace {
// The nets under the deletions, decided before any change: an empty source (unless
// allowed), then the cap. A run they stop changes, prints and logs nothing more.
void stopIfRefused(const Scenario& scenario, bool sourceEmpty, const std::string& sourceRoot,
                   size_t deletions, Prediction* p) {
  std::string count = std::to_string(deletions) + (deletions == 1 ? " file" : " files");
  // The source the filters leave in: one whose every file is left out empties too.
  if (sourceEmpty && deletions > 0 && !scenario.allowEmptySource)
    p->stopLine = "The source folder [" + sourceRoot + "] holds no file: the run would delete " +
                  "the destination's " + count +
                  "; nothing was changed (give --allow-empty-source to allow it) !";
  else if (scenario.maxDeletions >= 0 && deletions > static_cast<size_t>(scenario.maxDeletions))
    p->stopLine = "The run would delete " + count +
                  ", more than --max-delete=" + std::to_string(scenario.maxDeletions) +
                  " allows: nothing was changed !";
  if (p->stopLine.empty()) return;
  for (auto* lines : {&p->updates, &p->copies, &p->deletions, &p->moves, &p->logUpdates,
                      &p->logCopies, &p->logDeletions, &p->logMoves})
    lines->clear();
  p->moved = ModelTree{};
  p->moved.rootExists = false;
  p->nothingToDo = false;
  p->after = scenario.destination;
  p->exitStatus = 2;
}
}  // namespace

Prediction predictRun(const Scenario& scenario, const std::string& sourceRoot,
                      const std::string& destinationRoot) {
  Prediction p;
  // What the filters leave out of the source is not there for the run; out of the
  // destination, it is listed only to be deleted (--delete-excluded).
  ModelTree source = scenario.source, destination = scenario.destination;
  const std::vector<ModelPattern>& patterns = scenario.patterns;
  for (ModelTree* tree : {&source, &destination})
    for (auto file = tree->files.begin(); file != tree->files.end();)
      if (modelLeftOut(patterns, file->first, false) &&
          (tree == &source || !scenario.deleteExcluded))
        file = tree->files.erase(file);
      else
        ++file;
  // The log, opened before the listings, is listed with the destination when it lies there.
  std::string log = std::string(1, pathSeparator) + logFileName;
  bool logListed =
      scenario.logInDestination && (scenario.deleteExcluded || !modelLeftOut(patterns, log, false));
  size_t listed = destination.files.size() + (logListed ? 1 : 0);
  if (scenario.verbose)
    p.summary.push_back("We have " + std::to_string(listed) + " destination and " +
                        std::to_string(source.files.size()) + " source indexes");
  std::map<std::string, std::string> destinationByForm;
  for (const auto& file : destination.files) destinationByForm[matchForm(file.first)] = file.first;
  p.after = scenario.destination;
  p.moved.rootExists = false;
  // With --backup-dir a file deleted or replaced goes to the run's folder.
  auto move = [&](const std::string& path, const ModelFile& old) {
    if (!scenario.backup) return;
    p.moves.push_back("Moving [" + destinationRoot + path + "] to [" + backupRunMark + path + "]");
    p.logMoves.push_back("Moved " + path + "\t" + backupRunMark + path);
    p.moved.files[path] = old;
    p.moved.rootExists = true;
    addAncestors(path, &p.moved.folders);
  };
  std::set<std::string> claimed;
  size_t deletions = 0;
  for (const auto& file : source.files) {
    const std::string& path = file.first;
    std::string size = std::to_string(file.second.bytes.size());
    auto twin = destinationByForm.find(matchForm(path));
    if (twin != destinationByForm.end()) {
      claimed.insert(twin->second);
      if (destination.files.at(twin->second).time >= file.second.time) continue;
      p.updates.push_back("Newer file found " + path + ", updating!");
      p.logUpdates.push_back("Updated " + path + "\t" + size);
      // Windows writes an update under the source's spelling (the same file there).
      move(platformIsWindows ? path : twin->second, destination.files.at(twin->second));
      p.after.files[twin->second] = file.second;  // written through the existing name
      continue;
    }
    p.copies.push_back("We need to copy " + sourceRoot + path);
    p.logCopies.push_back("Got " + path + "\t" + size);
    p.after.files[path] = file.second;
    p.after.rootExists = true;
    // A missing folder is made in the source's spelling; an existing one is used.
    std::set<std::string> existing;
    for (const std::string& folder : p.after.folders) existing.insert(matchForm(folder));
    std::set<std::string> needed;
    addAncestors(path, &needed);
    for (const std::string& folder : needed)
      if (!existing.count(matchForm(folder))) p.after.folders.insert(folder);
  }
  for (const auto& file : destination.files) {
    if (claimed.count(file.first)) continue;
    ++deletions;
    if (scenario.backup) {
      move(file.first, file.second);
    } else {
      p.deletions.push_back("We need to delete " + destinationRoot + file.first);
      p.logDeletions.push_back("Deleted " + file.first);
    }
    p.after.files.erase(file.first);
  }
  p.nothingToDo = p.updates.empty() && p.copies.empty() && p.deletions.empty() && p.moves.empty();
  stopIfRefused(scenario, source.files.empty(), sourceRoot, deletions, &p);
  if (!scenario.verbose) p.updates.clear(), p.copies.clear(), p.deletions.clear(), p.moves.clear();
  for (auto* lines : {&p.updates, &p.copies, &p.deletions, &p.moves, &p.logUpdates, &p.logCopies,
                      &p.logDeletions, &p.logMoves})
    std::sort(lines->begin(), lines->end());
  return p;
}

namespace {
FileTime fileTimeOf(int64_t units) {
  return FileTime{static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32)};
}

void noteFolder(void* context, const char* name, int isDirectory, uint64_t, FileTime) {
  if (isDirectory && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
    static_cast<std::vector<std::string>*>(context)->push_back(name);
}

void readFolders(const std::string& root, const std::string& relative,
                 std::set<std::string>* folders) {
  std::vector<std::string> names;
  enumerateDirectory((root + relative).c_str(), noteFolder, &names);
  for (const std::string& name : names) {
    std::string child = relative + pathSeparator + name;
    folders->insert(child);
    readFolders(root, child, folders);
  }
}
}  // namespace

void writeTree(const std::string& root, const ModelTree& tree) {
  if (!tree.rootExists) return;
  ASSERT_TRUE(makeFolders(root)) << root;
  for (const std::string& folder : tree.folders) ASSERT_TRUE(makeFolders(root + folder)) << folder;
  for (const auto& file : tree.files) {
    std::string path = root + file.first;
    ASSERT_TRUE(writeFileBytes(path, file.second.bytes)) << path;
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(file.second.time))) << path;
  }
}

// The tree as it stands on disk: every file's bytes and last-write time, every folder.
ModelTree readTree(const std::string& root) {
  ModelTree tree;
  tree.rootExists = pathExists(root);
  for (const std::string& relative : listFiles(root)) {
    if (relative == logFileName) continue;
    std::string path = root + pathSeparator + relative;
    ModelFile file{"<unreadable>", -1};
    FileTimes times = {};
    if (readFileBytes(path, &file.bytes) && readFileTimes(path, &times))
      file.time = times.lastWrite;
    tree.files[pathSeparator + relative] = file;
  }
  if (tree.rootExists) readFolders(root, "", &tree.folders);
  return tree;
}

// Compares by the platform's name matching: on Windows a twin keeps the destination's
// spelling, which the file system may report in either case.
void expectSameTree(const ModelTree& expected, const ModelTree& actual, const char* what) {
  EXPECT_EQ(expected.rootExists, actual.rootExists) << what << ": root";
  std::map<std::string, std::pair<std::string, const ModelFile*>> actualFiles;
  for (const auto& file : actual.files)
    actualFiles[matchForm(file.first)] = {file.first, &file.second};
  for (const auto& file : expected.files) {
    auto found = actualFiles.find(matchForm(file.first));
    if (found == actualFiles.end()) {
      ADD_FAILURE() << what << ": missing file " << file.first;
      continue;
    }
    EXPECT_TRUE(found->second.second->bytes == file.second.bytes)
        << what << ": content of " << file.first;
    EXPECT_EQ(file.second.time, found->second.second->time) << what << ": time of " << file.first;
    actualFiles.erase(found);
  }
  for (const auto& extra : actualFiles)
    ADD_FAILURE() << what << ": extra file " << extra.second.first;
  std::set<std::string> expectedFolders, actualFolders;
  for (const std::string& folder : expected.folders) expectedFolders.insert(matchForm(folder));
  for (const std::string& folder : actual.folders) actualFolders.insert(matchForm(folder));
  EXPECT_EQ(expectedFolders, actualFolders) << what << ": folders";
}
