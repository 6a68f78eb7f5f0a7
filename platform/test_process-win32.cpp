// Windows bodies of the test helpers that start the program: arguments reach it
// through the wide command line, so names outside the ANSI code page pass whole.
#include <stdlib.h>
#include <windows.h>

#include <algorithm>

#include "platform/test_support.h"
#include "platform/utf16-win32.h"

namespace {
// Quotes one argument so that the C runtime of the started program splits it back.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote itself escaped.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

HANDLE inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

std::string readAll(HANDLE from) {
  std::string text;
  char buffer[4096];
  DWORD got;
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

// The program writes its console text in Windows line ends; the tests compare lines.
std::string withPlainLineEnds(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
  return plain;
}

std::wstring wideText(const std::string& text) {
  size_t length = 0;
  wchar_t* converted = widenText(text.data(), text.size(), 1, &length);
  std::wstring result = converted ? std::wstring(converted, length) : std::wstring();
  free(converted);
  return result;
}
}  // namespace

// The build names the program by its path on the build machine; under Wine that
// machine's root is drive Z:.
std::string programPath() {
  std::string path = TALVEN_PROGRAM;
  if (path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

namespace {
// Starts the program with the arguments in workingDirectory, standard input on NUL
// and its output on out and errors (inheritable). False when it could not start.
bool startProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                  HANDLE out, HANDLE errors, PROCESS_INFORMATION* process) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = out;
  startup.hStdError = errors;
  std::string program = programPath();
  std::string commandLine = quoteArgument(program);
  for (const std::string& argument : arguments) commandLine += " " + quoteArgument(argument);
  std::wstring wideLine = wideText(commandLine);
  std::vector<wchar_t> mutableLine(wideLine.begin(), wideLine.end());
  mutableLine.push_back(L'\0');
  std::wstring wideProgram = wideText(program);
  std::wstring wideFolder = wideText(workingDirectory);
  *process = PROCESS_INFORMATION{};
  BOOL started =
      CreateProcessW(wideProgram.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     workingDirectory.empty() ? nullptr : wideFolder.c_str(), &startup, process);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  return started;
}

// Waits for a started program and gives its exit status.
int waitForProgram(PROCESS_INFORMATION* process) {
  WaitForSingleObject(process->hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process->hProcess, &status);
  CloseHandle(process->hThread);
  CloseHandle(process->hProcess);
  return static_cast<int>(status);
}

// Runs the program with standard error on errors, which it closes.
int runWithErrorsTo(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                    HANDLE errors, std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    if (errors) CloseHandle(errors);
    return -1;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process;
  bool started = startProgram(arguments, workingDirectory, writeEnd, errors, &process);
  // Only the child may hold the write end now, so the read below ends with it.
  CloseHandle(writeEnd);
  if (errors) CloseHandle(errors);
  if (!started) {
    CloseHandle(readEnd);
    return -1;
  }
  std::string text = readAll(readEnd);
  CloseHandle(readEnd);
  int status = waitForProgram(&process);
  if (output) *output = withPlainLineEnds(text);
  return status;
}
}  // namespace

int runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
               std::string* output) {
  return runWithErrorsTo(arguments, workingDirectory, inheritable(GetStdHandle(STD_ERROR_HANDLE)),
                         output);
}

int runProgramWithErrors(const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, const std::string& errorsFile,
                         std::string* output, std::string* errors) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  std::wstring wideName = wideText(errorsFile);
  HANDLE file = CreateFileW(wideName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  int status = runWithErrorsTo(arguments, workingDirectory, file, output);
  std::string text;
  if (errors) *errors = readFileBytes(errorsFile, &text) ? withPlainLineEnds(text) : "";
  return status;
}

int runProgramToOneFile(const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, const std::string& outputFile,
                        std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  std::wstring wideName = wideText(outputFile);
  HANDLE file = CreateFileW(wideName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  PROCESS_INFORMATION process;
  bool started = startProgram(arguments, workingDirectory, file, file, &process);
  CloseHandle(file);
  if (!started) return -1;
  int status = waitForProgram(&process);
  std::string text;
  if (output) *output = readFileBytes(outputFile, &text) ? withPlainLineEnds(text) : "";
  return status;
}

bool runningPrivileged() {
  return false;
}

void killThisProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  ExitProcess(137);  // not reached
}

// Dropping rights and mounting need an administrator here; the tests that need them skip.
int runUnprivileged(const std::string&, int (*)(void*), void*, std::string*) {
  return -1;
}

bool mountSmallFileSystem(const std::string&, int) {
  return false;
}

void unmountFileSystem(const std::string&) {}
