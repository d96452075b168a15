// The process-wide program log and the console trace.
//
// One activity (reading the drive, a rip, a preview) opens the log, every layer writes its lines
// to it, and the activity closes it again. Writing while no log is open is a no-op.
#pragma once

#include "base/text_out.h"

#include <string>
#include <string_view>

namespace quorin {

inline constexpr const char* kVersionText = "v1.0.0";

// The folder logs are written to (empty, the default: the current directory).
void SetLogFolder(std::string folder);

// Opens the log for an activity. With perActivity the file is "<ddmmYYYY_HHMM_><activity>.log"
// (UTC), else "Quorin.log", in the log folder; an existing file is truncated.
bool OpenLog(std::string_view activity, bool perActivity);
// Writes the closing line and closes the log, if one is open.
void CloseLog();
bool IsLogOpen();
// Name of the file the log was last opened as (empty if none).
std::string LogFileName();
// The file name OpenLog would use for this activity at the current time.
std::string LogFileNameFor(std::string_view activity, bool perActivity);

// The program log as a text stream (switchable to hexadecimal numbers).
TextOut& Log();
// One line: a text that ends in a newline is written without it, then the line is ended.
void LogLine(std::string_view text);
// Text given "with its newline": ends the line only if the text ended with a newline.
void LogText(std::string_view text);

// Console trace on standard output; on by default, front ends may switch it off.
TextOut& Trace();
void SetConsoleTrace(bool on);
bool ConsoleTraceEnabled();

} // namespace quorin
