// The swaps of the swap harness: folders a run may touch, each swapped for a link to a
// canary tree beside the trees and back, again and again by a thread of their own and,
// at moments of the run its seams tell, by plan. At most one folder stands swapped at
// a time, so that no swap is ever made through another one's link.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/test_support.h"
#include "run/mirror_model.h"
#include "run/seams.h"

/// The kinds of folders swapped: destination folders by depth (0 is the root), the
/// backup folder and its run's folder, the log file's folder and source folders.
enum SwapKind {
  destinationRootSwap,
  destinationDepth1Swap,
  destinationDepth2Swap,
  destinationDepth3Swap,
  backupFolderSwap,
  backupRunSwap,
  logFolderSwap,
  sourceFolderSwap,
  swapKinds
};
constexpr const char* swapKindNames[swapKinds] = {
    "destination root", "destination depth 1", "destination depth 2", "destination depth 3",
    "backup folder",    "backup run folder",   "log folder",          "source folder"};

/// The moments of a run at which a planned swap begins or ends, in the order they come.
enum SwapMoment { atScansEnded, atUpdates, atPlaced, atDeletions, atDeletionTried, atNever };
constexpr const char* swapMomentNames[] = {
    "the end of the listings", "the updates' start", "copy placed",
    "the deletions' start",    "deletion tried",     "never"};

/// One folder swapped: a link to its canary waits at spare while the folder stands at
/// path, and the folder waits at spare while the link stands at path.
struct SwapSlot {
  std::string path;  ///< empty until known (the backup's run folder, made by the run)
  std::string spare;
  int kind;    ///< a SwapKind
  bool named;  ///< a root the user named: swapped only once the run has opened its roots
};

/// The swap a seed plans: slot out at the count-th call of one moment, back at another.
struct SwapPlan {
  int slot = -1;
  int outAt = atNever;
  long long outCount = 0;
  int backAt = atNever;
  long long backCount = 0;
};

struct SwapBoard {
  std::string canaries, spares;  ///< slot n's canary is canaries/n, its spare spares/n
  std::vector<SwapSlot> slots;
  SwapPlan plan;
  std::string backupFolder;  ///< where the run's folder is looked for; empty without one
  uint64_t seed = 0;
  std::mutex lock;  ///< guards everything below, and every swap
  bool rootsOpened = false;
  bool pinned = false;  ///< the planned swap stands: the thread leaves it alone
  bool planBack = false, planHit = false;
  int outSlot = -1;
  long long swaps[swapKinds] = {};  ///< exchanges made, by kind
  std::atomic<bool> stopping{false};
  std::thread thread;
};

/// False when TALVEN_SWAPS=off: the harness then runs without any swap, which shows
/// that it finds nothing wrong in a run left alone.
inline bool swapsEnabled() {
  const char* switched = getenv("TALVEN_SWAPS");
  return !(switched && strcmp(switched, "off") == 0);
}

/// False when TALVEN_SWAPS=planned: only the planned swaps are made, at their moments,
/// so that a seed's run meets the same swaps each time it is replayed.
inline bool randomSwaps() {
  const char* switched = getenv("TALVEN_SWAPS");
  return swapsEnabled() && !(switched && strcmp(switched, "planned") == 0);
}

/// Adds a slot for the folder at path; its canary, to be written, is canaries/n.
inline bool addSwapSlot(SwapBoard* board, const std::string& path, int kind, bool named) {
  std::string index = std::to_string(board->slots.size());
  board->slots.push_back(SwapSlot{path, joinPath(board->spares, index), kind, named});
  return makeSymlink(joinPath(board->canaries, index), board->slots.back().spare);
}

/// The kind of the slot whose canary a path, or a canary file's bytes, names; -1 if none.
inline int canaryKind(const SwapBoard& board, const std::string& text) {
  std::string start = board.canaries + pathSeparator;
  size_t at = text.find(start);
  if (at == std::string::npos) return -1;
  size_t slot = strtoul(text.c_str() + at + start.size(), nullptr, 10);
  return slot < board.slots.size() ? board.slots[slot].kind : -1;
}

