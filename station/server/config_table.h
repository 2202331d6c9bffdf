// Station configuration file "TKTestQ5.cfg": network settings by key.
#pragma once

constexpr int kConfigRows = 32;
constexpr int kConfigTextSize = 128;

struct ConfigEntry {
  char name[kConfigTextSize];
  char text[kConfigTextSize];
  double number;
};

extern ConfigEntry ConfigTable[kConfigRows];

// 0 and *count = rows filled; 1 when the file cannot be opened.
int ReadConfigFile(int* count);
// 0 and the entry's text (at most 127 characters), or 1 when no row has the key.
int ConfigGetText(const char* key, char* buffer);
// 0 and the entry's number, or 1 when no row has the key.
int ConfigGetNumber(const char* key, double* number);
