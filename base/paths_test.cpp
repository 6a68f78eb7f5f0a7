// The path module: roots taken from arguments, a path's folder, joins that never
// overrun, and folders that lie within others by name or by identity.
#include "base/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/test_support.h"

namespace {
const std::string separator(1, pathSeparator);

TEST(Paths, TrailingSeparatorsAreRemoved) {
  char root[pathBufferSize];
  ASSERT_EQ(rootTaken, takeRoot(root, ("dst" + separator + separator).c_str()));
  EXPECT_STREQ("dst", root);
  ASSERT_EQ(rootTaken, takeRoot(root, ("a" + separator + "b" + separator).c_str()));
  EXPECT_EQ("a" + separator + "b", std::string(root));
  ASSERT_EQ(rootTaken, takeRoot(root, "plain"));
  EXPECT_STREQ("plain", root);
  if (platformIsWindows) {
    // Both separators count there, in any mix.
    ASSERT_EQ(rootTaken, takeRoot(root, "C:/src/\\/"));
    EXPECT_STREQ("C:/src", root);
  }
}

TEST(Paths, RootsOfNothingButSeparatorsAreRefused) {
  char root[pathBufferSize] = "untouched";
  EXPECT_EQ(rootEmpty, takeRoot(root, separator.c_str()));
  EXPECT_EQ(rootEmpty, takeRoot(root, (separator + separator + separator).c_str()));
  EXPECT_EQ(rootEmpty, takeRoot(root, ""));
}

TEST(Paths, RootsTooLongForTheBufferAreRefused) {
  char root[pathBufferSize + 8];
  std::string longest(static_cast<size_t>(pathBufferSize - 1), 'x');
  ASSERT_EQ(rootTaken, takeRoot(root, longest.c_str()));
  EXPECT_EQ(longest, std::string(root));
  // The terminator would not fit; the buffer around it stays as it was.
  memset(root, 'A', sizeof root);
  std::string tooLong(static_cast<size_t>(pathBufferSize), 'x');
  EXPECT_EQ(rootTooLong, takeRoot(root, tooLong.c_str()));
  EXPECT_EQ(rootTooLong, takeRoot(root, (tooLong + "yyyy").c_str()));
  for (size_t i = 0; i < sizeof root; ++i) ASSERT_EQ('A', root[i]) << i;
}

TEST(Paths, TheFolderOfAPathLosesOneSeparator) {
  char found[pathBufferSize];
  std::string folder = "dst" + separator;
  ASSERT_EQ(0, folderOfPath((folder + separator + "c.txt").c_str(), found));
  EXPECT_EQ(folder, found);
  ASSERT_EQ(0, folderOfPath(("a" + separator + "b").c_str(), found));
  EXPECT_STREQ("a", found);
  ASSERT_EQ(0, folderOfPath("bare", found));
  EXPECT_STREQ("", found);
  EXPECT_EQ(0u, folderPartLength("bare"));
  EXPECT_EQ(2u, folderPartLength(("a" + separator + "b").c_str()));
}

TEST(Paths, PathsBeyondTheBufferAreRefusedWhole) {
  std::string folder = "long";
  while (folder.size() < static_cast<size_t>(pathBufferSize)) folder += separator + "level";
  char found[pathBufferSize];
  EXPECT_EQ(1, folderOfPath((folder + separator + "c.txt").c_str(), found));
  EXPECT_STREQ("", found);
}

TEST(Paths, AJoinThatDoesNotFitLeavesItsBufferAlone) {
  char full[pathBufferSize];
  ASSERT_EQ(0, joinPath(full, "root", (separator + "a").c_str()));
  EXPECT_EQ("root" + separator + "a", std::string(full));
  std::string longest(static_cast<size_t>(pathBufferSize) - 5, 'x');
  ASSERT_EQ(0, joinPath(full, "root", longest.c_str()));
  EXPECT_EQ(static_cast<size_t>(pathBufferSize) - 1, strlen(full));
  strcpy(full, "untouched");
  EXPECT_EQ(1, joinPath(full, "root", (longest + "y").c_str()));
  EXPECT_STREQ("untouched", full);
}

// A folder reached under another name (a link to it) still lies within it: the
// identities of the folders on the way tell what the names cannot.
TEST(Paths, AFolderReachedThroughALinkLiesWithinByIdentity) {
  std::string scratch = makeScratchFolder();
  ASSERT_FALSE(scratch.empty());
  std::string outer = joinPath(scratch, "outer");
  std::string inner = joinPath(outer, "inner");
  ASSERT_TRUE(makeFolders(inner));
  char resolvedOuter[pathBufferSize], resolvedInner[pathBufferSize];
  ASSERT_EQ(0, resolveRoot(outer.c_str(), resolvedOuter));
  ASSERT_EQ(0, resolveRoot(inner.c_str(), resolvedInner));
  EXPECT_EQ(1, holdsPath(resolvedOuter, resolvedInner));
  EXPECT_EQ(0, holdsPath(resolvedInner, resolvedOuter));
  FileIdentity nearest, own;
  std::string missing = joinPath(joinPath(inner, "not"), "yet") + separator;
  ASSERT_EQ(0, nearestFolderIdentity(missing.c_str(), &nearest));
  ASSERT_EQ(0, fileIdentity(inner.c_str(), &own));
  EXPECT_TRUE(sameFileIdentity(nearest, own));
  std::string link = joinPath(scratch, "link");
  if (makeSymlink(outer, link)) {
    std::string throughLink = joinPath(link, "inner") + separator;
    EXPECT_EQ(1, liesWithin(throughLink.c_str(), resolvedOuter));
    EXPECT_EQ(1, holdsPath(resolvedOuter, throughLink.c_str()));
  }
  removeScratchFolder(scratch);
}
}  // namespace
