// Test server link: connect and log in, request lines, reply parser.
#include "server/test_server_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/sockets.h"

namespace {

// Server address from TKTEST_SERVER ("HOST:PORT", dotted IPv4), default
// 127.0.0.1:5001. Returns false for a text that is not such an address.
bool ServerAddress(sockaddr_in* address) {
  const char* text = getenv("TKTEST_SERVER");
  if (text == nullptr || text[0] == 0) text = "127.0.0.1:5001";
  char host[64];
  const char* colon = strrchr(text, ':');
  long port = 5001;
  if (colon != nullptr) {
    size_t hostLength = static_cast<size_t>(colon - text);
    if (hostLength >= sizeof(host)) return false;
    memcpy(host, text, hostLength);
    host[hostLength] = 0;
    char* end = nullptr;
    port = strtol(colon + 1, &end, 10);
    if (end == colon + 1 || *end != 0 || port <= 0 || port > 65535) return false;
  } else {
    CopyText(host, sizeof(host), text);
  }
  memset(address, 0, sizeof(*address));
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, host, &address->sin_addr) == 1;
}

int ReplyTimeoutMs() {
  const char* text = getenv("TKTEST_SERVER_TIMEOUT_MS");
  if (text != nullptr) {
    long value = strtol(text, nullptr, 10);
    if (value > 0 && value < 3600000) return static_cast<int>(value);
  }
  return kDefaultReplyTimeoutMs;
}

int MapStatus(uint64_t slot0) {
  int32_t status = static_cast<int32_t>(slot0 & 0xFFFFFFFFu);
  if (status == 200) return 0;
  if (status == 0) return kLinkNoStatus;
  return status;
}

// Appends the identifier as 16 lowercase hex digits, most significant byte first.
bool AppendId(char* buffer, size_t capacity, uint64_t id) {
  char digits[3];
  for (int shift = 56; shift >= 0; shift -= 8) {
    FormatText(digits, sizeof(digits), "%02x", static_cast<unsigned>((id >> shift) & 0xFF));
    if (AppendText(buffer, capacity, digits) != strlen(buffer)) return false;
  }
  return true;
}

// Bounded append that reports whether the whole piece fitted.
bool Put(char* buffer, size_t capacity, const char* piece) {
  size_t before = strlen(buffer);
  size_t pieceLength = strlen(piece);
  if (before + pieceLength + 1 > capacity) return false;
  AppendText(buffer, capacity, piece);
  return true;
}

}  // namespace

int ParseHexToken(const char* text, uint64_t* value) {
  int position = 0;
  while (text[position] == ' ' || text[position] == '\t') ++position;
  if (text[position] != 0 && (text[position + 1] == 'x' || text[position + 1] == 'X')) position += 2;
  uint64_t result = 0;
  for (char c = text[position]; c != 0 && c != ' ' && c != '\r' && c != '\n'; c = text[++position]) {
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    result = result * 16 + digit;
  }
  *value = result;
  return position;
}

void ParseReplyLine(const char* data, size_t length, ServerReply reply) {
  memset(reply, 0, sizeof(ServerReply));
  size_t position = 0;
  int token = 0;
  while (position < length && token < 10) {
    char c = data[position];
    if (c == '\r' || c == '\n') break;
    if (token == 0) {
      reply[0] = static_cast<uint32_t>(atoi(data + position));
      position += 3;
    } else {
      uint64_t value = 0;
      position += static_cast<size_t>(ParseHexToken(data + position, &value));
      reply[token] = value;
    }
    ++token;
  }
}

TestServerLink::~TestServerLink() { DropSocket(); }

void TestServerLink::DropSocket() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

int TestServerLink::Connect(ServerLogin login) {
  int major = 0, minor = 0;
  if (SocketStartup(&major, &minor) != 0) return kLinkStartupFailed;
  if (major != 2 || minor != 2) return kLinkBadVersion;
  DropSocket();  // a second Connect must not leak the first socket
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socket_ < 0) {
    int code = errno;
    socket_ = -1;
    return code;
  }
  // No request waits for ever on a silent server.
  int timeoutMs = ReplyTimeoutMs();
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  int one = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in address;
  // The unconnected socket stays in the link; the next receive fails on it.
  if (!ServerAddress(&address)) return kLinkNoSocket;
  if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return kLinkNoSocket;

  char line[500] = {};
  char piece[64];
  AppendText(line, sizeof(line), "ID ");
  AppendText(line, sizeof(line), login.programName != nullptr ? login.programName : "");
  AppendText(line, sizeof(line), " ");
  FormatText(piece, sizeof(piece), "%.02f", login.programVersion);
  AppendText(line, sizeof(line), piece);
  AppendText(line, sizeof(line), " TKTJ:");
  FormatText(piece, sizeof(piece), "%08X", static_cast<unsigned>(login.stationId));
  AppendText(line, sizeof(line), piece);
  AppendText(line, sizeof(line), " PW:");
  FormatText(piece, sizeof(piece), "%08X\r\n", static_cast<unsigned>(login.password));
  AppendText(line, sizeof(line), piece);
  ServerReply reply;
  int code = Exchange(line, strlen(line), reply);
  if (code != 0) {
    DropSocket();
    return code;
  }
  code = MapStatus(reply[0]);
  // A refused login leaves nothing to talk to; the server serves no more on it.
  if (code != 0) DropSocket();
  return code;
}

