#include "instruments/meter.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

const char* const kRangeLines[4] = {
    ":CONF:VOLT:DC 1.00E+1,1.00E-5;:VOLT:DC:NPLC 100.00;:DET:BAND 3;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
    ":CONF:VOLT:DC 1.00E+0,1.00E-6;:VOLT:DC:NPLC 100.00;:DET:BAND 3;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
    ":CONF:VOLT:DC 1.00E-1,1.00E-7;:VOLT:DC:NPLC 100.00;:DET:BAND 3;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
    ":CONF:VOLT:DC 1.00E-1,1.00E-7;:VOLT:DC:NPLC 100.00;:DET:BAND 3;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
};

}  // namespace

void Meter::Send(const char* text) { port->Write(text, std::strlen(text)); }

void Meter::ReadText(char* buffer, int capacity) {
  int n = port->ReadAvailable(buffer, capacity - 1);
  if (n >= 0) buffer[n] = '\0';  // a failed read leaves the text as it was
}

int Meter::Connect() {
  if (port) return 0;
  PortSettings settings;  // 9600 8N2, DTR/RTS input handshake, binary
  port = std::make_unique<Serial>(settings);
  if (port->IsOpenFailed()) return kMeterPortFailed;
  for (int attempt = 1;; ++attempt) {
    Send("SYST:LOC\n");
    SleepMs(500);
    Send("SYST:REM\n");
    SleepMs(200);
    Send("*RST\n");
    SleepMs(400);
    Send("*CLS\n");
    SleepMs(500);
    Send("*IDN?\n");
    SleepMs(500);
    ReadText(identity, sizeof identity);
    Send("CAL:STR?\n");
    SleepMs(500);
    ReadText(calString, sizeof calString);
    if (attempt >= 3 || std::strlen(identity) >= 10) break;
  }
  samplesPerRead = 1;
  configured = false;
  return std::strlen(identity) < 10 ? kMeterNotFound : 0;
}

void Meter::ConfigureRange(int index) {
  if (!port || port->IsOpenFailed()) return;
  // Indexes outside 0..3 have no line; nothing is sent for them.
  if (index < 0 || index > 3) return;
  Send(kRangeLines[index]);
  configured = true;
}

void Meter::SetNumSamples(int count) {
  if (!port || port->IsOpenFailed()) return;
  if (!configured) {
    ConsolePrint("Must config before setting number of samples");
    ExitProgram(1);
  }
  if (count > kMeterMaxSamples) {
    ConsolePrint("From SetNumSamples: Meter class only built to handle %d samples at a time.\r\n",
                 kMeterMaxSamples);
    count = kMeterMaxSamples;
  }
  // A count below 1 would make a reading complete on an empty queue.
  if (count < 1) count = 1;
  samplesPerRead = count;
  char line[64];
  FormatText(line, sizeof line, "Trig:Count %d\n", count);
  Send(line);
}

void Meter::StartReading() {
  readStartTime = NowSeconds();
  lastStored = 0;
  lastTimedOut = false;
  if (!port || port->IsOpenFailed()) return;
  Send("READ?\n");
  port->ReadAvailable(rxBuffer, sizeof rxBuffer - 1);  // drop stale bytes
  std::memset(rxBuffer, 0, sizeof rxBuffer);
  rxCount = 0;
}

void Meter::ReadSamples(double* values, bool& done) {
  bool overTime = NowSeconds() - readStartTime > kMeterReadLimitSeconds;
  if (overTime) {
    done = true;
    lastTimedOut = true;
  }
  if (!port) return;
  if (port->QueuedInput() < samplesPerRead * kMeterFieldBytes) return;
  if (port->IsOpenFailed()) return;
  int request = (samplesPerRead - rxCount / kMeterFieldBytes) * kMeterFieldBytes + 2;
  int room = static_cast<int>(sizeof rxBuffer) - rxCount;
  if (request > room) request = room;
  int got = port->ReadAvailable(rxBuffer + rxCount, request - 1);
  if (got < 0) got = 0;
  rxBuffer[rxCount + got] = '\0';
  int available = (rxCount + got) / kMeterFieldBytes;
  for (int i = 0; i < available; ++i) {
    char scratch[20];
    std::memcpy(scratch, rxBuffer + kMeterFieldBytes * i, 15);
    scratch[15] = '\0';
    values[i] = std::strtod(scratch, nullptr);
  }
  lastStored = available;
  if (available > 0) lastTimedOut = false;
  rxCount = got;
  done = true;
}

int Meter::TakeReading(double* values) {
  for (int i = 0; i < samplesPerRead; ++i) values[i] = std::nan("");
  StartReading();
  bool done = false;
  for (;;) {
    ReadSamples(values, done);
    if (done) break;
    // One tick between polls: the station does not spin a core, and a virtual
    // clock moves so that the time limit is reached.
    SleepMs(1);
  }
  return lastStored;
}

void Meter::Disconnect() {
  if (!port || port->IsOpenFailed()) return;
  Send("SYST:LOC\n");
  port.reset();
}
