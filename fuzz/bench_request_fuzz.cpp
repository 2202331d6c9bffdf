// The virtual bench's request parser: the input is the body of a function-76
// request (the read and write descriptors after the function code), as the
// bench's listener hands it to VirtualDevice::ServeFeedback.
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "platform/console.h"

namespace {

class QuietSink : public ConsoleSink {
 public:
  void Write(const char*, size_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietSink sink;
  static Bench* bench = [] {
    SetConsoleSink(&sink);
    return new Bench(std::vector<std::string>{});
  }();
  constexpr int kCapacity = 1536 - 8;  // the listener's frame less its header
  if (size > kCapacity) size = kCapacity;
  uint8_t reply[kCapacity];
  int replySize = -1;
  Interface via = size > 0 ? static_cast<Interface>(data[0] % kInterfaceCount) : Interface::kUsb;
  int code = bench->Device().ServeFeedback(data, static_cast<int>(size), via, reply, kCapacity, &replySize);
  if (code == 0 && (replySize < 0 || replySize > kCapacity)) __builtin_trap();
  return 0;
}
