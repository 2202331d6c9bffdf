#include "platform/sockets.h"

#include <csignal>

int SocketStartup(int* grantedMajor, int* grantedMinor) {
  // A peer that closes while we send must give an error code, not a signal.
  signal(SIGPIPE, SIG_IGN);
  if (grantedMajor != nullptr) *grantedMajor = 2;
  if (grantedMinor != nullptr) *grantedMinor = 2;
  return 0;
}

int SocketCleanup() { return 0; }
