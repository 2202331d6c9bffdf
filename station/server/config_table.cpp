// Station configuration file: read into the program-wide table, looked up by key.
#include "server/config_table.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

ConfigEntry ConfigTable[kConfigRows] = {};

namespace {

double ConvertValue(const char* text) {
  if (text[0] != 0 && text[1] == 'x') return 0;  // 0x... values are not converted
  int dots = 0;
  for (const char* p = text; *p != 0; ++p) dots += *p == '.';
  if (dots == 3) {
    uint32_t value = 0;
    const char* part = text;
    for (const char* p = text;; ++p) {
      if (*p == '.' || *p == 0) {
        value = (value << 8) | static_cast<uint32_t>(atoi(part));
        if (*p == 0) break;
        part = p + 1;
      }
    }
    return static_cast<double>(value);
  }
  return strtod(text, nullptr);
}

}  // namespace

int ReadConfigFile(int* count) {
  FILE* file = fopen("TKTestQ5.cfg", "r");
  if (file == nullptr) return 1;
  int rows = 0;
  char line[128];
  while (rows < kConfigRows) {
    // A last line without a line feed hits the end of the file while being
    // read and is not stored.
    if (fgets(line, sizeof(line), file) == nullptr || feof(file)) break;
    ConfigEntry& entry = ConfigTable[rows];
    memset(entry.name, 0, sizeof(entry.name));
    memset(entry.text, 0, sizeof(entry.text));
    entry.number = 0;
    char* colon = strchr(line, ':');
    if (colon != nullptr) {
      *colon = 0;
      CopyText(entry.name, sizeof(entry.name), line);
      CopyText(entry.text, sizeof(entry.text), colon + 1);
    } else {
      CopyText(entry.name, sizeof(entry.name), line);
    }
    entry.number = ConvertValue(entry.text);
    ++rows;
  }
  fclose(file);
  *count = rows;
  return 0;
}

int ConfigGetText(const char* key, char* buffer) {
  for (const ConfigEntry& entry : ConfigTable) {
    if (entry.name[0] != 0 && strcmp(entry.name, key) == 0) {
      CopyText(buffer, kConfigTextSize, entry.text);
      return 0;
    }
  }
  return 1;
}

int ConfigGetNumber(const char* key, double* number) {
  for (const ConfigEntry& entry : ConfigTable) {
    if (entry.name[0] != 0 && strcmp(entry.name, key) == 0) {
      *number = entry.number;
      return 0;
    }
  }
  return 1;
}
