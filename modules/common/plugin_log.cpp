#include "modules/common/plugin_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace plugin_common {

namespace {

std::string Format(const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(small, sizeof(small), format, args);
  std::string text;
  if (length < 0) {
    text = format;  // a broken format: at least say what was meant
  } else if (static_cast<size_t>(length) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(length));
  } else {
    text.resize(static_cast<size_t>(length) + 1);
    vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

int PriorityOf(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return LOG_ERR;
    case LogLevel::kWarning:
      return LOG_WARNING;
    case LogLevel::kInfo:
      break;
  }
  return LOG_INFO;
}

const char* LabelOf(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "error: ";
    case LogLevel::kWarning:
      return "warning: ";
    case LogLevel::kInfo:
      break;
  }
  return "";
}

}  // namespace

bool StandardErrorIsDiscarded() {
  struct stat err;
  if (fstat(STDERR_FILENO, &err) != 0) return true;
  if (!S_ISCHR(err.st_mode)) return false;
  struct stat null;
  return stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) && null.st_rdev == err.st_rdev;
}

void PluginLog::Line(LogLevel level, const std::string& text) const {
  if (StandardErrorIsDiscarded()) {
    syslog(LOG_DAEMON | PriorityOf(level), "%s: %s%s", plugin_, LabelOf(level), text.c_str());
    return;
  }
  std::string line = std::string(plugin_) + ": " + LabelOf(level) + text + "\n";
  const char* next = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    next += written;
    left -= static_cast<size_t>(written);
  }
}

void PluginLog::Say(LogLevel level, const char* format, va_list args) const {
  Line(level, Format(format, args));
}

void PluginLog::Error(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  Say(LogLevel::kError, format, args);
  va_end(args);
}

void PluginLog::Warning(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  Say(LogLevel::kWarning, format, args);
  va_end(args);
}

void PluginLog::Info(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  Say(LogLevel::kInfo, format, args);
  va_end(args);
}

}  // namespace plugin_common
