// The daemon branch of tqServerApp::OnRun: fork, report the start-up to the
// invoking process, log to syslog, hold the PID file, and run the Core until
// SIGINT, SIGTERM or SIGQUIT.
#include <errno.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <libdaemon/dsignal.h>

#include <wx/filefn.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "core/core.h"
#include "host/log_syslog.h"
#include "host/pid_file.h"
#include "host/server_app.h"

namespace {

const char kIdentity[] = "ombrevard";
const int kReportSeconds = 60;

// Shuts a daemon down that reported a failure before the Core could start.
int GiveUp(int status, PidFile* pidFile) {
  if (pidFile != nullptr) pidFile->Remove();
  wxLogError("Not starting the service: start-up status %i", status);
  return status;
}

}  // namespace

int tqServerApp::RunDaemon(Core* core) {
  daemon_pid_file_ident = kIdentity;
  // libdaemon reports its own failures (a PID file it cannot create, say)
  // through openlog with this identity, which replaces the syslog target's
  // for every later record of the process; without it they would all go out
  // as "UNKNOWN".
  daemon_log_ident = kIdentity;
  (void)daemon_retval_init();
  pid_t pid = daemon_fork();
  if (pid < 0) {
    int error = errno;
    daemon_retval_done();
    return error;
  }

  if (pid > 0) {
    // The invoking process: wait for the daemon's report and exit with it.
    // Its messages go to the framework's default target.
    int status = daemon_retval_wait(kReportSeconds);
    if (status >= 0) {
      if (status != 0) wxLogError("Daemon returned %i", status);
      return status;
    }
    wxLogError(wxGetTranslation("Timeout waiting for service to signal that it is running."));
    wxLogError(wxGetTranslation(
        "Please verify that the service is responding by connecting to it with a client."));
    return 255;
  }

  // The daemon.
  LeaveLockToInvoker();
  umask(022);
  (void)wxSetWorkingDirectory(m_executable.GetPath(wxPATH_GET_VOLUME, wxPATH_NATIVE));
  delete wxLog::SetActiveTarget(new wxLogSyslog(daemon_pid_file_ident));

  PidFile pidFile;
  if (!pidFile.Create()) {
    wxLogSysError("Could not create PID file");
    daemon_retval_send(1);
    return GiveUp(1, nullptr);  // the PID file is not ours to remove
  }
  // SIGHUP and SIGUSR1 would end the process without a word, and without
  // Close, Unload or the PID file's removal; taken over, they are logged and
  // otherwise ignored.
  if (daemon_signal_init(SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, 0) < 0) {
    wxLogSysError("Could not register signal handlers");
    daemon_retval_send(2);
    return GiveUp(2, &pidFile);
  }

  bool running = core->Start();
  if (!running) {
    wxLogSysError("Service routine did not start.");
    daemon_retval_send(3);
  } else {
    wxLogMessage("Successfully started");
    daemon_retval_send(0);
  }

  int fd = daemon_signal_fd();
  fd_set descriptors;
  FD_ZERO(&descriptors);
  FD_SET(fd, &descriptors);
  while (running) {
    fd_set working = descriptors;
    if (select(FD_SETSIZE, &working, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      wxLogSysError("select() failed.");
      break;
    }
    int sig = daemon_signal_next();
    if (sig <= 0) {
      wxLogSysError("daemon_signal_next() failed.");
      break;
    }
    if (sig == SIGINT || sig == SIGQUIT || sig == SIGTERM) {
      wxLogMessage("Received signal %i, Exiting...", sig);
      break;
    }
    wxLogWarning("Received signal %i but did nothing with it.", sig);
  }

  core->Stop();
  daemon_retval_send(-1);
  daemon_signal_done();
  pidFile.Remove();
  wxLogMessage("Done");
  return 0;
}
