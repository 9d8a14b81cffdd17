#include "core/thread_log.h"

#include <mutex>

#include <wx/log.h>
#include <wx/thread.h>

namespace {

class LogRelay : public wxLog {
 public:
  static LogRelay* Get() {
    static LogRelay* relay = new LogRelay();  // lives for the whole process
    return relay;
  }

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override {
    // Without a target of its own, a thread sees the main thread's.
    wxLog::SetThreadActiveTarget(nullptr);
    wxLog* target = wxLog::GetActiveTarget();
    wxLog::SetThreadActiveTarget(this);
    if (target != nullptr && target != this) target->LogRecord(level, msg, info);
  }
};

}  // namespace

void BindThreadToActiveLog() {
  if (wxThread::IsMain()) return;
  static thread_local bool bound = false;
  if (bound) return;
  bound = true;
  // The framework creates its per-thread bookkeeping lazily and unguarded:
  // threads binding for the first time take turns.
  static std::mutex binding;
  std::lock_guard<std::mutex> hold(binding);
  wxLog::SetThreadActiveTarget(LogRelay::Get());
}
