// Console output, bounded text formatting and the final key press.
#pragma once
#include <cstddef>

// Formatted print to standard output (printf directives). Every console
// output of the station goes through here so that tests can capture it.
void ConsolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats into buffer[capacity]. The result is always terminated and holds at
// most capacity-1 characters (longer output is cut). Returns the number of
// characters written, or -1 on a formatting error or a zero capacity.
int FormatText(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Bounded copy and append: dst has room for capacity bytes, terminator
// included; the result is always terminated. They return the new length.
size_t CopyText(char* dst, size_t capacity, const char* src);
size_t AppendText(char* dst, size_t capacity, const char* src);

// Receives everything ConsolePrint writes instead of standard output
// (tests install one; null restores standard output).
class ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  virtual void Write(const char* text, size_t length) = 0;
};
void SetConsoleSink(ConsoleSink* sink);

// Moves and sizes the terminal window (xterm sequences), only when standard
// output is a terminal.
void PlaceConsoleWindow(int x, int y, int width, int height);

// Reads one character from standard input; end of input counts as the key.
// Returns the character, or -1 at end of input.
int ReadFinalKey();

// Ends the program with the given exit code after flushing the console.
[[noreturn]] void ExitProgram(int code);
