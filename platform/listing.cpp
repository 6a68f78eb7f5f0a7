// The listing every caller that only copies files asks for: enumerateDirectory over
// listDirectory, on every system.
#include "platform/platform.h"

namespace {
struct FollowingSink {
  DirectoryEntrySink sink;
  void* context;
};

// What enumerateDirectory gives: files (links to files as their targets) and folders.
void giveFollowed(void* context, const ListedEntry* entry) {
  const FollowingSink* following = static_cast<const FollowingSink*>(context);
  if (entry->kind == entryLink || entry->kind == entryOther) return;
  following->sink(following->context, entry->name, entry->kind, entry->size, entry->lastWrite);
}
}  // namespace

int enumerateDirectory(const char* path, DirectoryEntrySink sink, void* context,
                       const FileIdentity* watched, int* isWatched, int* failure) {
  FollowingSink following = {sink, context};
  return listDirectory(path, 0, giveFollowed, &following, watched, isWatched, failure);
}
