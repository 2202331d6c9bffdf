// The bench's modules, one line each.
#include <memory>
#include <vector>

#include "bench/bench_module.h"
#include "bench/network_model.h"

std::vector<std::unique_ptr<BenchModule>> MakeBenchModules() {
  std::vector<std::unique_ptr<BenchModule>> modules;
  modules.push_back(std::make_unique<NetworkModel>());
  return modules;
}
