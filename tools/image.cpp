// tktest-image: packs a binary into a firmware image file and shows the
// header of an existing one.
//   tktest-image pack --product N --version V --in BIN --out FILE [--length L]
//   tktest-image show FILE
// --length overrides the header's imageLength (default: the binary's size).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/image_file.h"

static int Usage() {
  std::fprintf(stderr,
               "usage: tktest-image pack --product N --version V --in BIN --out FILE [--length L]\n"
               "       tktest-image show FILE\n");
  return 2;
}

static bool ParseUnsigned(const char* text, uint32_t* out) {
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFull) return false;
  *out = uint32_t(value);
  return true;
}

static int Pack(int argc, char** argv) {
  const char* product = nullptr;
  const char* version = nullptr;
  const char* in = nullptr;
  const char* out = nullptr;
  const char* length = nullptr;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    const char* key = argv[i];
    const char* value = argv[i + 1];
    if (std::strcmp(key, "--product") == 0) product = value;
    else if (std::strcmp(key, "--version") == 0) version = value;
    else if (std::strcmp(key, "--in") == 0) in = value;
    else if (std::strcmp(key, "--out") == 0) out = value;
    else if (std::strcmp(key, "--length") == 0) length = value;
    else return Usage();
  }
  if (product == nullptr || version == nullptr || in == nullptr || out == nullptr) return Usage();
  uint32_t productId = 0;
  if (!ParseUnsigned(product, &productId)) {
    std::fprintf(stderr, "tktest-image: bad product: %s\n", product);
    return 2;
  }
  char* end = nullptr;
  float versionValue = std::strtof(version, &end);
  if (end == version || *end != '\0' || !std::isfinite(versionValue)) {
    std::fprintf(stderr, "tktest-image: bad version: %s\n", version);
    return 2;
  }
  FILE* input = std::fopen(in, "rb");
  if (input == nullptr) {
    std::fprintf(stderr, "tktest-image: cannot open %s: %s\n", in, std::strerror(errno));
    return 1;
  }
  std::vector<uint8_t> body;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, input)) > 0) body.insert(body.end(), chunk, chunk + got);
  bool failed = std::ferror(input) != 0;
  std::fclose(input);
  if (failed || body.size() > 0xFFFFFFFFu) {
    std::fprintf(stderr, "tktest-image: cannot read %s\n", in);
    return 1;
  }
  uint32_t imageLength = uint32_t(body.size());
  if (length != nullptr && !ParseUnsigned(length, &imageLength)) {
    std::fprintf(stderr, "tktest-image: bad length: %s\n", length);
    return 2;
  }
  uint8_t header[kImageHeaderSize];
  BuildImageHeader(productId, versionValue, imageLength, header);
  FILE* output = std::fopen(out, "wb");
  if (output == nullptr) {
    std::fprintf(stderr, "tktest-image: cannot create %s: %s\n", out, std::strerror(errno));
    return 1;
  }
  bool ok = std::fwrite(header, 1, sizeof header, output) == sizeof header &&
            std::fwrite(body.data(), 1, body.size(), output) == body.size();
  ok = (std::fclose(output) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "tktest-image: cannot write %s\n", out);
    std::remove(out);
    return 1;
  }
  return 0;
}

static int Show(const char* path) {
  ImageFile image;
  ReadImageFile(path, &image);
  ImageHeader header;
  int status = ParseImageHeader(&image, &header);
  if (status != 0) {
    std::fprintf(stderr, "tktest-image: %s: status %i\n", path, status);
    return 1;
  }
  std::printf("productId: %u\n", header.productId);
  std::printf("version: %.4f\n", double(header.version));
  std::printf("secondVersion: %.4f\n", double(header.secondVersion));
  std::printf("imageLength: %u\n", header.imageLength);
  std::printf("fileImageBytes: %d\n", image.size - kImageHeaderSize);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "pack") == 0) return Pack(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "show") == 0) return Show(argv[2]);
  return Usage();
}
