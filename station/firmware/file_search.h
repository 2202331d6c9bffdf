// Finding the station's image files in its working directory.
#pragma once
#include <string>
#include <vector>

constexpr int kFoundPathSize = 128;

// Fills paths with every file below directory whose name matches mask (a
// shell pattern; "*" takes all), walking depth first without recursion, in
// the order the system lists the entries. Paths are directory + "/" + name.
// True when the whole tree was walked, false when a listing failed.
bool CollectFiles(const char* directory, const char* mask, std::vector<std::string>* paths);

// Leaves in result (kFoundPathSize bytes) the relative path of the first
// listed file below "." that starts with prefix, or an empty text.
void FindFileWithPrefix(const char* prefix, char* result);
