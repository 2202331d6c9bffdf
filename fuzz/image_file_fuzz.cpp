// Firmware image files: the bytes become a file that ReadImageFile loads,
// then the header is decoded and checked against a few region sizes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "firmware/image_file.h"

namespace {

char path[64];

void RemoveFile() { unlink(path); }

bool MakePath() {
  static bool ready = false;
  if (ready) return true;
  std::snprintf(path, sizeof path, "/tmp/tktest-fuzz-image-XXXXXX");
  int fd = mkstemp(path);
  if (fd < 0) return false;
  close(fd);
  atexit(RemoveFile);
  ready = true;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!MakePath()) return 0;
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  ImageFile image;
  ReadImageFile(path, &image);
  if (image.status == kImageLoaded && static_cast<size_t>(image.size) != size) __builtin_trap();
  ImageHeader header;
  if (ParseImageHeader(&image, &header) != 0) return 0;
  for (uint32_t pages : {0u, 1u, 16u, 64u, 0xFFFFFFFFu}) CheckImageForRegion(&image, &header, pages);
  if (size >= 12) DecodeVersionField(data + 8);
  return 0;
}
