#include "host/server_app.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <wx/filefn.h>
#include <wx/init.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/strconv.h>
#include <wx/tokenzr.h>

#include "core/core.h"
#include "core/text_bytes.h"

const char kStartingText[] = "starting the core...\n";
const char kPressKeyText[] = "\npress any key to stop the core\n\n";
const char kStoppingText[] = "\nstopping the core...\n\n";

namespace {

// The host's own handle on the Core: created by OnInit, destroyed by OnExit.
Core* g_core = nullptr;

// A daemon's copy of the single-instance checker, which it must never
// destroy (see LeaveLockToInvoker); kept reachable here so that leak checkers
// see no leak. Volatile, because nothing reads it: an optimised build would
// drop the store, and the copy would be reported as leaked at the daemon's
// exit. Owned, never freed. Main thread only.
wxSingleInstanceChecker* volatile g_inheritedChecker = nullptr;

// argv[0] as the process got it; borrowed from main's argv, which outlives
// the application. Null when there is none, or when the framework was entered
// some other way than RunServer. Main thread only.
const char* g_programName = nullptr;

// The folders of the search path, split as the framework's
// wxPathList::AddEnvList splits them (at ':' and ';', kept as they are), but
// read byte for byte instead of through the locale.
void AddSearchPath(wxPathList* paths) {
  const char* value = getenv("PATH");
  if (value == nullptr) return;
  wxArrayString folders = wxStringTokenize(wxString(value, *LosslessConversion()), ":;");
  for (const wxString& folder : folders) static_cast<wxArrayString*>(paths)->Add(folder);
}

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

int RunServer(int argc, char** argv) {
  // A plug-in writing to a socket or pipe whose reader has gone must get
  // EPIPE, not take the whole server down with SIGPIPE. Ignored here, before
  // any thread exists, it stays ignored in the daemon after the fork.
  signal(SIGPIPE, SIG_IGN);
  // The framework turns the command line into text through the locale
  // before the application sees it, and drops an argument that does not
  // convert; a service usually runs in the C locale. A program name with
  // bytes outside ASCII would then come out changed, or be dropped so that
  // the next argument took its place (and "-d" would be lost as the program
  // name). So the name is kept byte for byte for OnInit, and the framework
  // gets a copy of the command line in plain ASCII, which always converts:
  // every switch is ASCII, so that loses nothing it looks at.
  g_programName = argc > 0 ? argv[0] : nullptr;
  std::vector<std::string> ascii(argv, argv + argc);
  std::vector<char*> args;
  for (std::string& argument : ascii) {
    for (char& c : argument) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    args.push_back(&argument[0]);
  }
  args.push_back(nullptr);
  return wxEntry(argc, args.data());
}

tqServerApp::tqServerApp() : m_instanceChecker(new wxSingleInstanceChecker()), m_debug(false) {
  (void)m_instanceChecker->Create("tqServer", "");  // held, never consulted
  m_executable.Clear();
}

tqServerApp::~tqServerApp() { delete m_instanceChecker; }

void tqServerApp::LeaveLockToInvoker() {
  // The lock file was made before the fork; it holds the invoking process's
  // id and only that process holds its lock, and it removes the file when it
  // exits. Were the daemon's copy destroyed as well, whichever of the two
  // ended second would find the file gone and log an error about it: on
  // standard error of the invoking process after every start the daemon
  // gave up on, since such a daemon ends first. So the daemon keeps its copy
  // without ever destroying it.
  g_inheritedChecker = m_instanceChecker;
  m_instanceChecker = nullptr;
}

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
  // The framework's standard-error target, created on this thread before
  // other threads log, and writing names as the bytes they are: in the C
  // locale of a service its usual conversion would mangle every byte outside
  // ASCII of a plug-in's file name.
  delete wxLog::SetActiveTarget(new wxLogStderr(nullptr, *LosslessConversion()));
  // From here on every file name the framework hands to the system, and
  // every one it reads back (the current directory), goes through the
  // lossless conversion.
  wxConvFileName = LosslessConversion();
  wxString argv0;
  if (g_programName != nullptr) {
    argv0 = wxString(g_programName, *LosslessConversion());
  } else if (argc > 0) {
    argv0 = argv[0];
  }
  m_executable.Assign(argv0, wxPATH_NATIVE);
  // A bare name was found along the search path by whoever started us; a
  // relative path with a folder in it was taken from the working directory,
  // where the normalisation below finds it too (searching the path for it
  // would lose the server, and with it its plug-ins). An empty name names
  // nothing to search for: it stays empty, and the normalisation makes it the
  // current directory, as for a name the search does not find.
  if (!argv0.empty() && !wxIsAbsolutePath(m_executable.GetFullPath()) && !argv0.Contains("/")) {
    wxPathList paths;
    AddSearchPath(&paths);
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
