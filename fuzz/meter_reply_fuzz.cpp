// Multimeter replies: one reading's bytes arrive on a pseudo-terminal whose
// slave the meter driver holds as COM1, and ReadSamples takes them apart.
// The first input byte picks the range and the number of samples.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

class QuietSink : public ConsoleSink {
 public:
  void Write(const char*, size_t) override {}
};

int master = -1;
int slave = -1;
Meter* meter = nullptr;

void Drain() {
  char buffer[512];
  while (read(master, buffer, sizeof buffer) > 0) {
  }
}

int Queued() {
  int queued = 0;
  ioctl(slave, FIONREAD, &queued);
  return queued;
}

bool Setup() {
  static bool tried = false;
  if (tried) return meter != nullptr;
  tried = true;
  static QuietSink sink;
  static VirtualClock clock(1700000000000);
  SetConsoleSink(&sink);
  SetClock(&clock);
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const char* path = ptsname(master);
  if (path == nullptr) return false;
  slave = open(path, O_RDWR | O_NOCTTY);  // held so the master never sees a hang-up
  if (slave < 0) return false;
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  setenv("TKTEST_COM1", path, 1);
  meter = new Meter;
  meter->Connect();  // no identification comes back: the port stays open all the same
  Drain();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!Setup()) {
    std::fprintf(stderr, "no pseudo-terminal for the meter\n");
    abort();
  }
  if (size == 0) return 0;
  meter->ConfigureRange(data[0] & 3);
  meter->SetNumSamples(1 + (data[0] >> 2) % kMeterMaxSamples);
  ++data;
  --size;
  if (size > 2048) size = 2048;
  meter->StartReading();
  Drain();
  int before = Queued();
  if (size > 0 && write(master, data, size) != static_cast<ssize_t>(size)) return 0;
  for (int i = 0; i < 20000 && Queued() < before + static_cast<int>(size); ++i) usleep(50);
  double values[kMeterMaxSamples];
  for (double& value : values) value = std::nan("");
  bool done = false;
  for (int poll = 0; poll < 30 && !done; ++poll) {
    meter->ReadSamples(values, done);
    if (!done) SleepMs(1000);
  }
  if (!done) __builtin_trap();  // the time limit must end every reading
  return 0;
}
