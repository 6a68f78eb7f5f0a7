// POSIX bodies of the question to the person at the terminal: asked on standard
// error, answered on standard input, both one terminal, in the terminal's own line
// mode (the keyboard watch of the listing has given it back by then).
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/console_text.h"
#include "platform/platform.h"

namespace {
// How often the wait for the answer looks for Ctrl-C: its signal may reach another
// thread, and leave this one's wait unbroken.
constexpr int interruptLookMs = 100;

void writeToError(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// One byte of the answer: 1 when read into byte, 0 at the end of the input or on
// an error, -1 once an interruption was requested.
int readAnswerByte(unsigned char* byte) {
  for (;;) {
    if (interruptRequested()) return -1;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, interruptLookMs);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready <= 0) continue;
    ssize_t got = read(STDIN_FILENO, byte, 1);
    if (got == 1) return 1;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return 0;
  }
}
}  // namespace

int personAtTerminal() {
  struct stat input, error;
  return isatty(STDIN_FILENO) && isatty(STDERR_FILENO) && fstat(STDIN_FILENO, &input) == 0 &&
         fstat(STDERR_FILENO, &error) == 0 && input.st_rdev == error.st_rdev;
}

int askOnTerminal(char* answer, size_t size, const char* format, ...) {
  std::string question;
  va_list arguments;
  va_start(arguments, format);
  int formed = formatForTerminal(&question, format, arguments);
  va_end(arguments);
  if (size > 0) answer[0] = '\0';
  if (formed < 0 || size == 0) return answerNone;
  // The lines printed before come first; the console is held, and the status line
  // away, until the answer is in.
  fflush(stdout);
  beginConsoleLine(stderr);
  // A key pressed before the question was seen answers nothing.
  tcflush(STDIN_FILENO, TCIFLUSH);
  writeToError(question.data(), question.size());
  int result = answerNone;
  size_t used = 0;
  unsigned char byte;
  for (int got = readAnswerByte(&byte); got != 0; got = readAnswerByte(&byte)) {
    if (got < 0) {
      result = answerInterrupted;
      break;
    }
    if (byte == '\n') {
      result = answerGiven;
      break;
    }
    if (used + 1 < size) answer[used++] = static_cast<char>(byte);
  }
  answer[used] = '\0';
  // No line was typed to its end: what follows starts on a line of its own.
  if (result != answerGiven) writeToError("\n", 1);
  endConsoleLine();
  return result;
}
