// wxLogSyslog: a log target that hands every record to the system logger.
//
// The daemon creates one with the identity "ombrevard" and makes it the
// active target; from then on every record of the process goes to syslog in
// the daemon facility with the process id. The text goes verbatim (never as a
// format), with no time stamp or level word. DoLog may be entered from any
// thread; the target holds nothing that changes after construction. The
// process has one syslog connection, so create one target at a time.
//
// The wx prefix breaks the house naming on purpose: the target follows the
// framework's own naming for its log targets (wxLogStderr, wxLogStream).
#ifndef HOST_LOG_SYSLOG_H_
#define HOST_LOG_SYSLOG_H_

#include <time.h>

#include <wx/log.h>
#include <wx/string.h>

class wxLogSyslog : public wxLog {
 public:
  wxLogSyslog();                            // identity "UNKNOWN"
  explicit wxLogSyslog(const char* ident);  // null is the empty identity
  ~wxLogSyslog() override;
  wxLogSyslog(const wxLogSyslog&) = delete;
  wxLogSyslog& operator=(const wxLogSyslog&) = delete;

  // The syslog priority a framework level maps to.
  static int PriorityOf(wxLogLevel level);

 protected:
  virtual void DoLog(wxLogLevel level, const char* text, time_t t);
  virtual void DoLogString(const char* text, time_t t);

  // The framework's entry points; each record reaches DoLog unformatted.
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
  void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override;
  void DoLogText(const wxString& msg) override;

 private:
  void Open();

  // The system logger keeps the pointer it is given, so the identity lives as
  // long as the target.
  wxCharBuffer m_ident;
};

#endif  // HOST_LOG_SYSLOG_H_
