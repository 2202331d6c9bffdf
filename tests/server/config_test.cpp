// Station configuration file: the file's edge cases and the step's messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/config_table.h"
#include "steps/steps.h"
#include "sequencer/step_context.h"

namespace {

const char kGood[] =
    "SSID:Lab Net\n"
    "PASS:secret\n"
    "Wireless_IP:10.0.0.50\n"
    "Wireless_SubNet:255.255.255.0\n"
    "Wireless_Gateway:192.168.1.10\n"
    "Wireless_DHCP:1\n"
    "Ethernet_IP:0x10\n"
    "Ethernet_DHCP:0\n";

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tkcfgXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    oldDir_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    memset(ConfigTable, 0, sizeof(ConfigTable));
  }
  void TearDown() override {
    unlink("TKTestQ5.cfg");
    EXPECT_EQ(chdir(oldDir_.c_str()), 0);
    rmdir(dir_.c_str());
  }
  void Write(const std::string& content) {
    FILE* file = fopen("TKTestQ5.cfg", "wb");
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
  }
  std::string RunStep() {
    StepContext context;
    StepReadConfigFile(&context);
    level_ = context.EL;
    return context.Msg;
  }
  int level_ = 0;
  std::string dir_, oldDir_;
};

TEST_F(ConfigFile, ValuesAndLookups) {
  Write(std::string(kGood) + "SSID:Other\n");
  EXPECT_EQ(RunStep(), "Entries Found: 9, 0");
  EXPECT_EQ(level_, 2);
  char text[128];
  double number = -1;
  ASSERT_EQ(ConfigGetText("SSID", text), 0);
  EXPECT_STREQ(text, "Lab Net\n");  // first occurrence wins, line feed kept
  ASSERT_EQ(ConfigGetNumber("SSID", &number), 0);
  EXPECT_EQ(number, 0);
  ConfigGetNumber("Wireless_DHCP", &number);
  EXPECT_EQ(number, 1);
  ConfigGetNumber("Wireless_IP", &number);
  EXPECT_EQ(number, 167772210.0);
  ConfigGetText("Wireless_IP", text);
  EXPECT_STREQ(text, "10.0.0.50\n");
  ConfigGetNumber("Wireless_Gateway", &number);
  EXPECT_EQ(number, 3232235786.0);
  ConfigGetNumber("Wireless_SubNet", &number);
  EXPECT_EQ(number, 4294967040.0);
  ConfigGetNumber("Ethernet_IP", &number);
  EXPECT_EQ(number, 0);  // 0x values are not converted
  number = 5;
  EXPECT_EQ(ConfigGetNumber("ssid", &number), 1);  // case matters
  EXPECT_EQ(number, 5);
}

struct StepCase {
  const char* name;
  std::string content;
  bool write;
  const char* message;
};

TEST_F(ConfigFile, StepEdgeCases) {
  std::string good = kGood;
  std::string noFinalLf = good.substr(0, good.size() - 1);
  std::string blankBeforeColon = good;
  blankBeforeColon.replace(0, 5, "SSID :");
  const StepCase cases[] = {
      {"last line without LF", noFinalLf, true, "Config field Ethernet_DHCP not found."},
      {"blank before colon", blankBeforeColon, true, "Config field SSID not found."},
      {"blank line counts", "\n" + good, true, "Entries Found: 9, 0"},
      {"CR LF line ends", "SSID:a\r\n" + good.substr(13), true, "Entries Found: 8, 0"},
      {"missing PASS", "SSID:x\n", true, "Config field PASS not found."},
      {"empty file", "", true, "Config field SSID not found."},
      {"missing file", "", false, "Could not read ConfigFile"},
  };
  for (const StepCase& c : cases) {
    memset(ConfigTable, 0, sizeof(ConfigTable));
    unlink("TKTestQ5.cfg");
    if (c.write) Write(c.content);
    EXPECT_EQ(RunStep(), c.message) << c.name;
    EXPECT_EQ(level_, std::string(c.message).rfind("Entries", 0) == 0 ? 2 : 5) << c.name;
  }
}

TEST_F(ConfigFile, LongLinesAreReadInPiecesAndRowsStopAt32) {
  std::string content = std::string(127, 'a') + "bc:1\n";  // two rows
  for (int i = 0; i < 40; ++i) content += "K" + std::to_string(i) + ":" + std::to_string(i) + "\n";
  Write(content);
  int count = 0;
  ASSERT_EQ(ReadConfigFile(&count), 0);
  EXPECT_EQ(count, 32);
  EXPECT_EQ(std::string(ConfigTable[0].name), std::string(127, 'a'));
  EXPECT_STREQ(ConfigTable[1].name, "bc");
  double number = 0;
  EXPECT_EQ(ConfigGetNumber("K29", &number), 0);
  EXPECT_EQ(number, 29);
  EXPECT_EQ(ConfigGetNumber("K30", &number), 1);
}

}  // namespace
