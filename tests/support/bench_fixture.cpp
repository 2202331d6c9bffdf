#include "support/bench_fixture.h"

#include "tkm/tkm.h"

void CapturedConsole::Write(const char* text, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.append(text, length);
}

std::string CapturedConsole::Text() {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void CapturedConsole::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

bool BenchTest::StartBench(std::vector<std::string> options, bool openUsb) {
  SetClock(&clock_);
  SetConsoleSink(&console_);
  std::vector<std::string> all = BaseOptions();
  all.insert(all.end(), options.begin(), options.end());
  bench_ = std::make_unique<Bench>(std::move(all));
  bench_->AttachClock(&clock_);
  int code = bench_->Start();
  if (code != 0) {
    ADD_FAILURE() << "bench did not start: " << bench_->Error();
    return false;
  }
  bench_->ExportStationEnvironment();
  if (!openUsb) return true;
  code = TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle_);
  if (code != 0) {
    ADD_FAILURE() << "USB open failed: " << code;
    return false;
  }
  return true;
}

std::vector<uint8_t> BenchTest::FlashBytes(uint32_t address, uint32_t length) {
  std::vector<uint8_t> bytes(length);
  std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
  Device().Flash().Read(address, bytes.data(), length);
  return bytes;
}

void BenchTest::TearDown() {
  if (handle_ > 0) TKM_Close(handle_);
  handle_ = 0;
  clock_.ClearSettleHooks();
  if (bench_) bench_->Stop();
  bench_.reset();
  SetConsoleSink(nullptr);
  SetClock(nullptr);
}
