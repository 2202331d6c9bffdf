// Client side of the test server's line protocol: one request line, one reply
// line, over TCP.
#pragma once
#include <cstddef>
#include <cstdint>

struct ServerLogin {
  const char* programName;
  double programVersion;
  uint32_t stationId;
  uint32_t password;
};

// Slot 0: status (signed 32-bit in the low half); slots 1 to 9: values.
using ServerReply = uint64_t[10];

struct CalPoint {
  char* name;  // writable text owned by the caller
  double value;
};

constexpr int kCalPointCount = 43;

// Codes of the link besides the server's statuses and socket error codes.
constexpr int kLinkBadVersion = 1;     // socket layer granted another version
constexpr int kLinkStartupFailed = 2;  // socket layer start-up failed
constexpr int kLinkNoSocket = 3;       // connect failed, or the link has no socket
constexpr int kLinkNoStatus = 10;      // the reply carried no status
// Codes of our own (the server's statuses are three digits, socket error
// codes are errno values, so these do not collide with 200..999):
constexpr int kLinkLineTooLong = 11;   // request texts do not fit the line buffer; nothing sent
constexpr int kLinkTimeout = 12;       // no complete reply within the receive time-out
constexpr int kLinkReplyTooLong = 13;  // no line end within 499 bytes of reply

// Default receive time-out; TKTEST_SERVER_TIMEOUT_MS overrides it.
constexpr int kDefaultReplyTimeoutMs = 30000;

// Reads one hexadecimal value at text (terminated): blanks/tabs, an optional
// two-character "0x"-style prefix, then digits up to a blank, CR, LF or the
// end. Stores the value (wrapping at 64 bits) and returns the characters used.
int ParseHexToken(const char* text, uint64_t* value);

// Parses one received reply (terminated at data[length]) into reply.
void ParseReplyLine(const char* data, size_t length, ServerReply reply);

class TestServerLink {
 public:
  TestServerLink() = default;
  ~TestServerLink();
  TestServerLink(const TestServerLink&) = delete;
  TestServerLink& operator=(const TestServerLink&) = delete;

  int Connect(ServerLogin login);
  int RequestSerialNumber(uint64_t* serialNumber);
  int RequestMac(uint64_t* mac);
  int SendTestResults(const char* const* texts, int count, uint64_t deviceId);
  int SendQuickTestResults(const char* const* texts, int count, uint64_t deviceId);
  int SendCalPoints(CalPoint* points, uint64_t deviceId);
  int ReadReply(ServerReply reply);

  bool HasSocket() const { return socket_ >= 0; }

 private:
  int Exchange(const char* line, size_t length, ServerReply reply);
  int SendResults(const char* prefix, const char* const* texts, int count, uint64_t deviceId,
                  char* buffer, size_t capacity, bool printLength);
  void DropSocket();

  int socket_ = -1;
};
