// What a terminal is given of a console message: names in it are shown, never
// obeyed. Nothing here depends on the system.
#pragma once

#include <stdarg.h>
#include <stddef.h>

#include <string>

/// The message formed by format and its arguments, as vsnprintf forms it, in out,
/// for a terminal: every control character is written as \xHH (lower-case hex), as
/// the log writes names, but for the line ends the format itself makes: those at
/// the message's end, and all of them where the format holds a line end before its
/// last character (a text of several lines by design). So a name that holds an
/// escape sequence, a carriage return or a line end cannot rewrite what is shown.
/// Returns the bytes formed before escaping, negative when the text cannot be formed.
int formatForTerminal(std::string* out, const char* format, va_list arguments);

/// Keeps setJsonOutput's choice where every printing thread reads it (jsonOutputOn).
void rememberJsonOutput(int on);
