#include "host/server_app.h"

#include <stdio.h>

#include <wx/filefn.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "core/core.h"

const char kStartingText[] = "starting the core...\n";
const char kPressKeyText[] = "\npress any key to stop the core\n\n";
const char kStoppingText[] = "\nstopping the core...\n\n";

namespace {

// The host's own handle on the Core: created by OnInit, destroyed by OnExit.
Core* g_core = nullptr;

void WriteText(const char* text, size_t length) {
  fwrite(text, 1, length, stdout);
  fflush(stdout);  // so the texts and the log records on standard error interleave in order
}

wxAppConsole* CreateServerApp() {
  wxAppConsole::CheckBuildOptions(WX_BUILD_OPTIONS_SIGNATURE, "your program");
  return new tqServerApp();
}

wxAppInitializer g_appInitializer(CreateServerApp);

const wxCmdLineEntryDesc kCommandLine[] = {
    {wxCMD_LINE_SWITCH, "d", "debug", "do not daemonize", wxCMD_LINE_VAL_NONE,
     wxCMD_LINE_PARAM_OPTIONAL},
    wxCMD_LINE_DESC_END};

}  // namespace

wxIMPLEMENT_ABSTRACT_CLASS(tqServerApp, wxEvtHandler);

tqServerApp::tqServerApp() : m_debug(false) {
  (void)m_instanceChecker.Create("tqServer", "");  // held, never consulted
  m_executable.Clear();
}

tqServerApp::~tqServerApp() {}

void tqServerApp::OnInitCmdLine(wxCmdLineParser& parser) {
  wxAppConsole::OnInitCmdLine(parser);
  parser.SetDesc(kCommandLine);
}

bool tqServerApp::OnCmdLineParsed(wxCmdLineParser& parser) {
  if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
  m_debug = parser.Found("debug");
  return true;
}

bool tqServerApp::OnInit() {
  if (!wxAppConsole::OnInit()) return false;
  // Creates the default target on this thread now, before other threads log.
  (void)wxLog::GetActiveTarget();
  wxString argv0 = argc > 0 ? wxString(argv[0]) : wxString();
  m_executable.Assign(argv0, wxPATH_NATIVE);
  if (!wxIsAbsolutePath(m_executable.GetFullPath())) {
    wxPathList paths;
    paths.AddEnvList("PATH");
    m_executable.Assign(paths.FindAbsoluteValidPath(argv0));
  }
  // Every normalisation but case folding.
  const int kNormalise = wxPATH_NORM_ENV_VARS | wxPATH_NORM_DOTS | wxPATH_NORM_TILDE |
                         wxPATH_NORM_ABSOLUTE | wxPATH_NORM_LONG | wxPATH_NORM_SHORTCUT;
  (void)m_executable.Normalize(kNormalise, "", wxPATH_NATIVE);
  (void)wxSetWorkingDirectory(m_executable.GetPath(wxPATH_GET_VOLUME, wxPATH_NATIVE));
  g_core = new Core(m_executable);
  return g_core != nullptr;
}

int tqServerApp::OnRun() {
  if (!m_debug) return RunDaemon(g_core);
  return RunForeground();
}

int tqServerApp::RunForeground() {
  WriteText(kStartingText, sizeof(kStartingText) - 1);
  if (!g_core->Start()) {
    wxLogError(wxGetTranslation("Core did not start."));
    return 1;
  }
  WriteText(kPressKeyText, sizeof(kPressKeyText) - 1);
  (void)getc(stdin);  // a key, end of file or an error all end the wait
  WriteText(kStoppingText, sizeof(kStoppingText) - 1);
  g_core->Stop();
  return 0;
}

int tqServerApp::OnExit() {
  delete g_core;  // without Stop: a Core that never started needs none
  g_core = nullptr;
  return wxAppConsole::OnExit();
}
