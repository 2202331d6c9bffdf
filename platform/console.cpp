#include "platform/console.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<ConsoleSink*> g_sink{nullptr};
}

void SetConsoleSink(ConsoleSink* sink) { g_sink.store(sink); }

void ConsolePrint(const char* format, ...) {
  char stackBuffer[1024];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  const char* text = stackBuffer;
  char* heapBuffer = nullptr;
  if (static_cast<size_t>(needed) >= sizeof stackBuffer) {
    heapBuffer = static_cast<char*>(malloc(static_cast<size_t>(needed) + 1));
    if (heapBuffer != nullptr) {
      vsnprintf(heapBuffer, static_cast<size_t>(needed) + 1, format, copy);
      text = heapBuffer;
    } else {
      needed = sizeof stackBuffer - 1;
    }
  }
  va_end(copy);
  ConsoleSink* sink = g_sink.load();
  if (sink != nullptr) {
    sink->Write(text, static_cast<size_t>(needed));
  } else {
    fwrite(text, 1, static_cast<size_t>(needed), stdout);
    fflush(stdout);
  }
  free(heapBuffer);
}

int FormatText(char* buffer, size_t capacity, const char* format, ...) {
  if (buffer == nullptr || capacity == 0) return -1;
  va_list args;
  va_start(args, format);
  int needed = vsnprintf(buffer, capacity, format, args);
  va_end(args);
  if (needed < 0) {
    buffer[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(needed) >= capacity) return static_cast<int>(capacity - 1);
  return needed;
}

size_t CopyText(char* dst, size_t capacity, const char* src) {
  if (dst == nullptr || capacity == 0) return 0;
  dst[0] = '\0';
  return AppendText(dst, capacity, src);
}

size_t AppendText(char* dst, size_t capacity, const char* src) {
  if (dst == nullptr || capacity == 0) return 0;
  size_t length = strnlen(dst, capacity);
  if (length >= capacity) {  // not terminated within the bound: cut it
    dst[capacity - 1] = '\0';
    return capacity - 1;
  }
  if (src == nullptr) return length;
  while (*src != '\0' && length + 1 < capacity) dst[length++] = *src++;
  dst[length] = '\0';
  return length;
}

void PlaceConsoleWindow(int x, int y, int width, int height) {
  if (!isatty(STDOUT_FILENO)) return;
  ConsolePrint("\x1b[3;%d;%dt\x1b[4;%d;%dt", x, y, height, width);
}

int ReadFinalKey() {
  char key = 0;
  if (scanf("%c", &key) != 1) return -1;
  return static_cast<unsigned char>(key);
}

void ExitProgram(int code) {
  fflush(stdout);
  std::exit(code);
}
