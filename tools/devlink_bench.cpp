// Benchmark of the device link (not a test): feedback exchanges per second
// over loopback against the device behind TKM_USB_ENDPOINT (the virtual
// bench), for a one-op read and a four-op request, and the wall time to
// erase, write and read back a 128 KiB flash region next to what that many
// exchanges cost at the measured round-trip time.
//   tktest-devlink_bench [--seconds=S] [--flash-rounds=N]
// scripts/bench-devlink.sh starts the bench and runs this beside libmodbus's
// own bandwidth test.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/feedback.h"
#include "device/flash.h"
#include "tkm/tkm.h"

namespace {

double Seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Rate {
  long exchanges;
  double seconds;
  double PerSecond() const { return exchanges / seconds; }
  double MicrosEach() const { return 1e6 * seconds / exchanges; }
};

template <typename F>
Rate Measure(double seconds, F exchange) {
  for (int i = 0; i < 200; ++i) exchange();  // warm up
  long count = 0;
  double start = Seconds();
  double now = start;
  while (now - start < seconds) {
    for (int i = 0; i < 256; ++i) {
      if (exchange() != 0) {
        fprintf(stderr, "exchange failed\n");
        exit(1);
      }
    }
    count += 256;
    now = Seconds();
  }
  return {count, now - start};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2.0;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--seconds=", 10) == 0) seconds = atof(argv[i] + 10);
    if (strncmp(argv[i], "--flash-rounds=", 15) == 0) rounds = atoi(argv[i] + 15);
  }
  if (rounds < 1) rounds = 1;
  int handle = 0;
  int code = TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle);
  if (code != 0) {
    fprintf(stderr, "open failed: %d (is the bench running at TKM_USB_ENDPOINT?)\n", code);
    return 1;
  }

  FeedbackOp one;
  MakeReadOp(&one, 0, 2, kTypeFloat);
  Rate oneOp = Measure(seconds, [&] { return FeedbackTransaction(handle, 1, &one); });

  FeedbackOp four[4];
  MakeWriteOp(&four[0], 2005, 1, kTypeU16, 1);
  MakeWriteOp(&four[1], 4008, 2, kTypeFloat, 10.0);
  MakeReadOp(&four[2], 0, 2, kTypeFloat);
  MakeReadOp(&four[3], 50000, 2, kTypeU32);
  Rate fourOp = Measure(seconds, [&] { return FeedbackTransaction(handle, 4, four); });

  printf("feedback one-op read (1 x 2 registers)      %9.0f exchanges/s  %7.1f us round trip\n", oneOp.PerSecond(),
         oneOp.MicrosEach());
  printf("feedback four-op request (2 writes, 2 reads) %9.0f exchanges/s  %7.1f us round trip\n",
         fourOp.PerSecond(), fourOp.MicrosEach());

  // 128 KiB: the recovery image region, 32 pages.
  const uint32_t base = kFlashRecoveryImage;
  const uint32_t size = 128 * 1024;
  std::vector<uint8_t> image(size), back(size);
  for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 8));
  const long erases = size / kFlashPageSize, writes = size / 32, reads = 1 + size / 32;
  const long total = erases + writes + reads;
  // Several rounds; the machine may be shared, so the median and the best
  // are shown.
  std::vector<double> eraseMs, writeMs, readMs, totalMs;
  for (int round = 0; round < rounds; ++round) {
    double t0 = Seconds();
    for (uint32_t page = 0; page < size / kFlashPageSize; ++page) {
      code = FlashErasePage(handle, kKeyRecoveryImage, base + page * kFlashPageSize);
      if (code != 0) return fprintf(stderr, "erase failed: %d\n", code), 1;
    }
    double t1 = Seconds();
    code = FlashWrite(handle, kKeyRecoveryImage, base, size, image.data());
    if (code != 0) return fprintf(stderr, "write failed: %d\n", code), 1;
    double t2 = Seconds();
    code = FlashRead(handle, kKeyRecoveryImage, base, size, back.data());
    if (code != 0) return fprintf(stderr, "read failed: %d\n", code), 1;
    double t3 = Seconds();
    if (back != image) return fprintf(stderr, "read back differs\n"), 1;
    eraseMs.push_back(1e3 * (t1 - t0));
    writeMs.push_back(1e3 * (t2 - t1));
    readMs.push_back(1e3 * (t3 - t2));
    totalMs.push_back(1e3 * (t3 - t0));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  printf("flash 128 KiB (median of %d): erase %ld pages %.1f ms, write %ld chunks %.1f ms, read %ld exchanges %.1f ms\n",
         rounds, erases, median(eraseMs), writes, median(writeMs), reads, median(readMs));
  printf("flash 128 KiB erase+write+read back: %.1f ms wall (best %.1f) for %ld exchanges; at the one-op round trip "
         "%.1f ms (%.1f us per flash exchange)\n",
         median(totalMs), *std::min_element(totalMs.begin(), totalMs.end()), total,
         1e-3 * total * oneOp.MicrosEach(), 1e3 * median(totalMs) / total);
  TKM_Close(handle);
  return 0;
}
