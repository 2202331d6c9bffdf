// Replays fuzz inputs without libFuzzer: every file named on the command line,
// or every file in a named folder, goes once through the target.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out->clear();
  uint8_t chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) out->insert(out->end(), chunk, chunk + got);
  std::fclose(file);
  return true;
}

void Collect(const std::string& path, std::vector<std::string>* files) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    files->push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    Collect(path + "/" + name, files);
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files found\n");
    return 1;
  }
  std::vector<uint8_t> data;
  for (const std::string& file : files) {
    if (!ReadWhole(file, &data)) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
