#include "instruments/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/console.h"

const wchar_t* const ComPortNames[8] = {L"COM1",  L"COM2:", L"COM3:", L"COM4:",
                                        L"COM5:", L"COM6:", L"COM7:", L"COM8:"};

namespace {

const char* Com1Path() {
  const char* path = std::getenv("TKTEST_COM1");
  return (path != nullptr && path[0] != '\0') ? path : "/dev/ttyS0";
}

speed_t SpeedFor(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
  }
}

}  // namespace

Serial::Serial(PortSettings settings) {
  // Non-blocking open so that a line without carrier does not hold us. The
  // descriptor stays non-blocking: with the hardware handshake a port whose
  // CTS never rises (no meter plugged in) would block a write for ever, so
  // Write waits a bounded time for room instead.
  int fd = open(Com1Path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int error = errno;
  if (fd >= 0) {
    // Exclusive use: TIOCEXCL keeps other non-root openers out; root passes
    // TIOCEXCL, so the advisory lock is what refuses a second station.
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = EBUSY;
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    char name[100];
    size_t n = 0;
    for (const wchar_t* w = ComPortNames[0]; *w != L'\0' && n + 1 < sizeof name; ++w)
      name[n++] = (*w < 0x80) ? static_cast<char>(*w) : '?';
    name[n] = '\0';
    AppendText(name, sizeof name, " (char *)");
    ConsolePrint("ERROR: Could not open ");
    ConsolePrint("%s", name);
    ConsolePrint(", %i\r\n", error);
    handle_ = kInvalidHandle;
    return;
  }
  handle_ = fd;

  // Reads return at once with what has arrived (VMIN 0, VTIME 0).
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    Close();
    ConsolePrint("ERROR: Could not set com port time-outs");
    return;
  }
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    Close();
    ConsolePrint("ERROR: Could not set com port time-outs");
    return;
  }

  // Binary line: no echo, no line editing, no character translation.
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag &= ~CSIZE;
  tio.c_cflag |= (settings.ByteSize == 7) ? CS7 : CS8;
  if (settings.Parity == 0) tio.c_cflag &= ~PARENB;
  if (settings.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
  else tio.c_cflag &= ~CSTOPB;
  // Hardware input handshake (RTS); termios ties it to CTS.
  if (settings.fRtsControl == kHandshake) tio.c_cflag |= CRTSCTS;
  else tio.c_cflag &= ~CRTSCTS;
  speed_t speed = SpeedFor(settings.BaudRate);
  if (speed == B0 || cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
      tcsetattr(fd, TCSANOW, &tio) != 0) {
    Close();
    ConsolePrint("ERROR: Could not set com port parameters");
    return;
  }
}

Serial::~Serial() { Close(); }

void Serial::Close() {
  if (handle_ >= 0) {
    ioctl(handle_, TIOCNXCL);
    close(handle_);  // releases the lock too
    handle_ = kClosedHandle;
  }
}

void Serial::Write(const char* text, size_t count) {
  if (handle_ < 0) return;
  size_t done = 0;
  while (done < count) {
    ssize_t n = write(handle_, text + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Output held back (handshake or full queue): wait up to 2 s for room,
      // then drop the rest; callers do not look at write results.
      pollfd p{handle_, POLLOUT, 0};
      if (poll(&p, 1, 2000) > 0) continue;
      return;
    }
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int Serial::ReadAvailable(char* buffer, int maxBytes) {
  if (handle_ < 0 || maxBytes <= 0) return -1;
  ssize_t n = read(handle_, buffer, static_cast<size_t>(maxBytes));
  return n >= 0 ? static_cast<int>(n) : -1;
}

int Serial::QueuedInput() {
  if (handle_ < 0) return 0;
  int queued = 0;
  if (ioctl(handle_, FIONREAD, &queued) != 0) return 0;
  return queued;
}
