// The bench's modules, one line each.
#include <memory>
#include <vector>

#include "bench/analog_model.h"
#include "bench/bench_config.h"
#include "bench/bench_module.h"
#include "bench/calibration_model.h"
#include "bench/dio_model.h"
#include "bench/identity_model.h"
#include "bench/jig_model.h"
#include "bench/network_model.h"

std::vector<std::unique_ptr<BenchModule>> MakeBenchModules(const BenchConfig& config) {
  std::vector<std::unique_ptr<BenchModule>> modules;
  modules.push_back(std::make_unique<IdentityModel>());
  modules.push_back(std::make_unique<JigModule>());
  modules.push_back(std::make_unique<DioModule>());
  modules.push_back(std::make_unique<AnalogModule>());
  // cal.model=1: the calibration path (inputs converted with the device's
  // calibration block, the multimeter on the jig's output) serves the analog
  // registers it owns in place of the analog model's.
  if (config.Flag("cal.model")) modules.push_back(std::make_unique<CalibrationModel>());
  modules.push_back(std::make_unique<NetworkModel>());
  return modules;
}
