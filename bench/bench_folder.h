// Where the benchmarks that write mail keep their data folders: under
// HALVORN_BENCH_DIR when it is set (HALVORN_BENCH_DIR=/dev/shm measures on
// tmpfs), else in the tests' scratch folder on the work disk.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "support/test_support.h"

namespace halvorn::bench {

inline std::unique_ptr<test::TempFolder> NewBenchFolder() {
  const char* root = std::getenv("HALVORN_BENCH_DIR");
  if (root == nullptr || *root == '\0') return std::make_unique<test::TempFolder>();
  return test::TempFolder::Under(root);
}

}  // namespace halvorn::bench
