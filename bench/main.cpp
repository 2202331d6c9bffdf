// tktest-bench: the virtual bench as a program. Options are --key=value (or
// --set key=value); it prints one line saying where it listens once ready
// and runs until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"

int main(int argc, char** argv) {
  std::vector<std::string> options;
  bool hasUsb = false, hasTcp = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printf("usage: tktest-bench [--key=value ...]\n  core keys:");
      for (auto& key : BenchCoreOptionKeys()) printf(" %s", key.c_str());
      printf("\n");
      return 0;
    }
    hasUsb = hasUsb || arg.find("device.usb_port=") != std::string::npos;
    hasTcp = hasTcp || arg.find("device.tcp_port=") != std::string::npos;
    options.push_back(arg);
  }
  // The program's own ports: where a station on its defaults looks.
  if (!hasUsb) options.insert(options.begin(), "device.usb_port=5020");
  if (!hasTcp) options.insert(options.begin(), "device.tcp_port=502");

  // Signals are taken by sigwait below; block them before threads start.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Bench bench(options);
  for (auto& error : bench.Config().Errors()) fprintf(stderr, "tktest-bench: %s\n", error.c_str());
  std::vector<std::string> unknown = bench.UnknownOptionKeys();
  for (auto& key : unknown) fprintf(stderr, "tktest-bench: unknown option %s\n", key.c_str());
  if (!unknown.empty() || !bench.Config().Errors().empty()) return 2;
  int code = bench.Start();
  if (code != 0) {
    fprintf(stderr, "tktest-bench: %s\n", bench.Error().c_str());
    return 1;
  }
  std::string meter = bench.MeterPath().empty() ? "none" : bench.MeterPath();
  printf("tktest-bench ready usb=%s ethernet=127.0.0.2:%d wifi=127.0.0.3:%d meter=%s\n",
         bench.UsbEndpoint().c_str(), bench.TcpPort(), bench.TcpPort(), meter.c_str());
  fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  bench.Stop();
  return 0;
}
