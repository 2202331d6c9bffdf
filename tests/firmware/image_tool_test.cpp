// The tktest-image tool: pack a binary, show it, and read it back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/image_file.h"

namespace {

std::string RunTool(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  *status = pclose(pipe);
  return output;
}

const std::string kTool = std::string(TKTEST_BIN_DIR) + "/tools/tktest-image";

TEST(ImageTool, PackShowRoundTrip) {
  char name[] = "/tmp/tkimg_XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  std::string dir = name;
  std::vector<uint8_t> body(5000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(i * 13 + 1);
  std::string in = dir + "/body.bin", out = dir + "/Q5recovery_6606.bin";
  FILE* f = std::fopen(in.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);

  int status = 0;
  std::string text = RunTool(kTool + " pack --product 100007021 --version 0.6606 --in " + in + " --out " + out, &status);
  ASSERT_EQ(status, 0) << text;

  ImageFile image;
  ReadImageFile(out.c_str(), &image);
  ASSERT_EQ(image.status, 0);
  ASSERT_EQ(image.size, 128 + 5000);
  EXPECT_EQ(std::memcmp(image.data + 128, body.data(), body.size()), 0);
  ImageHeader header;
  ASSERT_EQ(ParseImageHeader(&image, &header), 0);
  EXPECT_EQ(header.productId, 100007021u);
  EXPECT_FLOAT_EQ(header.version, 0.6606f);
  EXPECT_EQ(header.imageLength, 5000u);

  text = RunTool(kTool + " show " + out, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("productId: 100007021"), std::string::npos) << text;
  EXPECT_NE(text.find("version: 0.6606"), std::string::npos) << text;
  EXPECT_NE(text.find("imageLength: 5000"), std::string::npos) << text;

  // An explicit length is written as given.
  text = RunTool(kTool + " pack --product 100004001 --version 1.25 --length 9000 --in " + in + " --out " + out, &status);
  ASSERT_EQ(status, 0) << text;
  ReadImageFile(out.c_str(), &image);
  ASSERT_EQ(ParseImageHeader(&image, &header), 0);
  EXPECT_EQ(header.imageLength, 9000u);
  EXPECT_FLOAT_EQ(header.version, 1.25f);

  // Errors: a missing input, a bad product, a file that is not an image.
  RunTool(kTool + " pack --product 1 --version 1 --in " + dir + "/none --out " + out, &status);
  EXPECT_NE(status, 0);
  RunTool(kTool + " pack --product x1 --version 1 --in " + in + " --out " + out, &status);
  EXPECT_NE(status, 0);
  RunTool(kTool + " show " + in, &status);
  EXPECT_NE(status, 0);
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
