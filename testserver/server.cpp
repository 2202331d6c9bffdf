// Test server protocol handling.
#include "testserver/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct Session {
  bool loggedIn = false;
  std::string station;              // eight hex digits
  uint64_t serial = 0;              // last serial number handed out here
  std::vector<uint64_t> ownerless;  // MACs handed out before any identifier
};

namespace {

bool ParseHex(const std::string& text, size_t digits, uint64_t* value) {
  if (text.size() != digits || digits == 0) return false;
  uint64_t result = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    result = result * 16 + static_cast<uint64_t>(digit);
  }
  *value = result;
  return true;
}

bool ParseNumber(const std::string& text, bool hex, uint64_t* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return text.size() - 2 <= 16 && ParseHex(text.substr(2), text.size() - 2, value);
  if (hex) return text.size() <= 16 && ParseHex(text, text.size(), value);
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *value = strtoull(text.c_str(), nullptr, 10);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string Status(int status) { return std::to_string(status) + "\r\n"; }

std::string ValueReply(uint64_t value, int digits) {
  char line[64];
  snprintf(line, sizeof(line), "200 0x%0*llX\r\n", digits, static_cast<unsigned long long>(value));
  return line;
}

void SendAll(int connection, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

bool ParseListen(const std::string& text, std::string* host, int* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  uint64_t value = 0;
  if (!ParseNumber(text.substr(colon + 1), false, &value) || value > 65535) return false;
  in_addr probe;
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &probe) != 1) return false;
  *host = text.substr(0, colon);
  *port = static_cast<int>(value);
  return true;
}

bool ParseRange(const std::string& text, bool hex, Range* range) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  Range parsed{};
  if (!ParseNumber(text.substr(0, dash), hex, &parsed.first) ||
      !ParseNumber(text.substr(dash + 1), hex, &parsed.last) || parsed.first == 0 ||
      parsed.first > parsed.last)
    return false;
  *range = parsed;
  return true;
}

bool ParseStation(const std::string& text, uint32_t* id, uint32_t* password) {
  size_t colon = text.find(':');
  uint64_t a = 0, b = 0;
  if (colon == std::string::npos || !ParseHex(text.substr(0, colon), 8, &a) ||
      !ParseHex(text.substr(colon + 1), 8, &b))
    return false;
  *id = static_cast<uint32_t>(a);
  *password = static_cast<uint32_t>(b);
  return true;
}

TestServer::TestServer(ServerOptions options) : options_(std::move(options)) {
  if (options_.stations.empty()) options_.stations[0x00001702] = 0x3C61E92F;
}

TestServer::~TestServer() { Stop(); }

int TestServer::Start(std::string* error) {
  if (store_.Open(options_.db) != 0) {
    *error = "cannot open database " + options_.db;
    return -1;
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.port));
  inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 64) != 0) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " + strerror(errno);
    close(listener_);
    listener_ = -1;
    return -1;
  }
  socklen_t length = sizeof(address);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return 0;
}

void TestServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
  std::unique_lock<std::mutex> lock(mutex_);
  for (int connection : connections_) shutdown(connection, SHUT_RDWR);
  idle_.wait(lock, [this] { return active_ == 0; });
}

void TestServer::AcceptLoop() {
  while (!stopping_) {
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      if (stopping_) return;
      if (errno == EMFILE || errno == ENFILE) usleep(10000);
      continue;
    }
    int one = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(connection);
      return;
    }
    connections_.insert(connection);
    ++active_;
    std::thread([this, connection] { Serve(connection); }).detach();
  }
}

void TestServer::Serve(int connection) {
  Session session;
  std::string pending;
  bool discarding = false;  // inside a line that was already refused as too long
  char buffer[8192];
  bool open = true;
  while (open) {
    ssize_t got = recv(connection, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    for (;;) {
      size_t end = pending.find('\n');
      if (end == std::string::npos) {
        if (!discarding && pending.size() > kMaxLineLength) {
          SendAll(connection, Status(kStatusTooLong));
          discarding = true;
        }
        if (discarding) pending.clear();
        break;
      }
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (discarding) {
        discarding = false;  // the end of the refused line
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > kMaxLineLength) {
        SendAll(connection, Status(kStatusTooLong));
        continue;
      }
      std::string reply = Handle(line, &session);
      SendAll(connection, reply);
      // A refused login: nothing else is served on this connection.
      if (reply == Status(kStatusLoginRefused)) {
        open = false;
        break;
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(connection);
  close(connection);
  --active_;
  idle_.notify_all();
}

std::string TestServer::Handle(const std::string& line, Session* session) {
  std::vector<std::string> words = Split(line, ' ');
  const std::string& word = words[0];
  if (word == "ID") {
    if (session->loggedIn) return Status(kStatusMalformed);
    // "ID <program> <version> TKTJ:XXXXXXXX PW:XXXXXXXX"
    uint64_t id = 0, password = 0;
    bool parsed = words.size() == 5 && words[3].rfind("TKTJ:", 0) == 0 && words[4].rfind("PW:", 0) == 0 &&
                  ParseHex(words[3].substr(5), 8, &id) && ParseHex(words[4].substr(3), 8, &password);
    auto known = parsed ? options_.stations.find(static_cast<uint32_t>(id)) : options_.stations.end();
    if (known == options_.stations.end() || known->second != password) return Status(kStatusLoginRefused);
    session->loggedIn = true;
    session->station = words[3].substr(5);
    return Status(kStatusOk);
  }
  bool known = word == "serial" || word == "mac" || word == "test" || word == "qtest" || word == "cal";
  if (!known) return Status(kStatusUnknown);
  if (!session->loggedIn) return Status(kStatusNotLoggedIn);
  if (word == "serial" || word == "mac") {
    if (words.size() != 1) return Status(kStatusMalformed);
    uint64_t value = 0;
    int status;
    if (word == "serial") {
      status = store_.AllocateSerial(options_.serials, session->station, &value);
      if (status == kStatusOk) session->serial = value;  // a serial number is its own identifier
    } else {
      status = store_.AllocateMac(options_.macs, session->station, session->serial, &value);
      if (status == kStatusOk && session->serial == 0) session->ownerless.push_back(value);
    }
    return status == kStatusOk ? ValueReply(value, word == "mac" ? 12 : 8) : Status(status);
  }
  // "<kind> 0x<16 hex> {texts}"
  size_t open = line.find(" {");
  uint64_t device = 0;
  if (words.size() < 2 || open == std::string::npos || line.back() != '}' ||
      words[1].size() != 18 || words[1].compare(0, 2, "0x") != 0 || !ParseHex(words[1].substr(2), 16, &device) ||
      open != word.size() + 19)
    return Status(kStatusMalformed);
  std::string body = line.substr(open + 2, line.size() - open - 3);
  if (!session->ownerless.empty()) {
    if (store_.AssignMacs(session->ownerless, device) != kStatusOk) return Status(kStatusStorage);
    session->ownerless.clear();
  }
  int status = word == "cal" ? store_.StoreCalPoints(device, session->station, Split(body, ';'))
                             : store_.StoreResults(word, device, session->station, body);
  return Status(status);
}
