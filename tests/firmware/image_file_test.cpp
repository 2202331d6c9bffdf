// Image files, their headers and the checks applied before flashing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/image_file.h"
#include "firmware/loading_steps.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/tkfw_XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::string full = path + "/" + name;
    FILE* f = std::fopen(full.c_str(), "wb");
    if (f != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return full;
  }
};

std::vector<uint8_t> MakeImage(uint32_t productId, float version, uint32_t imageLength, size_t bodyBytes) {
  std::vector<uint8_t> bytes(kImageHeaderSize + bodyBytes);
  BuildImageHeader(productId, version, imageLength, bytes.data());
  for (size_t i = 0; i < bodyBytes; ++i) bytes[kImageHeaderSize + i] = uint8_t(i * 7);
  return bytes;
}

TEST(ReadImageFile, Statuses) {
  TempDir dir;
  ImageFile image;
  ReadImageFile((dir.path + "/missing.bin").c_str(), &image);
  EXPECT_EQ(image.status, kImageCannotOpen);
  EXPECT_EQ(image.data, nullptr);

  std::vector<uint8_t> good = MakeImage(100007021, 0.6606f, 4096, 4096);
  std::string goodPath = dir.Write("good.bin", good);
  ReadImageFile(goodPath.c_str(), &image);
  EXPECT_EQ(image.status, kImageLoaded);
  ASSERT_EQ(image.size, int(good.size()));
  EXPECT_EQ(std::memcmp(image.data, good.data(), good.size()), 0);

  std::vector<uint8_t> bad = good;
  bad[3] = 'Y';
  ReadImageFile(dir.Write("bad.bin", bad).c_str(), &image);
  EXPECT_EQ(image.status, kImageBadMagic);

  ReadImageFile(dir.Write("tiny.bin", {'T', 'K'}).c_str(), &image);
  EXPECT_EQ(image.status, kImageBadMagic);

  // The path is cut at its first line feed.
  ReadImageFile((goodPath + "\nrest").c_str(), &image);
  EXPECT_EQ(image.status, kImageLoaded);
  EXPECT_STREQ(image.path, goodPath.c_str());
}

TEST(ReadImageFile, OverlongPathIsRefusedNotCut) {
  TempDir dir;
  std::string good = dir.Write("good.bin", MakeImage(100007021, 1.0f, 4096, 4096));
  // Padding with "/" keeps the path naming the same file, so a cut path
  // would still open it.
  std::string longPath = dir.path + std::string(kImagePathSize, '/') + "good.bin";
  FILE* direct = std::fopen(longPath.c_str(), "rb");
  ASSERT_NE(direct, nullptr);  // the system itself opens it
  std::fclose(direct);
  ImageFile image;
  ReadImageFile(longPath.c_str(), &image);
  EXPECT_EQ(image.status, kImageCannotOpen);
  EXPECT_EQ(image.data, nullptr);
}

TEST(ParseImageHeader, VersionFieldsAndLayout) {
  struct Case {
    uint8_t field[4];
    float expected;
  };
  float tiny;
  uint32_t tinyBits = 0x0000012C;
  std::memcpy(&tiny, &tinyBits, sizeof tiny);
  const Case cases[] = {
      {{0x3F, 0xA0, 0x00, 0x00}, 1.25f},  // 1.25 as stored
      {{0x4F, 0x00, 0x01, 0x0C}, 1.12f},  // above 1000: byte 2 + byte 3 / 100
      {{0xBF, 0x80, 0x02, 0x05}, 2.05f},  // below 0: same fall-back
      {{0x00, 0x00, 0x01, 0x2C}, tiny},   // tiny positive float stays
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = MakeImage(100004001, 0, 8192, 8192);
    std::memcpy(bytes.data() + 8, c.field, 4);
    std::memcpy(bytes.data() + 12, c.field, 4);
    bytes[16] = 0xAB;
    bytes[17] = 0xCD;
    WriteBigU32(bytes.data() + 28, 0x01020304);
    for (int i = 0; i < 20; ++i) {
      bytes[76 + i] = uint8_t(0x40 + i);
      bytes[96 + i] = uint8_t(0x80 + i);
    }
    ImageFile image;
    image.data = new uint8_t[bytes.size() + 1];
    std::memcpy(image.data, bytes.data(), bytes.size());
    image.size = int(bytes.size());
    ImageHeader header;
    ASSERT_EQ(ParseImageHeader(&image, &header), 0);
    EXPECT_FLOAT_EQ(header.version, c.expected);
    EXPECT_FLOAT_EQ(header.secondVersion, c.expected);
    EXPECT_EQ(header.productId, 100004001u);
    EXPECT_EQ(header.imageLength, 8192u);
    EXPECT_EQ(header.shortWord, 0xABCD);
    EXPECT_EQ(header.longWord, 0x01020304u);
    EXPECT_EQ(header.bytes76[0], 0x40);
    EXPECT_EQ(header.bytes76[19], 0x53);
    EXPECT_EQ(header.bytes96[0], 0x80);
    EXPECT_EQ(header.bytes96[19], 0x93);
  }
  // Not a number stays not a number.
  uint8_t nanField[4] = {0x7F, 0xC0, 0x00, 0x00};
  EXPECT_TRUE(std::isnan(DecodeVersionField(nanField)));
}

