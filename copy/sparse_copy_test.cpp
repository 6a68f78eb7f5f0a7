// Sparse sources: the data arrives exactly, the holes stay holes, and the copy ends
// at the source's size, also where the source changes while it is copied.
#include <gtest/gtest.h>

#include <vector>

#include "copy/copy_test_fixture.h"

namespace {
constexpr long long mib = 1048576;
// The room a copy may take beyond its source's: one allocation unit, 64 KiB at most
// (the unit in which NTFS keeps the holes of a sparse file).
constexpr long long oneBlock = 65536;

std::string bytesOf(long long size, const std::vector<FilePiece>& pieces) {
  std::string bytes(static_cast<size_t>(size), '\0');
  for (const FilePiece& piece : pieces)
    bytes.replace(static_cast<size_t>(piece.offset), piece.bytes.size(), piece.bytes);
  return bytes;
}

FilePiece pieceAt(long long offset, size_t size) {
  std::string bytes = patternBytes(size);
  // No zero byte: a piece read back as zeros shows.
  for (char& byte : bytes) byte = static_cast<char>(byte | 1);
  return FilePiece{offset, bytes};
}

struct SparseSource {
  const char* name;
  long long size;
  std::vector<FilePiece> pieces;
};

// Data at the start, in the middle (across a block's edge), at the end, a file that
// is one hole, and several stretches, one long enough for its room to be reserved
// and to take several steps inside the kernel.
std::vector<SparseSource> sparseSources() {
  return {
      {"start", 16 * mib, {pieceAt(0, 4096)}},
      {"middle", 16 * mib, {pieceAt(8 * mib - 100, 5000)}},
      {"end", 16 * mib, {pieceAt(16 * mib - 3000, 3000)}},
      {"hole", 16 * mib, {}},
      {"stretches",
       24 * mib,
       {pieceAt(0, 100), pieceAt(5 * mib, 3 * mib + 5), pieceAt(20 * mib, 1)}},
  };
}

class SparseCopy : public CopyFileFixture {
 protected:
  // Copies source to a destination named after it and the copy path; its path.
  std::string copySparse(const SparseSource& source, long long path) {
    std::string name = std::string(source.name) + "-" + std::to_string(path);
    std::string from = at({("src-" + name).c_str()});
    std::string to = at({("dst-" + name).c_str()});
    EXPECT_TRUE(writeSparseFile(from, source.size, source.pieces)) << name;
    seams().kernelFallbackAt = path;
    EXPECT_EQ(copyDone, copyBelow(scratch, to, from)) << name;
    return to;
  }
  // True when a file written with a hole takes less room than its size here.
  bool holesKept() {
    std::string probe = at({"probe"});
    if (!writeSparseFile(probe, 4 * mib, {pieceAt(4 * mib - 1, 1)})) return false;
    long long allocated = allocatedBytes(probe);
    return allocated >= 0 && allocated < mib;
  }
};

TEST_F(SparseCopy, DataAtTheStartInTheMiddleAndAtTheEndArrivesExactly) {
  for (long long path : copyPaths)
    for (const SparseSource& source : sparseSources())
      expectCopied(copySparse(source, path), bytesOf(source.size, source.pieces));
}

TEST_F(SparseCopy, HolesStayHolesAndOnlyTheDataTakesRoom) {
  if (!holesKept())
    GTEST_SKIP() << "the test folder's file system keeps no holes, or does not tell the room "
                    "a file takes";
  for (int withoutSync : {0, 1}) {
    testSettings().noSync = withoutSync;
    for (long long path : copyPaths) {
      for (const SparseSource& source : sparseSources()) {
        std::string copy = copySparse(source, path);
        std::string original =
            at({("src-" + std::string(source.name) + "-" + std::to_string(path)).c_str()});
        EXPECT_LE(allocatedBytes(copy), allocatedBytes(original) + oneBlock)
            << copy << (withoutSync ? " without syncing" : "");
        std::string copied;
        ASSERT_TRUE(readFileBytes(copy, &copied));
        EXPECT_EQ(static_cast<size_t>(source.size), copied.size()) << copy;
      }
    }
  }
}

// The source as the block seam rewrites it, in place, once the copy has reached an
// offset.
struct SourceChange {
  std::string path;
  long long from;
  long long size;
  std::vector<FilePiece> pieces;
  bool made;
};
SourceChange change;
void changeSource(void*, long long at) {
  if (change.made || at < change.from) return;
  change.made = true;
  EXPECT_TRUE(writeSparseFile(change.path, change.size, change.pieces));
}

// A copy follows the source to its end as it finds it: past new data and holes of a
// source that grew, short of the data it no longer has, its size exact either way.
TEST_F(SparseCopy, SourceGrowingOrShrinkingWhileCopiedEndsAtItsSize) {
  FilePiece head = pieceAt(0, 65536);
  FilePiece stretch = pieceAt(8 * mib, 2 * mib);
  FilePiece cut{8 * mib, stretch.bytes.substr(0, mib + 1000)};
  struct Case {
    const char* name;
    SparseSource before;
    long long changeAt;
    SparseSource after;
  } cases[] = {
      {"grown-data",
       {"", 4 * mib, {head}},
       65536,
       {"", 6 * mib + 4096, {head, pieceAt(6 * mib, 4096)}}},
      {"grown-hole", {"", 4 * mib, {head}}, 65536, {"", 8 * mib, {head}}},
      {"shrunk", {"", 12 * mib, {head, stretch}}, 9 * mib, {"", 9 * mib + 1000, {head, cut}}},
  };
  seams().blockDone = changeSource;
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    for (const Case& each : cases) {
      std::string name = std::string(each.name) + "-" + std::to_string(path);
      change = SourceChange{at({("src-" + name).c_str()}), each.changeAt, each.after.size,
                            each.after.pieces, false};
      ASSERT_TRUE(writeSparseFile(change.path, each.before.size, each.before.pieces));
      std::string destination = at({("dst-" + name).c_str()});
      EXPECT_EQ(copyDone, copyBelow(scratch, destination, change.path)) << name;
      EXPECT_TRUE(change.made) << name << ": the hook never ran";
      expectCopied(destination, bytesOf(each.after.size, each.after.pieces));
    }
  }
}

void interruptOnce(void*, long long) {
  setInterruptRequested(1);
}

// Stopped after its first stretch, before the next: the copy is removed.
TEST_F(SparseCopy, InterruptionBetweenStretchesRemovesTheCopy) {
  ASSERT_TRUE(writeSparseFile(at({"src"}), 8 * mib, {pieceAt(0, 4096), pieceAt(4 * mib, 4096)}));
  seams().blockDone = interruptOnce;
  EXPECT_EQ(copyInterrupted, copyBelow(scratch, at({"dst"}), at({"src"})));
  EXPECT_EQ(std::vector<std::string>{"src"}, listFiles(scratch));
}
}  // namespace
