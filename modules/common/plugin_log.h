// PluginLog: how the plug-ins we ship write their log lines.
//
// One line per call, "<plug-in>: <text>" (errors "<plug-in>: error: <text>",
// warnings "<plug-in>: warning: <text>"), written to standard error with one
// write so that lines from several threads never interleave. The server's
// standard output keeps its own exact texts, so plug-ins never write there.
//
// A daemon has standard error on /dev/null. When standard error is /dev/null
// or not open at all, the line goes to syslog instead, facility daemon, under
// the identity the server opened ("ombrevard"), so operators still see what a
// plug-in reports. The choice is made for each line: whatever standard error
// is at that moment decides.
//
// Safe from any thread. No allocation failure or write error is reported:
// a log line that cannot be written is lost.
#ifndef MODULES_COMMON_PLUGIN_LOG_H_
#define MODULES_COMMON_PLUGIN_LOG_H_

#include <stdarg.h>

#include <string>

namespace plugin_common {

enum class LogLevel { kError, kWarning, kInfo };

class PluginLog {
 public:
  // `plugin` names the plug-in in every line ("gst_sink"); kept by pointer,
  // so a string literal.
  explicit PluginLog(const char* plugin) : plugin_(plugin) {}

  void Error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void Warning(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void Info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void Line(LogLevel level, const std::string& text) const;

  const char* Plugin() const { return plugin_; }

 private:
  void Say(LogLevel level, const char* format, va_list args) const;

  const char* plugin_;
};

// True when standard error leads nowhere: closed, or /dev/null.
bool StandardErrorIsDiscarded();

}  // namespace plugin_common

#endif  // MODULES_COMMON_PLUGIN_LOG_H_
