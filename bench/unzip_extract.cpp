// Extracts one archive through cUnzip with folders kept and existing files replaced, the same
// work as "unzip -o -q archive -d folder". Usage: bench_unzip_extract <archive> <folder/>
#include <chrono>
#include <cstdio>

#include "unzip/unzip.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <archive> <folder/>\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  halyard::cUnzip unzip;
  unzip.SetZipFile(argv[1]);
  unzip.SetUnzipFolder(argv[2]);
  unzip.SetUseFolderNames(true);
  unzip.SetOverwriteExisting(true);
  const bool failed = unzip.Unzip();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::fprintf(stderr, "cUnzip: %.3f s%s\n", elapsed.count(), failed ? " (FAILED)" : "");
  return failed ? 1 : 0;
}
