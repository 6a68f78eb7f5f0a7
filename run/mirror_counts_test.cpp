// The counts a model run must show, from the trees before and after it, and the
// readers of the summary line and of the --json end object that the model test
// checks them against.
#include <gtest/gtest.h>

#include <regex>

#include "base/json_lines.h"
#include "base/progress.h"
#include "run/mirror_model.h"

namespace {
std::map<std::string, const ModelFile*> byForm(const ModelTree& tree) {
  std::map<std::string, const ModelFile*> files;
  for (const auto& file : tree.files) files[matchForm(file.first)] = &file.second;
  return files;
}

long long number(const std::string& digits) {
  std::string plain;
  for (char c : digits)
    if (c != ',') plain += c;
  return plain.empty() ? 0 : std::stoll(plain);
}

std::string bytesText(long long bytes) {
  char text[32];
  formatBytes(text, sizeof text, static_cast<double>(bytes));
  return text;
}
}  // namespace

ModelCounts countsOfTrees(const Scenario& scenario, const ModelTree& before, const ModelTree& after,
                          const ModelTree& moved) {
  ModelCounts counts;
  std::map<std::string, const ModelFile*> then = byForm(before), now = byForm(after);
  counts.byteCount = 0;
  for (const auto& file : now) {
    auto old = then.find(file.first);
    bool changed = old != then.end() && (old->second->bytes != file.second->bytes ||
                                         old->second->time != file.second->time);
    if (old == then.end() || changed) counts.byteCount += file.second->bytes.size();
    counts.copied += old == then.end();
    counts.updated += changed;
  }
  long long gone = 0;
  for (const auto& file : then) gone += now.count(file.first) == 0;
  counts.deleted = scenario.backup ? 0 : gone;
  counts.moved = static_cast<long long>(moved.files.size());
  // Kept newer: a source file the filters keep, whose twin stays newer than it.
  for (const auto& file : scenario.source.files) {
    auto twin = now.find(matchForm(file.first));
    if (twin != now.end() && twin->second->time > file.second.time &&
        !modelLeftOut(scenario.patterns, file.first, false))
      ++counts.keptNewer;
  }
  counts.bytes = bytesText(counts.byteCount);
  return counts;
}

ModelCounts expectedCounts(const Scenario& scenario, const Prediction& p, const ModelTree& before,
                           const ModelTree& after, const ModelTree& moved) {
  ModelCounts counts = countsOfTrees(scenario, before, after, moved);
  counts.kind = "Done";
  if (p.stopLine.empty()) return counts;
  counts = ModelCounts{};
  counts.kind = "Stopped";
  counts.bytes = "0 B";
  counts.byteCount = 0;
  return counts;
}

bool takeSummaryLine(std::string* output, ModelCounts* counts) {
  static const std::regex line(
      "(Done|Preview|Stopped): ([0-9,]+) (?:copied|to copy), ([0-9,]+) (?:updated|to update) "
      "\\(([^)]*)\\), ([0-9,]+) (deleted|to delete|moved to the backup folder|to move to the "
      "backup folder), ([0-9,]+) newer in the destination kept(?:, [0-9,]+ folders? and [0-9,]+ "
      "files? left out)?, ([0-9,]+) failed(?:, ([0-9,]+) vanished)?, in [0-9.:]+( s)?\n$");
  size_t start = output->rfind('\n', output->size() >= 2 ? output->size() - 2 : 0);
  start = start == std::string::npos ? 0 : start + 1;
  std::smatch found;
  std::string last = output->substr(start);
  if (!std::regex_match(last, found, line)) {
    ADD_FAILURE() << "no summary line at the end of:\n" << *output;
    return false;
  }
  counts->kind = found[1];
  counts->copied = number(found[2]);
  counts->updated = number(found[3]);
  counts->bytes = found[4];
  bool moves = found[6].str().find("backup") != std::string::npos;
  (moves ? counts->moved : counts->deleted) = number(found[5]);
  counts->keptNewer = number(found[7]);
  counts->failed = number(found[8]);
  counts->vanished = number(found[9]);
  output->erase(start);
  return true;
}

void expectSameCounts(const ModelCounts& expected, const ModelCounts& actual, const char* what) {
  EXPECT_EQ(expected.copied, actual.copied) << what << ": copied";
  EXPECT_EQ(expected.updated, actual.updated) << what << ": updated";
  EXPECT_EQ(expected.deleted, actual.deleted) << what << ": deleted";
  EXPECT_EQ(expected.moved, actual.moved) << what << ": moved";
  EXPECT_EQ(expected.keptNewer, actual.keptNewer) << what << ": kept newer";
  EXPECT_EQ(expected.failed, actual.failed) << what << ": failed";
  EXPECT_EQ(expected.vanished, actual.vanished) << what << ": vanished";
  EXPECT_EQ(expected.bytes, actual.bytes) << what << ": bytes";
  if (expected.byteCount >= 0 && actual.byteCount >= 0) {
    EXPECT_EQ(expected.byteCount, actual.byteCount) << what << ": bytes";
  }
}

bool readJsonCounts(const std::string& output, ModelCounts* counts, int* status) {
  std::vector<JsonValue> objects;
  std::string error;
  if (!parseJsonLines(output, &objects, &error)) {
    ADD_FAILURE() << error;
    return false;
  }
  if (objects.size() < 2 || objects.front()["type"].str() != "start" ||
      objects.back()["type"].str() != "end") {
    ADD_FAILURE() << "no start and end object:\n" << output;
    return false;
  }
  const JsonValue& end = objects.back();
  static const char* const kinds[] = {"done", "preview", "stopped"};
  static const char* const words[] = {"Done", "Preview", "Stopped"};
  for (int k = 0; k < 3; ++k)
    if (end["result"].str() == kinds[k]) counts->kind = words[k];
  counts->copied = end["copied"].integer();
  counts->updated = end["updated"].integer();
  counts->deleted = end["deleted"].integer();
  counts->moved = end["moved"].integer();
  counts->keptNewer = end["kept_newer"].integer();
  counts->failed = end["failed"].integer();
  counts->vanished = end["vanished"].integer();
  counts->byteCount = end["bytes"].integer();
  counts->bytes = bytesText(counts->byteCount);
  *status = static_cast<int>(end["status"].integer());
  // Each count is that of its action objects.
  const std::string outcome = counts->kind == "Preview" ? "previewed" : "done";
  std::map<std::string, long long> actions;
  for (size_t i = 1; i + 1 < objects.size(); ++i) {
    EXPECT_NE("start", objects[i]["type"].str());
    EXPECT_NE("end", objects[i]["type"].str());
    if (objects[i]["outcome"].str() == outcome && !objects[i].has("folder"))
      ++actions[objects[i]["kind"].str()];
  }
  EXPECT_EQ(actions["copy"], counts->copied) << "copy objects";
  EXPECT_EQ(actions["update"], counts->updated) << "update objects";
  EXPECT_EQ(actions["delete"], counts->deleted) << "delete objects";
  EXPECT_EQ(actions["move"], counts->moved) << "move objects";
  return true;
}
