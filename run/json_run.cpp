#include "run/json_run.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/json_events.h"
#include "base/json_text.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/version.h"
#include "collect/entry_table.h"
#include "run/summary.h"

namespace {
// The time now in ISO 8601 with the local offset: 2026-05-01T12:34:56+02:00. Only
// the main thread runs yet: the shared results of localtime and gmtime are safe.
void formatStartTime(char* text, size_t size) {
  time_t now = time(nullptr);
  const struct tm* got = localtime(&now);
  if (!got) {
    snprintf(text, size, "unknown");
    return;
  }
  struct tm local = *got;
  got = gmtime(&now);
  struct tm utc = got ? *got : local;
  // The offset from the two broken-down times: a day apart at most.
  int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                          : local.tm_yday - utc.tm_yday;
  long offset = ((days * 24L + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  long magnitude = offset < 0 ? -offset : offset;
  snprintf(text, size, "%s%c%02ld:%02ld", stamp, offset < 0 ? '-' : '+', magnitude / 60,
           magnitude % 60);
}

// The root resolved, without its final separator (but for a file system's root).
void addResolved(JsonText* text, const char* key, const char* root) {
  char resolved[pathBufferSize];
  if (resolveRoot(root, resolved) != 0) return jsonString(text, key, nullptr);
  size_t length = strlen(resolved);
  if (length > 1 && isPathSeparator(resolved[length - 1]) && resolved[length - 2] != ':')
    resolved[length - 1] = '\0';
  jsonString(text, key, resolved);
}

const char* const resultNames[] = {"done", "preview", "stopped"};
}  // namespace

void tellJsonStart(const RunSettings& settings, int argc, char** argv) {
  if (!settings.jsonOutput) return;
  char started[64];
  formatStartTime(started, sizeof started);
  JsonText text;
  jsonBegin(&text, "start");
  jsonNumber(&text, "schema", jsonSchemaVersion);
  jsonString(&text, "version", TALVEN_VERSION);
  jsonString(&text, "time", started);
  jsonString(&text, "destination", argv[1]);
  addResolved(&text, "destination_resolved", settings.destinationRoot);
  jsonString(&text, "source", argv[2]);
  addResolved(&text, "source_resolved", settings.sourceRoot);
  jsonStrings(&text, "options", argv + 3, argc - 3);
  jsonFinish(&text);
}

void tellJsonUnlisted(const RunSettings& settings) {
  if (!settings.jsonOutput) return;
  const char* trees[2] = {"destination", "source"};
  const EntryTable* tables[2] = {&destinationTable, &sourceTable};
  for (int t = 0; t < 2; ++t)
    for (int32_t i = 0; i < tables[t]->skippedCount; ++i)
      jsonUnlisted(settings, trees[t], tables[t]->skipped[i].relativePath,
                   tables[t]->skipped[i].reason);
}

void tellJsonEnd(const RunSettings& settings, const PassSummary& summary, int status,
                 int64_t elapsedMs) {
  if (!settings.jsonOutput) return;
  JsonText text;
  jsonBegin(&text, "end");
  jsonString(&text, "result", resultNames[summaryKindOf(status, settings.previewOnly)]);
  jsonNumber(&text, "copied", summary.copies);
  jsonNumber(&text, "updated", summary.updates);
  jsonNumber(&text, "deleted", summary.deletions);
  jsonNumber(&text, "moved", summary.moved);
  jsonNumber(&text, "kept_newer", summary.keptNewer);
  jsonNumber(&text, "failed", summary.failures);
  jsonNumber(&text, "vanished", summary.vanished);
  jsonNumber(&text, "folders_left_out", summary.foldersLeftOut);
  jsonNumber(&text, "files_left_out", summary.filesLeftOut);
  jsonNumber(&text, "links_left_out", summary.linksLeftOut);
  jsonNumber(&text, "others_left_out", summary.othersLeftOut);
  jsonNumber(&text, "older_updated", summary.olderUpdates);
  // Only where the run keeps metadata: the end object of every other run stays as it was.
  if (keepsMetadata(settings)) {
    jsonNumber(&text, "metadata_changed", summary.metadataChanged);
    jsonNumber(&text, "metadata_left_out", summary.metadataLeftOut);
  }
  jsonNumber(&text, "bytes", summary.bytesCopied);
  jsonDecimal(&text, "seconds", static_cast<double>(elapsedMs < 0 ? 0 : elapsedMs) / 1000.0);
  jsonNumber(&text, "status", status);
  jsonFinish(&text);
}
