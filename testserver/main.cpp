// tktest-server: serve stations, list devices, show one device.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "testserver/server.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: tktest-server serve [--listen HOST:PORT] [--db FILE] [--station ID:PASSWORD ...]\n"
          "                           [--serials FIRST-LAST] [--macs FIRST-LAST]\n"
          "       tktest-server devices [--db FILE] [--json]\n"
          "       tktest-server show ID [--db FILE] [--json]\n");
  return 2;
}

std::string Hex(uint64_t value, int digits) {
  char text[32];
  snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int Serve(ServerOptions options) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread inherits the mask
  TestServer server(options);
  std::string error;
  if (server.Start(&error) != 0) {
    fprintf(stderr, "tktest-server: %s\n", error.c_str());
    return 1;
  }
  printf("tktest-server listening on %s:%d\n", options.host.c_str(), server.port());
  fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  fprintf(stderr, "tktest-server: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  ServerOptions options;
  bool json = false;
  std::string showId;
  int i = 2;
  if (command == "show") {
    if (argc < 3) return Usage();
    showId = argv[2];
    i = 3;
  }
  for (; i < argc; ++i) {
    std::string option = argv[i];
    bool hasValue = i + 1 < argc;
    if (option == "--db" && hasValue) {
      options.db = argv[++i];
    } else if (option == "--json") {
      json = true;
    } else if (command == "serve" && option == "--listen" && hasValue) {
      if (!ParseListen(argv[++i], &options.host, &options.port)) return Usage();
    } else if (command == "serve" && option == "--station" && hasValue) {
      uint32_t id = 0, password = 0;
      if (!ParseStation(argv[++i], &id, &password)) return Usage();
      options.stations[id] = password;
    } else if (command == "serve" && option == "--serials" && hasValue) {
      if (!ParseRange(argv[++i], false, &options.serials)) return Usage();
    } else if (command == "serve" && option == "--macs" && hasValue) {
      if (!ParseRange(argv[++i], true, &options.macs) || options.macs.last > 0xFFFFFFFFFFFFull) return Usage();
    } else {
      return Usage();
    }
  }
  if (command == "serve") return Serve(options);
  if (command != "devices" && command != "show") return Usage();
  FILE* probe = fopen(options.db.c_str(), "rb");
  if (probe == nullptr) {
    fprintf(stderr, "tktest-server: no database %s\n", options.db.c_str());
    return 1;
  }
  fclose(probe);
  Store store;
  if (store.Open(options.db) != 0) {
    fprintf(stderr, "tktest-server: cannot open database %s\n", options.db.c_str());
    return 1;
  }
  if (command == "devices") {
    std::vector<uint64_t> devices = store.Devices();
    if (json) printf("[");
    for (size_t k = 0; k < devices.size(); ++k) {
      DeviceInfo info;
      store.Device(devices[k], &info);
      std::string mac = info.macs.empty() ? "" : Hex(info.macs.back(), 12);
      if (json)
        printf("%s{\"id\":\"0x%s\",\"serial\":%llu,\"mac\":%s,\"results\":%zu,\"calPoints\":%zu}", k ? "," : "",
               Hex(info.id, 16).c_str(), static_cast<unsigned long long>(info.serial),
               mac.empty() ? "null" : JsonText(mac).c_str(), info.results.size(), info.calPoints.size());
      else
        printf("0x%s serial %llu mac %s results %zu cal %zu\n", Hex(info.id, 16).c_str(),
               static_cast<unsigned long long>(info.serial), mac.empty() ? "-" : mac.c_str(), info.results.size(),
               info.calPoints.size());
    }
    if (json) printf("]\n");
    return 0;
  }
  Range parsed{};
  if (!ParseRange(showId + "-" + showId, false, &parsed)) return Usage();
  DeviceInfo info;
  if (!store.Device(parsed.first, &info)) {
    fprintf(stderr, "tktest-server: unknown device %s\n", showId.c_str());
    return 1;
  }
  if (json) {
    printf("{\"id\":\"0x%s\",\"serial\":%llu,\"macs\":[", Hex(info.id, 16).c_str(),
           static_cast<unsigned long long>(info.serial));
    for (size_t k = 0; k < info.macs.size(); ++k) printf("%s\"%s\"", k ? "," : "", Hex(info.macs[k], 12).c_str());
    printf("],\"results\":[");
    for (size_t k = 0; k < info.results.size(); ++k) printf("%s%s", k ? "," : "", JsonText(info.results[k]).c_str());
    printf("],\"calPoints\":[");
    for (size_t k = 0; k < info.calPoints.size(); ++k)
      printf("%s%s", k ? "," : "", JsonText(info.calPoints[k]).c_str());
    printf("]}\n");
  } else {
    printf("device 0x%s\nserial %llu\n", Hex(info.id, 16).c_str(), static_cast<unsigned long long>(info.serial));
    for (uint64_t mac : info.macs) printf("mac %s\n", Hex(mac, 12).c_str());
    for (const std::string& result : info.results) printf("result %s\n", result.c_str());
    for (const std::string& point : info.calPoints) printf("cal %s\n", point.c_str());
  }
  return 0;
}
