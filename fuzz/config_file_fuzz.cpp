// Station configuration file: the bytes become TKTestQ5.cfg in a private
// folder, then ReadConfigFile and the look-ups run on it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/config_table.h"

namespace {

char folder[] = "/tmp/tktest-fuzz-config-XXXXXX";

void RemoveFolder() {
  if (chdir("/") == 0) {
    char path[64];
    std::snprintf(path, sizeof path, "%s/TKTestQ5.cfg", folder);
    unlink(path);
    rmdir(folder);
  }
}

bool EnterFolder() {
  static bool ready = false;
  if (ready) return true;
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return false;
  atexit(RemoveFolder);
  ready = true;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!EnterFolder()) return 0;
  FILE* file = std::fopen("TKTestQ5.cfg", "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  int count = -1;
  if (ReadConfigFile(&count) != 0) return 0;
  if (count < 0 || count > kConfigRows) __builtin_trap();
  for (int i = 0; i < count; ++i) {
    char key[kConfigTextSize];
    std::memcpy(key, ConfigTable[i].name, sizeof key);
    key[sizeof key - 1] = 0;
    char text[kConfigTextSize];
    double number = 0;
    if (ConfigGetText(key, text) == 0 && std::strlen(text) >= kConfigTextSize) __builtin_trap();
    ConfigGetNumber(key, &number);
  }
  return 0;
}
