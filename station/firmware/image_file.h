// Firmware image files: a 128-byte header ("TKFX", target, versions, length)
// followed by the image, multi-byte fields most significant byte first.
#pragma once
#include <cstdint>

constexpr int kImageHeaderSize = 128;
constexpr int kImagePathSize = 2048;

// File statuses. 6, 7 and 8 are ours: an image the engine refuses before
// anything is erased, because writing it would leave nothing sensible.
enum : int {
  kImageLoaded = 0,
  kImageCannotOpen = 1,
  kImageIncompleteRead = 2,
  kImageBadMagic = 3,
  kImageTooShort = 5,          // shorter than the header
  kImageBelowOnePage = 6,      // imageLength < 4096: no whole page to write
  kImageLargerThanRegion = 7,  // imageLength beyond the target's erased region
  kImageLongerThanFile = 8,    // imageLength beyond the bytes after the header
};

struct ImageFile {
  int size = 0;               // bytes read
  uint8_t* data = nullptr;    // owned, one byte larger than the file
  char path[kImagePathSize] = {};
  int status = 0;
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile();
};

struct ImageHeader {
  uint32_t productId = 0;
  float version = 0;
  float secondVersion = 0;
  uint16_t shortWord = 0;
  uint32_t imageLength = 0;
  uint32_t longWord = 0;
  uint8_t bytes96[20] = {};
  uint8_t bytes76[20] = {};
};

// Loads the file at path into image (any earlier buffer is released).
void ReadImageFile(const char* path, ImageFile* image);
// Releases the file's buffer; size becomes 0.
void ReleaseImageFile(ImageFile* image);
// The file's status when it is not 0 (header untouched), else 0 with the
// header decoded. A file shorter than the header is not decoded (status 5).
int ParseImageHeader(const ImageFile* image, ImageHeader* header);
// Version fields: the float as stored, unless above 1000 or below 0; then
// byte 2 + byte 3 / 100 of the field.
float DecodeVersionField(const uint8_t* field);

// Checks an image against a target region of regionPages pages; returns 0,
// or 6, 7 or 8 (see above).
int CheckImageForRegion(const ImageFile* image, const ImageHeader* header, uint32_t regionPages);

// Writes a 128-byte header (magic, product, version, length) into out.
void BuildImageHeader(uint32_t productId, float version, uint32_t imageLength, uint8_t* out);

// Big-endian helpers.
uint32_t ReadBigU32(const uint8_t* p);
float ReadBigFloat(const uint8_t* p);
void WriteBigU32(uint8_t* p, uint32_t value);
void WriteBigFloat(uint8_t* p, float value);
