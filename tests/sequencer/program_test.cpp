// The station program as a process: version line, report, final key.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Result {
  int exitCode = -1;
  std::string out;
};

Result RunStation(const std::string& input) {
  // No device answers here: the library's USB endpoint points at a closed port.
  std::string command = "cd " + std::string(TKTEST_BIN_DIR) +
                        " && TKM_USB_ENDPOINT=127.0.0.1:1 " + "printf '" + input + "' | " +
                        std::string(TKTEST_BIN_DIR) + "/station/tktest";
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  int status = pclose(pipe);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  return r;
}

TEST(StationProgram, PrintsVersionAndReportThenWaitsForTheKey) {
  for (const std::string input : {"\\n", ""}) {  // Enter, and end of input
    Result r = RunStation(input);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0u, r.out.find("TKM Version = 1.010000\r\n\r\n"));
    // The last report holds all 32 rows and ends before the key prompt.
    size_t last = r.out.rfind("-TEST-                      -RESULT-    -DETAILS-\r\n");
    ASSERT_NE(std::string::npos, last);
    std::string report = r.out.substr(last);
    int rows = 0;
    for (size_t p = report.find("\r\n "); p != std::string::npos; p = report.find("\r\n ", p + 1)) ++rows;
    EXPECT_EQ(32, rows);
    EXPECT_NE(std::string::npos, r.out.find("Overall Result:           ** Failed **"));
    EXPECT_EQ(r.out.size() - strlen("Press Enter key to contine"), r.out.rfind("Press Enter key to contine"));
  }
}

}  // namespace