// Exchanges a slot's folder and link; the caller holds the lock.
inline bool flipSlot(SwapBoard* board, int index) {
  SwapSlot& slot = board->slots[static_cast<size_t>(index)];
  if (slot.path.empty() || !exchangePaths(slot.path, slot.spare)) return false;
  ++board->swaps[slot.kind];
  return true;
}

// Puts the swapped folder back at its place; the caller holds the lock. Where the run
// removed the link, the folder goes back by a rename, unless the run made something
// new at its place.
inline void putBack(SwapBoard* board) {
  if (board->outSlot < 0) return;
  const SwapSlot& slot = board->slots[static_cast<size_t>(board->outSlot)];
  if (!flipSlot(board, board->outSlot) && !pathExists(slot.path))
    std::rename(slot.spare.c_str(), slot.path.c_str());
  board->outSlot = -1;
}

inline void swapOut(SwapBoard* board, int index) {
  putBack(board);
  if (flipSlot(board, index)) board->outSlot = index;
}

inline void noteRunFolder(void* context, const char* name, int isDirectory, uint64_t, FileTime) {
  if (isDirectory == 1 && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
    *static_cast<std::string*>(context) = name;
}

// Once both listings ended, the run has opened every root it names and made its
// folder in the backup folder: both may be swapped from now on.
inline void learnRoots(SwapBoard* board) {
  putBack(board);
  board->rootsOpened = true;
  if (board->backupFolder.empty()) return;
  std::string runFolder;
  enumerateDirectory(board->backupFolder.c_str(), noteRunFolder, &runFolder);
  for (SwapSlot& slot : board->slots)
    if (slot.kind == backupRunSwap && !runFolder.empty())
      slot.path = board->backupFolder + pathSeparator + runFolder;
}

// True once the run has come to the count-th call of moment at: moments come in their
// order, and a later one stands for an earlier one that never came.
inline bool reached(int moment, long long count, int at, long long atCount) {
  return moment > at || (moment == at && count >= atCount);
}

/// Called at each moment of the run (count: the calls of that moment so far): starts
/// the planned swap (again at each later moment while its folder is missing), or ends it.
inline void swapMoment(SwapBoard* board, int moment, long long count) {
  std::lock_guard<std::mutex> hold(board->lock);
  if (moment == atScansEnded) learnRoots(board);
  const SwapPlan& plan = board->plan;
  if (!swapsEnabled() || plan.slot < 0 || board->planBack) return;
  if (reached(moment, count, plan.backAt, plan.backCount)) {
    if (board->pinned) putBack(board);
    board->planBack = true;
    board->pinned = false;
  } else if (!board->planHit && reached(moment, count, plan.outAt, plan.outCount)) {
    swapOut(board, plan.slot);
    board->planHit = board->pinned = board->outSlot == plan.slot;
  }
}

/// Hands the run's seams to the board.
inline void hookSwapSeams(SwapBoard* board, RunSeams* seams) {
  seams->context = board;
  seams->reconcile.context = board;
  seams->copy.context = board;
  seams->scansEnded = [](void* board) {
    swapMoment(static_cast<SwapBoard*>(board), atScansEnded, 1);
  };
  seams->reconcile.passStage = [](void* board, int stage) {
    swapMoment(static_cast<SwapBoard*>(board), stage == passUpdates ? atUpdates : atDeletions, 1);
  };
  seams->reconcile.deletionTried = [](void* board, long long tried) {
    swapMoment(static_cast<SwapBoard*>(board), atDeletionTried, tried);
  };
  seams->copy.placed = [](void* board, long long placed) {
    swapMoment(static_cast<SwapBoard*>(board), atPlaced, placed);
  };
}

// The thread: one random folder out for a random while, then all in for another.
inline void swapAtRandom(SwapBoard* board) {
  std::mt19937_64 random(board->seed);
  while (!board->stopping) {
    {
      std::lock_guard<std::mutex> hold(board->lock);
      if (board->pinned) {
      } else if (board->outSlot >= 0) {
        putBack(board);
      } else {
        int index = static_cast<int>(random() % board->slots.size());
        const SwapSlot& slot = board->slots[static_cast<size_t>(index)];
        if (!slot.named || board->rootsOpened) swapOut(board, index);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
  }
}

/// Starts the thread of random swaps (none when swaps are off or planned only).
inline void startSwaps(SwapBoard* board) {
  if (randomSwaps() && !board->slots.empty()) board->thread = std::thread(swapAtRandom, board);
}

/// Stops the swaps and puts every folder back; the exchanges made in all.
inline long long stopSwaps(SwapBoard* board) {
  board->stopping = true;
  if (board->thread.joinable()) board->thread.join();
  std::lock_guard<std::mutex> hold(board->lock);
  putBack(board);
  board->pinned = false;
  long long all = 0;
  for (long long made : board->swaps) all += made;
  return all;
}

// The differences between two trees: files changed, added or removed, folders added or
// removed, each as "what path".
inline std::vector<std::string> treeChanges(const ModelTree& before, const ModelTree& after) {
  std::vector<std::string> changes;
  for (const auto& file : before.files) {
    auto now = after.files.find(file.first);
    if (now == after.files.end())
      changes.push_back("removed " + file.first);
    else if (now->second.bytes != file.second.bytes || now->second.time != file.second.time)
      changes.push_back("changed " + file.first);
  }
  for (const auto& file : after.files)
    if (!before.files.count(file.first)) changes.push_back("added " + file.first);
  for (const std::string& folder : before.folders)
    if (!after.folders.count(folder)) changes.push_back("removed folder " + folder);
  for (const std::string& folder : after.folders)
    if (!before.folders.count(folder)) changes.push_back("added folder " + folder);
  return changes;
}

/// The tree without what lies in the folder at relative (the backup folder inside it).
inline ModelTree withoutFolder(ModelTree tree, const std::string& relative) {
  auto inside = [&](const std::string& path) {
    return path.compare(0, relative.size() + 1, relative + pathSeparator) == 0 || path == relative;
  };
  for (auto file = tree.files.begin(); file != tree.files.end();)
    file = inside(file->first) ? tree.files.erase(file) : std::next(file);
  for (auto folder = tree.folders.begin(); folder != tree.folders.end();)
    folder = inside(*folder) ? tree.folders.erase(folder) : std::next(folder);
  return tree;
}

// The canary of a folder whose path below its root is relative: every file of the
// trees below it under its own name, with bytes of its own and the given time.
inline void writeCanary(const std::string& canary, const std::vector<const ModelTree*>& trees,
                        const std::string& relative, int64_t time) {
  ModelTree tree;
  tree.files[std::string(1, pathSeparator) + "canary.txt"] = ModelFile{"canary " + canary, time};
  for (const ModelTree* from : trees)
    for (const auto& file : from->files) {
      if (file.first.compare(0, relative.size() + 1, relative + pathSeparator) != 0) continue;
      std::string below = file.first.substr(relative.size());
      tree.files[below] = ModelFile{"canary " + canary + below, time};
      addAncestors(below, &tree.folders);
    }
  writeTree(canary, tree);
}

/// What a test case saw, by kind of swap.
struct SwapTally {
  int runs = 0, failedSeeds = 0, planned[swapKinds] = {}, hit[swapKinds] = {};
  long long exchanges = 0, otherStray = 0;
  long long partialsLeft = 0;  ///< copies' own files left by failed runs, under partial names
  long long canaryChanged[swapKinds] = {};  ///< canary files changed, added or removed
  long long canaryRead[swapKinds] = {};     ///< destination files holding a canary's bytes
};

inline void printSwapTally(const SwapTally& tally, const char* what) {
  printf("Swap harness, %s: %d runs, %lld exchanges, %d seeds failed%s\n", what, tally.runs,
         tally.exchanges, tally.failedSeeds, swapsEnabled() ? "" : " (swaps off)");
  for (int kind = 0; kind < swapKinds; ++kind)
    printf(
        "  %-20s planned %2d, swapped as planned %2d, canary files changed %3lld, "
        "destination files with a canary's bytes %3lld\n",
        swapKindNames[kind], tally.planned[kind], tally.hit[kind], tally.canaryChanged[kind],
        tally.canaryRead[kind]);
  printf("  other destination files neither the source's nor the old one: %lld\n",
         tally.otherStray);
  printf("  partial files left by copies that failed, under their partial names: %lld\n",
         tally.partialsLeft);
}
