// The station's COM port (the multimeter's line), mapped onto termios.
#pragma once
#include <cstddef>
#include <cstdint>

// The eight port names; only entry 0 is ever opened. Entry 0 is found on this
// platform through the environment variable TKTEST_COM1 (default /dev/ttyS0).
extern const wchar_t* const ComPortNames[8];

// Line settings, laid out like the serial line record the station always used.
struct PortSettings {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 9600;
  uint32_t fBinary = 1;
  uint32_t fParity = 0;
  uint32_t fOutxCtsFlow = 0;
  uint32_t fOutxDsrFlow = 0;
  uint32_t fDtrControl = 2;  // handshake
  uint32_t fDsrSensitivity = 0;
  uint32_t fTXContinueOnXoff = 0;
  uint32_t fOutX = 0;
  uint32_t fInX = 0;
  uint32_t fErrorChar = 0;
  uint32_t fNull = 0;
  uint32_t fRtsControl = 2;  // handshake
  uint32_t fAbortOnError = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // none
  uint8_t StopBits = 2;  // two stop bits
  char XonChar = 0, XoffChar = 0, ErrorChar = 0, EofChar = 0, EvtChar = 0;
};

constexpr uint8_t kTwoStopBits = 2;
constexpr uint32_t kHandshake = 2;

class Serial {
 public:
  explicit Serial(PortSettings settings);
  virtual ~Serial();
  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  // True only when the open itself failed (not after a refused configuration).
  bool IsOpenFailed() const { return handle_ == kInvalidHandle; }
  bool IsOpen() const { return handle_ >= 0; }
  // Writes count bytes (blocking, no time-out). The result is not used.
  void Write(const char* text, size_t count);
  // Returns at once with what has arrived, at most maxBytes (possibly 0);
  // -1 when the read failed or the port is not open.
  int ReadAvailable(char* buffer, int maxBytes);
  // Bytes waiting in the input queue.
  int QueuedInput();

 private:
  void Close();
  static constexpr int kInvalidHandle = -1;  // the open failed
  static constexpr int kClosedHandle = -2;   // closed again
  int handle_ = kInvalidHandle;
};
