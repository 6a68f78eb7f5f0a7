// Times two ways of putting a finished new file in place, on Linux:
//   partial: create "name.talven-partial" (O_EXCL), write, set times, close, then
//            renameat2(RENAME_NOREPLACE) to "name" (what talven does);
//   tmpfile: open(O_TMPFILE) in the folder, write, set times, then linkat the
//            unnamed file to "name" through /proc/self/fd, close.
// The two take turns in batches, in fresh folders, so that both meet the same
// load and neither meets inodes freed by a mass deletion. Build and run:
//   g++ -O2 -std=c++17 -o /tmp/place_bench bench/place_bench.cpp
//   /tmp/place_bench FOLDER [BATCHES] [FILES_PER_BATCH] [BYTES]
// FOLDER must be new or empty; the files are left there for the caller to remove.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {
char bytes[1 << 16];

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

bool writeAndStamp(int fd, size_t size) {
  if (write(fd, bytes, size) != static_cast<ssize_t>(size)) return false;
  timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  return futimens(fd, times) == 0;
}

bool placePartial(const std::string& folder, int number, size_t size) {
  std::string name = folder + "/f" + std::to_string(number);
  std::string partial = name + ".talven-partial";
  int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || !writeAndStamp(fd, size) || close(fd) != 0) return false;
  return renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0;
}

bool placeTmpfile(const std::string& folder, int number, size_t size) {
  std::string name = folder + "/f" + std::to_string(number);
  int fd = open(folder.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
  if (fd < 0 || !writeAndStamp(fd, size)) return false;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  bool placed = linkat(AT_FDCWD, link, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  return close(fd) == 0 && placed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: place_bench FOLDER [BATCHES] [FILES_PER_BATCH] [BYTES]\n");
    return 2;
  }
  std::string root = argv[1];
  int batches = argc > 2 ? atoi(argv[2]) : 20;
  int files = argc > 3 ? atoi(argv[3]) : 1000;
  size_t size = argc > 4 ? std::min<size_t>(atoi(argv[4]), sizeof bytes) : 4096;
  mkdir(root.c_str(), 0777);
  std::vector<double> partial, tmpfile;
  for (int batch = 0; batch < 2 * batches; ++batch) {
    bool useTmpfile = (batch % 2 == 0) == (batch / 2 % 2 == 0);  // ABBA order
    std::string folder = root + "/b" + std::to_string(batch);
    if (mkdir(folder.c_str(), 0777) != 0) return perror(folder.c_str()), 1;
    double start = now();
    for (int number = 0; number < files; ++number) {
      bool ok = useTmpfile ? placeTmpfile(folder, number, size) : placePartial(folder, number, size);
      if (!ok) return perror(useTmpfile ? "tmpfile" : "partial"), 1;
    }
    (useTmpfile ? tmpfile : partial).push_back((now() - start) / files * 1e6);
    sync();
  }
  printf("%d batches of %d files of %zu bytes each way\n", batches, files, size);
  printf("partial + rename:  median %.2f us per file\n", median(partial));
  printf("O_TMPFILE + linkat: median %.2f us per file\n", median(tmpfile));
  printf("ratio tmpfile / partial: %.3f\n", median(tmpfile) / median(partial));
  return 0;
}
