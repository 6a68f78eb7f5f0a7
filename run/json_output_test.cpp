// --json: standard output holds JSON Lines alone, which a strict reader reads back,
// and which tell what the tree shows: every action with its outcome, the counts of
// the end object, names that are no UTF-8 given back byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_lines.h"
#include "run/end_to_end_fixture.h"
#include "run/run_fixture.h"

namespace {
// What a run printed, read back: the objects by type.
struct JsonRun {
  std::vector<JsonValue> objects;
  const JsonValue* start = nullptr;
  const JsonValue* end = nullptr;
  std::vector<const JsonValue*> actions;
  std::vector<const JsonValue*> unlisted;
  /// Actions of kind with outcome (any kind where kind is empty).
  int count(const std::string& kind, const std::string& outcome) const {
    int found = 0;
    for (const JsonValue* action : actions)
      found += (kind.empty() || (*action)["kind"].str() == kind) &&
               (*action)["outcome"].str() == outcome && !(*action).has("folder");
    return found;
  }
  /// The action of kind on path, or null.
  const JsonValue* find(const std::string& kind, const std::string& path) const {
    for (const JsonValue* action : actions)
      if ((*action)["kind"].str() == kind && (*action)["path"].str() == path) return action;
    return nullptr;
  }
};

// Reads the output of a --json run: every line an object, the start first, the end
// last, nothing else; false (with a failure) where it is not so.
bool readJsonRun(const std::string& output, JsonRun* run) {
  std::string error;
  if (!parseJsonLines(output, &run->objects, &error)) {
    ADD_FAILURE() << error << "\n" << output;
    return false;
  }
  if (run->objects.size() < 2 || run->objects.front()["type"].str() != "start" ||
      run->objects.back()["type"].str() != "end") {
    ADD_FAILURE() << "no start and end:\n" << output;
    return false;
  }
  run->start = &run->objects.front();
  run->end = &run->objects.back();
  for (size_t i = 1; i + 1 < run->objects.size(); ++i) {
    const JsonValue& object = run->objects[i];
    if (object["type"].str() == "action")
      run->actions.push_back(&object);
    else if (object["type"].str() == "unlisted")
      run->unlisted.push_back(&object);
    else
      ADD_FAILURE() << "unknown object: " << object["type"].str();
  }
  return true;
}

// The end object's counts against the action objects.
void expectEndMatchesActions(const JsonRun& run, const std::string& outcome) {
  const JsonValue& end = *run.end;
  EXPECT_EQ(run.count("copy", outcome), end["copied"].integer());
  EXPECT_EQ(run.count("update", outcome), end["updated"].integer());
  EXPECT_EQ(run.count("delete", outcome), end["deleted"].integer());
  EXPECT_EQ(run.count("move", outcome), end["moved"].integer());
  EXPECT_EQ(run.count("", "vanished"), end["vanished"].integer());
}

// A path of the objects as the tree's snapshot names it.
std::string onDisk(std::string path) {
  for (char& c : path)
    if (c == '/') c = pathSeparator;
  return path;
}

class JsonOutput : public InProcessMirrorTest {
 protected:
  // A tree that meets every outcome: a copy into a new folder, an update, a deletion,
  // a copy that fails (a folder holding a file stands where it goes), a source file
  // that vanishes once listed, one that turns into a folder once listed.
  void writeTrees() {
    writeFile(at({"src", "new.txt"}), "fresh", sourceUnits);
    writeFile(at({"src", "sub", "deep.txt"}), "deep", sourceUnits);
    writeFile(at({"src", "update.bin"}), patternBytes(50000, 3), sourceUnits);
    writeFile(at({"dst", "update.bin"}), "older", olderUnits);
    writeFile(at({"dst", "stale.txt"}), "only here", olderUnits);
    writeFile(at({"src", "x"}), "a file now", sourceUnits);
    writeFile(at({"dst", "x", "inside.txt"}), "in the folder", olderUnits);
    writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
    writeFile(at({"src", "folder.txt"}), "listed, then a folder", sourceUnits);
  }
  static void changeSourceOnceListed(void* context) {
    JsonOutput* test = static_cast<JsonOutput*>(context);
    ASSERT_EQ(0, deleteFile(test->at({"src", "gone.txt"}).c_str()));
    ASSERT_EQ(0, deleteFile(test->at({"src", "folder.txt"}).c_str()));
    ASSERT_TRUE(makeFolders(test->at({"src", "folder.txt"})));
  }
};

TEST_F(JsonOutput, ARunWithFailuresIsToldAsTheTreeShowsIt) {
  writeTrees();
  seams.scansEnded = changeSourceOnceListed;
  seams.context = this;
  std::string output, errors;
  int status = runHere({"--json", "-v", "--stats"}, &output, &errors);
  seams.scansEnded = nullptr;
  EXPECT_EQ(exitSomeFailed, status) << errors;
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  // Everything else went to standard error: the banner, the -v lines, the summary.
  EXPECT_EQ(0u, errors.find(bannerStart)) << errors;
  EXPECT_NE(std::string::npos, errors.find("We need to copy ")) << errors;
  EXPECT_NE(std::string::npos, errors.find("Done: 2 copied, 1 updated (")) << errors;
  EXPECT_NE(std::string::npos, errors.find(", 2 failed, 1 vanished, in ")) << errors;
  const JsonValue& start = *run.start;
  EXPECT_EQ(1, start["schema"].integer());
  EXPECT_EQ(destination, start["destination"].str());
  EXPECT_EQ(source, start["source"].str());
  EXPECT_EQ(JsonValue::string, start["destination_resolved"].kind);
  ASSERT_EQ(3u, start["options"].items.size());
  EXPECT_EQ("--json", start["options"].items[0].str());
  // 2026-05-01T12:34:56+02:00
  EXPECT_EQ(25u, start["time"].str().size()) << start["time"].str();
  // Each action as the tree shows it.
  TreeState tree = captureTree(destination);
  for (const char* done : {"new.txt", "sub/deep.txt"}) {
    const JsonValue* copy = run.find("copy", done);
    ASSERT_TRUE(copy) << done;
    EXPECT_EQ("done", (*copy)["outcome"].str());
    EXPECT_EQ(1u, tree.count(onDisk(done))) << done;
  }
  EXPECT_EQ(5, (*run.find("copy", "new.txt"))["size"].integer());
  ASSERT_TRUE(run.find("mkdir", "sub"));
  EXPECT_EQ("done", (*run.find("mkdir", "sub"))["outcome"].str());
  ASSERT_TRUE(run.find("update", "update.bin"));
  EXPECT_EQ("done", (*run.find("update", "update.bin"))["outcome"].str());
  EXPECT_TRUE(tree["update.bin"] == (FileState{patternBytes(50000, 3), sourceUnits}));
  for (const char* deleted : {"stale.txt", "x/inside.txt"}) {
    ASSERT_TRUE(run.find("delete", deleted)) << deleted;
    EXPECT_EQ("done", (*run.find("delete", deleted))["outcome"].str());
    EXPECT_EQ(0u, tree.count(onDisk(deleted)));
  }
  ASSERT_TRUE(run.find("copy", "gone.txt"));
  EXPECT_EQ("vanished", (*run.find("copy", "gone.txt"))["outcome"].str());
  EXPECT_EQ(0u, tree.count("gone.txt"));
  // The failures: their reason as words, and the system's code where it gave one.
  const JsonValue* blocked = run.find("copy", "x");
  ASSERT_TRUE(blocked);
  EXPECT_EQ("failed", (*blocked)["outcome"].str());
  EXPECT_EQ("create the file", (*blocked)["failed_to"].str());
  EXPECT_GT((*blocked)[platformIsWindows ? "windows_error" : "errno"].integer(), 0);
  EXPECT_NE(std::string::npos, errors.find("Could not create the file [" + at({"dst", "x"}) +
                                           "]: " + (*blocked)["reason"].str() + "\n"))
      << errors;
  const JsonValue* folder = run.find("copy", "folder.txt");
  ASSERT_TRUE(folder);
  EXPECT_EQ("failed", (*folder)["outcome"].str());
  EXPECT_EQ(0u, tree.count("folder.txt"));
  // The end: the summary's counts, the bytes of the copies in place, the status.
  const JsonValue& end = *run.end;
  EXPECT_EQ("done", end["result"].str());
  EXPECT_EQ(2, end["copied"].integer());
  EXPECT_EQ(1, end["updated"].integer());
  EXPECT_EQ(2, end["deleted"].integer());
  EXPECT_EQ(2, end["failed"].integer());
  EXPECT_EQ(1, end["vanished"].integer());
  EXPECT_EQ(0, end["moved"].integer());
  EXPECT_EQ(5 + 4 + 50000, end["bytes"].integer());
  EXPECT_EQ(exitSomeFailed, end["status"].integer());
  EXPECT_EQ(JsonValue::number, end["seconds"].kind);
  expectEndMatchesActions(run, "done");
  // The copies and the update, nothing else.
  EXPECT_EQ(3u, tree.size()) << treeDifference({}, tree);
}

TEST_F(JsonOutput, APreviewTellsWhatItWouldDoAndChangesNothing) {
  writeTrees();
  ASSERT_TRUE(makeFolders(at({"versions"})));
  TreeState before = captureTree(destination);
  std::string output, errors;
  EXPECT_EQ(exitSuccess,
            runHere({"-p", "--json", "--backup-dir=" + at({"versions"})}, &output, &errors))
      << errors;
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  expectUnchanged(before, destination);
  for (const JsonValue* action : run.actions)
    EXPECT_EQ("previewed", (*action)["outcome"].str()) << (*action)["path"].str();
  // The update's old file and the two files the source lacks would go to the
  // backup folder.
  const JsonValue* replaced = run.find("move", "update.bin");
  ASSERT_TRUE(replaced);
  EXPECT_TRUE((*replaced)["replaced"].flag);
  EXPECT_EQ(0u, (*replaced)["to"].str().find(at({"versions"}))) << (*replaced)["to"].str();
  ASSERT_TRUE(run.find("move", "stale.txt"));
  const JsonValue& end = *run.end;
  EXPECT_EQ("preview", end["result"].str());
  // x collides with a folder only once tried: a preview counts it among the copies.
  EXPECT_EQ(5, end["copied"].integer());
  EXPECT_EQ(1, end["updated"].integer());
  EXPECT_EQ(3, end["moved"].integer());
  EXPECT_EQ(0, end["status"].integer());
  expectEndMatchesActions(run, "previewed");
}

TEST_F(JsonOutput, StopsAndRefusalsKeepStandardOutputForJson) {
  writeTrees();
  std::string output, errors;
  // Stopped before any change: the start and the end, the refusal on standard error.
  EXPECT_EQ(exitStopped, runHere({"--json", "--max-delete=0"}, &output, &errors));
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  EXPECT_TRUE(run.actions.empty());
  EXPECT_EQ("stopped", (*run.end)["result"].str());
  EXPECT_EQ(exitStopped, (*run.end)["status"].integer());
  EXPECT_NE(std::string::npos, errors.find("The run would delete 2 files, more than")) << errors;
  // Refused before the command line is read: nothing at all on standard output.
  EXPECT_EQ(exitStopped, runHere({"--json", "-x"}, &output, &errors));
  EXPECT_EQ("", output);
  EXPECT_NE(std::string::npos, errors.find("Unknown option [-x]")) << errors;
}

TEST_F(JsonOutput, NamesThatAreNoUtf8AreGivenBackExactly) {
  if (platformIsWindows) GTEST_SKIP() << "Windows names are UTF-16: every one has its UTF-8";
  std::string name = "caf\xE9 \x1b[31m.txt";
  writeFile(at({"src", name}), "latin-1", sourceUnits);
  std::string output, errors;
  EXPECT_EQ(exitSuccess, runHere({"--json"}, &output, &errors)) << errors;
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  // The copy, after the destination's root made for it.
  ASSERT_EQ(2u, run.actions.size());
  EXPECT_EQ("mkdir", (*run.actions[0])["kind"].str());
  EXPECT_EQ("", (*run.actions[0])["path"].str());
  const JsonValue& copy = *run.actions[1];
  EXPECT_EQ("copy", copy["kind"].str());
  EXPECT_EQ("caf\xEF\xBF\xBD \x1b[31m.txt", copy["path"].str());
  EXPECT_NE(std::string::npos, output.find("\\u001b[31m")) << output;
  EXPECT_EQ(name, fromBase64(copy["path_bytes"].str()));
  EXPECT_TRUE(pathExists(at({"dst", fromBase64(copy["path_bytes"].str())})));
}

class JsonProgram : public EndToEndTest {};

TEST_F(JsonProgram, StandardOutputHoldsOnlyJsonLinesEndedByALineFeed) {
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "b", "c.txt"}), "c", sourceUnits);
  std::string output, errors;
  EXPECT_EQ(0, runProgramWithErrors({at({"dst"}), at({"src"}), "--json", "-v"}, scratch,
                                    at({"errors.txt"}), &output, &errors))
      << errors;
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  EXPECT_EQ(std::string::npos, output.find('\r'));
  EXPECT_EQ(2, (*run.end)["copied"].integer());
  EXPECT_EQ(0u, errors.find(bannerStart)) << errors;
  // A second run finds nothing to do: start and end alone.
  EXPECT_EQ(0, runProgramWithErrors({at({"dst"}), at({"src"}), "--json"}, scratch,
                                    at({"errors.txt"}), &output, &errors));
  ASSERT_TRUE(readJsonRun(output, &run));
  EXPECT_EQ(2u, run.objects.size()) << output;
  EXPECT_NE(std::string::npos, errors.find("Nothing to do, folders are equal !")) << errors;
}

TEST_F(JsonProgram, AFolderThatCannotBeListedHasItsObject) {
  if (platformIsWindows) GTEST_SKIP() << "POSIX permissions are needed";
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "locked", "b.txt"}), "b", sourceUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(setListable(at({"src", "locked"}), false));
  std::string output;
  int status = runProgramUnprivileged({at({"dst"}), at({"src"}), "--json"}, scratch, &output);
  setListable(at({"src", "locked"}), true);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(exitSomeFailed, status) << output;
  JsonRun run;
  ASSERT_TRUE(readJsonRun(output, &run));
  ASSERT_EQ(1u, run.unlisted.size()) << output;
  EXPECT_EQ("source", (*run.unlisted[0])["tree"].str());
  EXPECT_EQ("locked", (*run.unlisted[0])["path"].str());
  EXPECT_EQ(1, (*run.end)["copied"].integer());
  EXPECT_TRUE(pathExists(at({"dst", "a.txt"})));
}
}  // namespace