int TestServerLink::Exchange(const char* line, size_t length, ServerReply reply) {
  if (socket_ >= 0) send(socket_, line, length, MSG_NOSIGNAL);
  return ReadReply(reply);
}

int TestServerLink::ReadReply(ServerReply reply) {
  if (socket_ < 0) return kLinkNoSocket;
  memset(reply, 0, sizeof(ServerReply));
  // Read up to the line end (a reply may arrive in several segments), within
  // 499 bytes.
  char data[500];
  size_t length = 0;
  for (;;) {
    ssize_t got = recv(socket_, data + length, 499 - length, 0);
    if (got <= 0) {
      int code = got == 0 ? 0 : errno;
      if (got < 0 && (code == EAGAIN || code == EWOULDBLOCK)) code = kLinkTimeout;
      if (got == 0 && length > 0) break;  // closed after a partial line: parse it
      DropSocket();
      return code;
    }
    length += static_cast<size_t>(got);
    if (memchr(data, '\r', length) != nullptr || memchr(data, '\n', length) != nullptr) break;
    if (length >= 499) {
      // Not a reply of this protocol; the rest of it would be taken for the
      // next reply, so the link gives the connection up.
      DropSocket();
      return kLinkReplyTooLong;
    }
  }
  data[length] = 0;
  ParseReplyLine(data, length, reply);
  return 0;
}

int TestServerLink::RequestSerialNumber(uint64_t* serialNumber) {
  static const char kLine[] = "serial\r\n";
  ServerReply reply;
  int code = Exchange(kLine, sizeof(kLine) - 1, reply);
  if (code != 0) return code;
  code = MapStatus(reply[0]);
  if (code == 0) *serialNumber = reply[1];
  return code;
}

int TestServerLink::RequestMac(uint64_t* mac) {
  static const char kLine[] = "mac\r\n";
  ServerReply reply;
  int code = Exchange(kLine, sizeof(kLine) - 1, reply);
  if (code != 0) return code;
  code = MapStatus(reply[0]);
  if (code == 0) *mac = reply[1];
  return code;
}

// A line whose texts do not fit its buffer is refused with kLinkLineTooLong
// before anything is sent: a cut result line must never reach the server
// looking complete.
int TestServerLink::SendResults(const char* prefix, const char* const* texts, int count,
                                uint64_t deviceId, char* buffer, size_t capacity, bool printLength) {
  memset(buffer, 0, capacity);
  bool fits = Put(buffer, capacity, prefix) && AppendId(buffer, capacity, deviceId) &&
              Put(buffer, capacity, " {");
  for (int i = 0; fits && i < count; ++i) {
    if (i > 0) fits = Put(buffer, capacity, ";");
    if (fits) fits = Put(buffer, capacity, texts[i] != nullptr ? texts[i] : "");
  }
  if (fits) fits = Put(buffer, capacity, "}\r\n");
  if (!fits) return kLinkLineTooLong;
  size_t length = strlen(buffer);
  if (printLength) ConsolePrint("TX length: %i\r\n", static_cast<int>(length));
  ServerReply reply;
  int code = Exchange(buffer, length, reply);
  if (code != 0) return code;
  return MapStatus(reply[0]);
}

int TestServerLink::SendTestResults(const char* const* texts, int count, uint64_t deviceId) {
  static char buffer[16000];  // one thread; kept off the stack
  return SendResults("test 0x", texts, count, deviceId, buffer, sizeof(buffer), true);
}

int TestServerLink::SendQuickTestResults(const char* const* texts, int count, uint64_t deviceId) {
  char buffer[4096];
  return SendResults("qtest 0x", texts, count, deviceId, buffer, sizeof(buffer), false);
}

int TestServerLink::SendCalPoints(CalPoint* points, uint64_t deviceId) {
  char buffer[4096];
  memset(buffer, 0, sizeof(buffer));
  bool fits = Put(buffer, sizeof(buffer), "cal 0x") && AppendId(buffer, sizeof(buffer), deviceId) &&
              Put(buffer, sizeof(buffer), " {");
  // Every name is cut at its first CR or LF (in the caller's text) even when
  // the line then does not fit, so the caller sees the same names either way.
  for (int i = 0; i < kCalPointCount; ++i) {
    char* name = points[i].name;
    if (name == nullptr) continue;
    name[strcspn(name, "\r\n")] = 0;
  }
  for (int i = 0; fits && i < kCalPointCount; ++i) {
    const char* name = points[i].name != nullptr ? points[i].name : "";
    fits = Put(buffer, sizeof(buffer), name);
    if (fits && strchr(name, ':') == nullptr) {
      char value[400];  // room for any double in %.09f
      FormatText(value, sizeof(value), ":%.09f", points[i].value);
      fits = Put(buffer, sizeof(buffer), value);
    }
    if (fits && i < kCalPointCount - 1) fits = Put(buffer, sizeof(buffer), ";");
  }
  if (fits) fits = Put(buffer, sizeof(buffer), "}\r\n");
  if (!fits) return kLinkLineTooLong;
  ServerReply reply;
  int code = Exchange(buffer, strlen(buffer), reply);
  if (code != 0) return code;
  return MapStatus(reply[0]);
}
