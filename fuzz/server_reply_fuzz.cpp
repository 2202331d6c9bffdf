// Test-server replies: the bytes a server sends back, through the same
// framing as TestServerLink::ReadReply (at most 499 bytes, terminated) into
// ParseReplyLine and ParseHexToken.
#include <cstdint>
#include <cstring>

#include "server/test_server_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char line[500];
  size_t length = size < 499 ? size : 499;
  std::memcpy(line, data, length);
  line[length] = 0;
  ServerReply reply;
  ParseReplyLine(line, length, reply);
  uint64_t value = 0;
  int used = ParseHexToken(line, &value);
  if (used < 0 || static_cast<size_t>(used) > length) __builtin_trap();
  return 0;
}
