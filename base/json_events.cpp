#include "base/json_events.h"

#include "base/failure_report.h"
#include "base/json_text.h"
#include "base/settings.h"
#include "platform/platform.h"

void jsonAction(const RunSettings& settings, const JsonAction& action) {
  if (!settings.jsonOutput) return;
  JsonText text;
  jsonBegin(&text, "action");
  jsonString(&text, "kind", action.kind);
  jsonPath(&text, "path", action.path);
  if (action.size >= 0) jsonNumber(&text, "size", action.size);
  jsonString(&text, "outcome", action.outcome);
  if (action.to) jsonString(&text, "to", action.to);
  if (action.replaced) jsonBool(&text, "replaced", 1);
  if (action.folder) jsonBool(&text, "folder", 1);
  if (action.failedTo || action.reason) {
    char described[512];
    const char* reason = action.reason;
    if (!reason) {
      describeFailure(action.failure, described, sizeof described);
      reason = described;
    }
    if (action.failedTo) jsonString(&text, "failed_to", action.failedTo);
    jsonString(&text, "reason", reason);
    // The system's own code, where the reason is one.
    if (!action.reason && action.failure > 0)
      jsonNumber(&text, platformIsWindows ? "windows_error" : "errno", action.failure);
    if (action.inPlace) jsonBool(&text, "in_place", 1);
  }
  jsonFinish(&text);
}

void jsonUnlisted(const RunSettings& settings, const char* tree, const char* path,
                  const char* reason) {
  if (!settings.jsonOutput) return;
  JsonText text;
  jsonBegin(&text, "unlisted");
  jsonString(&text, "tree", tree);
  jsonPath(&text, "path", path);
  jsonString(&text, "reason", reason);
  jsonFinish(&text);
}
