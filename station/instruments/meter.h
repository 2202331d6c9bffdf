// Driver of the bench multimeter (SCPI over the COM port).
#pragma once
#include <cstdint>
#include <memory>

#include "instruments/serial_port.h"

constexpr int kMeterNotFound = 10000;
constexpr int kMeterPortFailed = 10001;
constexpr int kMeterMaxSamples = 64;
constexpr int kMeterFieldBytes = 16;
constexpr int kMeterReadLimitSeconds = 20;

class Meter {
 public:
  Meter() = default;
  // 0 when an instrument answered, 10001 when the port could not be opened,
  // 10000 when no identification came back.
  int Connect();
  void ConfigureRange(int index);
  void SetNumSamples(int count);
  // Triggers one reading into values[0 .. samplesPerRead-1]. Those entries are
  // set to NaN first, so a reading that timed out leaves no stale values.
  // Returns the number of values stored (0 after a time-out).
  int TakeReading(double* values);
  void StartReading();
  void ReadSamples(double* values, bool& done);
  void Disconnect();

  const char* Identity() const { return identity; }
  const char* CalString() const { return calString; }
  int SamplesPerRead() const { return samplesPerRead; }
  // True when the last reading ended on the time limit with nothing stored.
  bool LastReadingTimedOut() const { return lastTimedOut; }

 private:
  void Send(const char* text);
  void ReadText(char* buffer, int capacity);

  std::unique_ptr<Serial> port;
  int64_t readStartTime = 0;
  int32_t samplesPerRead = 1;
  char identity[200] = {};
  char calString[200] = {};
  char rxBuffer[2048] = {};
  int32_t rxCount = 0;
  bool configured = false;
  int lastStored = 0;
  bool lastTimedOut = false;
};
