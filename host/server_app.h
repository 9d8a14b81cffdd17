// tqServerApp: the server's application object on the console framework.
//
// The framework creates it, parses the command line (one switch, -d/--debug:
// run in the foreground), and calls OnInit, which locates the executable,
// moves the working directory beside it and creates the Core. OnRun then
// runs the Core in the foreground until a key is pressed, or turns the
// process into a daemon. OnExit destroys the Core. Main thread only.
//
// The class name breaks the house naming on purpose: tqServerApp is the name
// the framework's class information, logs and operators know the server by.
#ifndef HOST_SERVER_APP_H_
#define HOST_SERVER_APP_H_

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/snglinst.h>

class Core;

// The process entry: hands the command line to the framework, which creates
// tqServerApp and runs it; returns the exit status. Main thread.
int RunServer(int argc, char** argv);

// Texts of the foreground run, written byte for byte to standard output.
extern const char kStartingText[];  // 21 bytes
extern const char kPressKeyText[];  // 33 bytes
extern const char kStoppingText[];  // 23 bytes

class tqServerApp : public wxAppConsole {
 public:
  tqServerApp();
  ~tqServerApp() override;

  bool OnInit() override;
  int OnRun() override;
  int OnExit() override;
  void OnInitCmdLine(wxCmdLineParser& parser) override;
  bool OnCmdLineParsed(wxCmdLineParser& parser) override;

 private:
  int RunForeground();
  int RunDaemon(Core* core);  // host/daemon.cpp

  // Daemon only, right after the fork: lets go of the inherited lock (see
  // the definition).
  void LeaveLockToInvoker();

  // Held for the life of the object; nothing ever asks it whether another
  // instance runs. Owned; null in a daemon, which leaves the lock to the
  // invoking process that made it.
  wxSingleInstanceChecker* m_instanceChecker;
  wxFileName m_executable;  // absolute and normalised once OnInit has run
  bool m_debug;

  wxDECLARE_CLASS(tqServerApp);
};

#endif  // HOST_SERVER_APP_H_
