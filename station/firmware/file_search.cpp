#include "firmware/file_search.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/console.h"

bool CollectFiles(const char* directory, const char* mask, std::vector<std::string>* paths) {
  paths->clear();
  std::vector<std::string> stack{directory};
  while (!stack.empty()) {
    std::string current = std::move(stack.back());
    stack.pop_back();
    DIR* listing = opendir(current.c_str());
    if (listing == nullptr) return false;
    for (;;) {
      errno = 0;
      dirent* entry = readdir(listing);
      if (entry == nullptr) {
        if (errno != 0) {
          closedir(listing);
          return false;
        }
        break;
      }
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (fnmatch(mask, name, 0) != 0) continue;
      std::string path = current + "/" + name;
      // lstat: a link to a directory is listed as a file, so a link loop
      // cannot make the walk endless.
      struct stat info;
      bool isDirectory = lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      if (isDirectory) {
        stack.push_back(std::move(path));
      } else {
        paths->push_back(std::move(path));
      }
    }
    closedir(listing);
  }
  return true;
}

static bool InNameRange(char c) { return (c >= '0' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void FindFileWithPrefix(const char* prefix, char* result) {
  result[0] = '\0';
  std::vector<std::string> paths;
  if (!CollectFiles(".", "*", &paths) || paths.empty()) return;
  size_t prefixLength = std::strlen(prefix);
  for (const std::string& path : paths) {
    // Paths that do not fit the result are skipped, never cut: a cut path
    // could name another file.
    if (path.size() >= size_t(kFoundPathSize)) continue;
    size_t start = 0;
    while (start < path.size() && start < 31 && !InNameRange(path[start])) ++start;
    if (start >= path.size() || start >= 31) continue;
    if (path.compare(start, prefixLength, prefix) == 0) {
      CopyText(result, kFoundPathSize, path.c_str() + start);
      return;
    }
  }
}
