// Tests of changes through held folders: a scratch folder with a destination root
// in it, held, and a tree's way into it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/folders.h"
#include "platform/test_support.h"

class HeldTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    root = joinPath(scratch, "dst");
    ASSERT_TRUE(makeFolders(root));
    ASSERT_EQ(folderDone, holdFolder(&held, root.c_str()));
    ASSERT_EQ(0, openTreeFolders(&folders, &held));
  }
  void TearDown() override {
    closeTreeFolders(&folders);
    releaseHeldFolder(&held);
    removeScratchFolder(scratch);
  }
  std::string scratch;
  std::string root;
  HeldFolder held = {noFolder, nullptr, 0};
  TreeFolders folders;
};
