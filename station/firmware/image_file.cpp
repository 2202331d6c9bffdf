#include "firmware/image_file.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "device/flash.h"
#include "platform/console.h"

ImageFile::~ImageFile() { delete[] data; }

uint32_t ReadBigU32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

float ReadBigFloat(const uint8_t* p) {
  uint32_t bits = ReadBigU32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void WriteBigU32(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value >> 24);
  p[1] = uint8_t(value >> 16);
  p[2] = uint8_t(value >> 8);
  p[3] = uint8_t(value);
}

void WriteBigFloat(uint8_t* p, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  WriteBigU32(p, bits);
}

void ReleaseImageFile(ImageFile* image) {
  delete[] image->data;
  image->data = nullptr;
  image->size = 0;
}

void ReadImageFile(const char* path, ImageFile* image) {
  ReleaseImageFile(image);
  image->status = kImageLoaded;
  image->path[0] = '\0';
  if (path == nullptr) path = "";
  size_t length = strcspn(path, "\n");
  // A path that does not fit is refused rather than cut into another path.
  if (length >= sizeof image->path) {
    image->status = kImageCannotOpen;
    return;
  }
  std::memcpy(image->path, path, length);
  image->path[length] = '\0';

  FILE* file = std::fopen(image->path, "rb");
  if (file == nullptr) {
    image->status = kImageCannotOpen;
    return;
  }
  long fileLength = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) fileLength = std::ftell(file);
  if (fileLength < 0 || fileLength > 0x7FFFFFFE || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    image->status = kImageCannotOpen;  // not a readable regular file
    return;
  }
  image->data = new (std::nothrow) uint8_t[size_t(fileLength) + 1];
  if (image->data == nullptr) {
    std::fclose(file);
    image->status = kImageIncompleteRead;
    return;
  }
  image->size = int(std::fread(image->data, 1, size_t(fileLength) + 1, file));
  bool atEnd = std::feof(file) != 0;
  std::fclose(file);
  if (!atEnd) {
    image->status = kImageIncompleteRead;
    return;
  }
  if (image->size < 4 || std::memcmp(image->data, "TKFX", 4) != 0) image->status = kImageBadMagic;
}

float DecodeVersionField(const uint8_t* field) {
  float value = ReadBigFloat(field);
  if (value > 1000.0f || value < 0.0f) return float(field[2]) + float(field[3]) / 100.0f;
  return value;  // NaN compares false both ways and stays as stored
}

int ParseImageHeader(const ImageFile* image, ImageHeader* header) {
  if (image->status != 0) return image->status;
  // Decoding needs the whole header; a shorter file is status 5.
  if (image->data == nullptr || image->size < kImageHeaderSize) return kImageTooShort;
  const uint8_t* d = image->data;
  header->productId = ReadBigU32(d + 4);
  header->version = DecodeVersionField(d + 8);
  header->secondVersion = DecodeVersionField(d + 12);
  header->shortWord = uint16_t((d[16] << 8) | d[17]);
  header->imageLength = ReadBigU32(d + 24);
  header->longWord = ReadBigU32(d + 28);
  std::memcpy(header->bytes76, d + 76, sizeof header->bytes76);
  std::memcpy(header->bytes96, d + 96, sizeof header->bytes96);
  return 0;
}

int CheckImageForRegion(const ImageFile* image, const ImageHeader* header, uint32_t regionPages) {
  uint64_t length = header->imageLength;
  if (length < kFlashPageSize) return kImageBelowOnePage;
  if (length > uint64_t(regionPages) * kFlashPageSize) return kImageLargerThanRegion;
  if (image->size < kImageHeaderSize || length > uint64_t(image->size - kImageHeaderSize)) {
    return kImageLongerThanFile;
  }
  return 0;
}

void BuildImageHeader(uint32_t productId, float version, uint32_t imageLength, uint8_t* out) {
  std::memset(out, 0, kImageHeaderSize);
  std::memcpy(out, "TKFX", 4);
  WriteBigU32(out + 4, productId);
  WriteBigFloat(out + 8, version);
  WriteBigFloat(out + 12, version);
  WriteBigU32(out + 24, imageLength);
}
