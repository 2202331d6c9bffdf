// The record steps against the virtual bench's flash and our test server.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/flash.h"
#include "device/registers.h"
#include "server/test_server_link.h"
#include "steps/calibrate.h"
#include "steps/calibration_table.h"
#include "steps/reports_and_logs.h"
#include "steps/steps.h"
#include "support/bench_fixture.h"
#include "testserver/server.h"
#include "tkm/tkm.h"

namespace {

class RecordsStepsTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"cal.model=1"}; }

 protected:
  StepContext RunContext() {
    StepContext context;
    context.handle = Handle();
    context.mode = 0x000711E1;
    context.jigType = 6;
    context.jigCode = 3;
    context.firmwareVersion = 1.0235;
    context.bootstrapVersion = 0.94;
    return context;
  }
  std::string FlashText(uint32_t address, uint32_t length) {
    std::vector<uint8_t> bytes = FlashBytes(address, length);
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(RecordsStepsTest, ManufacturingRecordIsWrittenOnce) {
  ASSERT_TRUE(StartBench());
  StepContext context = RunContext();
  EXPECT_EQ(0, StepSaveManufacturingInfo(&context));
  EXPECT_EQ(2, context.EL);
  EXPECT_STREQ("Data written", context.Msg);
  const std::string record = FlashText(kFlashManufacturing, kManufacturingLength);
  EXPECT_EQ(0u, record.find("Q5 Manufacturing Info:\r\n  Time of test (UTC): "));
  EXPECT_NE(std::string::npos, record.find("  Jig type: 6\r\n  Jig code: 3\r\n  Firmware Version: 1.0235\r\n"));
  EXPECT_EQ(std::string(1024 - strlen(record.c_str()), '\0'), record.substr(strlen(record.c_str())));

  const uint64_t writes = Device().FlashWrites();
  const uint64_t erases = Device().FlashErases();
  StepSaveManufacturingInfo(&context);
  EXPECT_STREQ("Already written", context.Msg);
  EXPECT_EQ(2, context.EL);
  EXPECT_EQ(writes, Device().FlashWrites());
  EXPECT_EQ(erases, Device().FlashErases());
  EXPECT_EQ(record, FlashText(kFlashManufacturing, kManufacturingLength));
}

TEST_F(RecordsStepsTest, FailedReadNeitherRewritesTheRecordNorTheLog) {
  ASSERT_TRUE(StartBench());
  StepContext context = RunContext();
  const uint64_t writes = Device().FlashWrites();
  Device().InjectError(61812, 1305, 1);
  EXPECT_EQ(1, StepSaveManufacturingInfo(&context));
  EXPECT_EQ(5, context.EL);
  EXPECT_STREQ("Comm Error: (1305)", context.Msg);

  // A log with an old record in slot 0 keeps it when the read fails.
  std::string old = "Q5 Calibration Info:\r\n  old record\r\n";
  {
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    Device().Flash().Store(kFlashCalibrationLog, reinterpret_cast<const uint8_t*>(old.data()), old.size());
  }
  const std::string before = FlashText(kFlashCalibrationLog, kCalLogLength);
  Device().InjectError(61812, 1305, 1);
  EXPECT_EQ(1, StepUpdateCalibrationLog(&context));
  EXPECT_EQ(5, context.EL);
  EXPECT_STREQ("Comm Error: (1305)", context.Msg);
  EXPECT_EQ(before, FlashText(kFlashCalibrationLog, kCalLogLength));
  EXPECT_EQ(writes, Device().FlashWrites());
}

TEST_F(RecordsStepsTest, CalibrationLogKeepsTheEightNewestRecords) {
  ASSERT_TRUE(StartBench());
  StepContext context = RunContext();
  for (int run = 1; run <= 9; ++run) {
    FormatText(CalResultText, sizeof CalResultText, "run %i", run);
    StepUpdateCalibrationLog(&context);
    ASSERT_STREQ("Data written", context.Msg) << run;
    Clock().Advance(60000);
  }
  const std::string page = FlashText(kFlashCalibrationLog, kCalLogLength);
  for (int slot = 0; slot < 8; ++slot) {
    const std::string record = page.substr(512 * slot, 512);
    EXPECT_EQ(0u, record.find("Q5 Calibration Info:\r\n")) << slot;
    const std::string expected = "  Cal Result: run " + std::to_string(9 - slot) + "\r\n";
    EXPECT_NE(std::string::npos, record.find(expected)) << slot;
  }
  EXPECT_EQ(std::string::npos, page.find("run 1\r\n"));
  CalResultText[0] = '\0';
}

class ServerReportTest : public RecordsStepsTest {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tkcalXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    ServerOptions options;
    options.port = 0;
    options.db = dir_ + "/server.db";
    options.stations[5890] = 0x3C61E92F;
    server_ = std::make_unique<TestServer>(options);
    std::string error;
    ASSERT_EQ(0, server_->Start(&error)) << error;
    const std::string address = "127.0.0.1:" + std::to_string(server_->port());
    setenv("TKTEST_SERVER", address.c_str(), 1);
    setenv("TKTEST_SERVER_TIMEOUT_MS", "20000", 1);
  }
  void TearDown() override {
    RecordsStepsTest::TearDown();
    delete link_;
    link_ = nullptr;
    if (server_) server_->Stop();
    server_.reset();
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
  }
  StepContext ConnectedContext() {
    StepContext context = RunContext();
    StepConnectToServer(&context);
    EXPECT_STREQ("Connected to Server", context.Msg);
    link_ = context.server;
    context.serialNumber = 470010002;
    return context;
  }
  DeviceInfo Stored(uint64_t id) {
    DeviceInfo info;
    EXPECT_TRUE(server_->store().Device(id, &info));
    return info;
  }
  std::string dir_;
  std::unique_ptr<TestServer> server_;
  TestServerLink* link_ = nullptr;
};