TEST(ParseImageHeader, FileStatusLeavesHeaderUnfilled) {
  ImageFile image;
  image.status = kImageBadMagic;
  ImageHeader header;
  header.productId = 77;
  EXPECT_EQ(ParseImageHeader(&image, &header), kImageBadMagic);
  EXPECT_EQ(header.productId, 77u);

  // A short file with the right magic is not decoded past its end.
  TempDir dir;
  std::vector<uint8_t> shortFile = MakeImage(100007021, 1.0f, 4096, 0);
  shortFile.resize(100);
  ReadImageFile(dir.Write("short.bin", shortFile).c_str(), &image);
  ASSERT_EQ(image.status, kImageLoaded);
  EXPECT_EQ(ParseImageHeader(&image, &header), kImageTooShort);
  EXPECT_EQ(header.productId, 77u);
}

TEST(CheckImageForRegion, RefusalsBeforeErasing) {
  struct Case {
    uint32_t imageLength;
    size_t bodyBytes;
    uint32_t regionPages;
    int expected;
  };
  const Case cases[] = {
      {5000, 5000, 32, 0},                          // one page written, rest ignored
      {131072, 131072, 32, 0},                      // exactly the recovery region
      {4095, 4095, 32, kImageBelowOnePage},
      {0, 0, 32, kImageBelowOnePage},
      {131073, 131073, 32, kImageLargerThanRegion},
      {120 * 4096 + 1, 120 * 4096 + 1, 120, kImageLargerThanRegion},
      {120 * 4096, 120 * 4096, 120, 0},
      {8192, 8191, 32, kImageLongerThanFile},
      {0xFFFFFFFF, 4096, 120, kImageLargerThanRegion},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = MakeImage(100007021, 1.0f, c.imageLength, c.bodyBytes);
    ImageFile image;
    image.data = new uint8_t[bytes.size() + 1];
    std::memcpy(image.data, bytes.data(), bytes.size());
    image.size = int(bytes.size());
    ImageHeader header;
    ASSERT_EQ(ParseImageHeader(&image, &header), 0);
    EXPECT_EQ(CheckImageForRegion(&image, &header, c.regionPages), c.expected)
        << "imageLength " << c.imageLength << " body " << c.bodyBytes;
  }
}

TEST(LoadingRules, WebPagesLengthAndFit) {
  EXPECT_EQ(WebPagesWriteLength(1000), 1004u);
  EXPECT_EQ(WebPagesWriteLength(1001), 1004u);
  EXPECT_EQ(WebPagesWriteLength(1003), 1004u);
  EXPECT_EQ(WebPagesWriteLength(0), 4u);
  EXPECT_TRUE(WebPagesFit(0x200000 - 4));
  EXPECT_TRUE(WebPagesFit(0x200000 - 1));  // written as 0x1FFFFC + 4: ends at the region's end
  EXPECT_FALSE(WebPagesFit(0x200000));
  EXPECT_FALSE(WebPagesFit(5000000));
}

TEST(LoadingRules, RecoveryVersionFromNameAndCheck) {
  EXPECT_NEAR(RecoveryVersionFromName("Q5recovery_6606.bin"), 0.6606, 1e-9);
  EXPECT_NEAR(RecoveryVersionFromName("Q5recovery_6700.bin"), 0.67, 1e-9);
  EXPECT_EQ(RecoveryVersionFromName("Q5recovery_abc.bin"), 0.0);
  EXPECT_EQ(RecoveryVersionFromName(""), 0.0);
  EXPECT_TRUE(RecoveryVersionPasses(0.6606f));
  EXPECT_TRUE(RecoveryVersionPasses(1.0f));
  EXPECT_FALSE(RecoveryVersionPasses(0.6605f));
  EXPECT_FALSE(RecoveryVersionPasses(std::nanf("")));
  float erased;
  uint32_t ones = 0xFFFFFFFF;
  std::memcpy(&erased, &ones, sizeof erased);
  EXPECT_FALSE(RecoveryVersionPasses(erased));
}

}  // namespace
