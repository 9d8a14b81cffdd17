#include "host/log_syslog.h"

#include <string.h>
#include <syslog.h>

#include "core/text_bytes.h"

wxLogSyslog::wxLogSyslog() : m_ident("UNKNOWN") { Open(); }

wxLogSyslog::wxLogSyslog(const char* ident) : m_ident(ident != nullptr ? ident : "") { Open(); }

wxLogSyslog::~wxLogSyslog() { closelog(); }

void wxLogSyslog::Open() { openlog(m_ident.data(), LOG_PID | LOG_CONS, LOG_DAEMON); }

int wxLogSyslog::PriorityOf(wxLogLevel level) {
  switch (level) {
    case wxLOG_FatalError: return LOG_CRIT;
    case wxLOG_Error: return LOG_ERR;
    case wxLOG_Warning: return LOG_WARNING;
    case wxLOG_Message: return LOG_INFO;
    case wxLOG_Status: return LOG_NOTICE;
    case wxLOG_Info: return LOG_INFO;
    case wxLOG_Debug: return LOG_DEBUG;
    case wxLOG_Trace: return LOG_DEBUG;
    default: return LOG_INFO;  // wxLOG_Progress, user levels
  }
}

void wxLogSyslog::DoLog(wxLogLevel level, const char* text, time_t t) {
  (void)t;  // the system logger stamps the record itself
  syslog(PriorityOf(level), "%s", text);
}

void wxLogSyslog::DoLogString(const char* text, time_t t) { DoLog(wxLOG_Message, text, t); }

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) {
  DoLog(level, TextBytes(msg).data(), info.timestamp);
}

void wxLogSyslog::DoLogTextAtLevel(wxLogLevel level, const wxString& msg) {
  DoLog(level, TextBytes(msg).data(), time(nullptr));
}

void wxLogSyslog::DoLogText(const wxString& msg) {
  DoLogString(TextBytes(msg).data(), time(nullptr));
}