TEST_F(ServerReportTest, CalibrationPointsReachTheStore) {
  ASSERT_TRUE(StartBench());
  StepContext context = ConnectedContext();
  for (int k = 0; k < kCalRowCount; ++k) CalConstants[k] = static_cast<float>(CalNominals[k].nominal);
  CopyText(MeterName, sizeof MeterName, "HEWLETT-PACKARD,34401A,0,11-5-2\r\n");
  CopyText(MeterSerial, sizeof MeterSerial, "CAL 2024-03\r\n");
  EXPECT_EQ(0, StepReportCalibration(&context));
  EXPECT_EQ(2, context.EL);
  EXPECT_STREQ("Sent 43 cal points. ", context.Msg);
  const DeviceInfo info = Stored(context.serialNumber);
  ASSERT_EQ(43u, info.calPoints.size());
  EXPECT_EQ("HS 10.0V PSlope:0.000315806", info.calPoints[0]);
  EXPECT_EQ("I Bias:0.000000015", info.calPoints[40]);
  EXPECT_EQ("Meter Name: HEWLETT-PACKARD,34401A,0,11-5-2", info.calPoints[41]);
  EXPECT_EQ("Meter Serial: CAL 2024-03", info.calPoints[42]);
  std::fill(CalConstants, CalConstants + kCalRowCount, 0.0f);
  MeterName[0] = MeterSerial[0] = '\0';
}

TEST_F(ServerReportTest, TestResultsLinesAndHandlesClosed) {
  ASSERT_TRUE(StartBench());
  StepContext context = ConnectedContext();
  static char lines[40][64];
  for (int i = 0; i < 40; ++i) {
    FormatText(lines[i], sizeof lines[i], "Row %02i : Passed : ok", i);
    context.resultLines[i] = lines[i];
  }
  context.stepCount = 30;

  // Calibration run: at most stepCount - 2; a quick test without 0x20000.
  context.mode = 0x80;
  EXPECT_EQ(0, StepReportTestResults(&context));
  EXPECT_STREQ("Sent 28 results. ", context.Msg);
  // A fatal result that marked rows Skipped ends the list there.
  context.resultLines[12] = nullptr;
  context.mode = 0x000711E1;
  int handle = 0;
  ASSERT_EQ(0, TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle));
  context.handle = handle;
  EXPECT_EQ(0, StepReportTestResults(&context));
  EXPECT_STREQ("Sent 12 results. ", context.Msg);
  EXPECT_EQ(2, context.EL);

  const DeviceInfo info = Stored(context.serialNumber);
  ASSERT_EQ(2u, info.results.size());
  auto countLines = [](const std::string& stored) {
    const std::string body = stored.substr(stored.find('{'));
    return body == "{}" ? 0 : 1 + static_cast<int>(std::count(body.begin(), body.end(), ';'));
  };
  EXPECT_NE(std::string::npos, info.results[0].find(" qtest {Row 00 : Passed : ok;"));
  EXPECT_EQ(28, countLines(info.results[0]));
  EXPECT_NE(std::string::npos, info.results[1].find(" test {Row 00"));
  EXPECT_EQ(12, countLines(info.results[1]));

  // The handles are closed after a successful report.
  uint32_t value = 0;
  EXPECT_NE(0, ReadU32Register(handle, 50000, &value));
}

TEST_F(ServerReportTest, ServerFailureKeepsTheHandlesOpen) {
  ASSERT_TRUE(StartBench());
  StepContext context = ConnectedContext();
  server_->Stop();
  context.stepCount = 3;
  static const char* kLine = "Row : Passed : ok";
  context.resultLines[0] = kLine;
  EXPECT_EQ(1, StepReportTestResults(&context));
  EXPECT_EQ(5, context.EL);
  EXPECT_EQ(0, strncmp(context.Msg, "Comm Error: (", 13)) << context.Msg;
  uint32_t value = 0;
  EXPECT_EQ(0, ReadU32Register(context.handle, 50000, &value));
  // Without a link at all the step reports the link's no-socket code.
  context.server = nullptr;
  EXPECT_EQ(1, StepReportCalibration(&context));
  EXPECT_STREQ("Comm Error: (3)", context.Msg);
}

}  // namespace
