// The bench's modules, one line each.
#include <memory>
#include <vector>

#include "bench/bench_module.h"

std::vector<std::unique_ptr<BenchModule>> MakeBenchModules() {
  std::vector<std::unique_ptr<BenchModule>> modules;
  return modules;
}
