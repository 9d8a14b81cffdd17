// Start plus Stop: a Core over a folder of 100 plug-ins against a reference
// host over the same folder, with Start and Stop on rows of their own.
#include <stdint.h>
#include <wx/filename.h>

#include <string>

#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/reference_host.h"
#include "bench/runner.h"
#include "core/core.h"
#include "tests/support/core_internals.h"

namespace {

constexpr int kStartStopPlugins = 100;

}  // namespace

void RunStartStop() {
  CoreRig tree(run.nodeLibrary, 0, 0, kStartStopPlugins);  // only the copies; no Core of its own
  if (!tree.Ok()) GiveUp("could not copy the plug-ins");
  Figure total, start, stop;
  total.name = "Start + Stop, 100 plug-ins (ms)";
  start.name = "  of which Start (ms)";
  stop.name = "  of which Stop (ms)";
  for (Figure* figure : {&total, &start, &stop}) figure->unit = Unit::kMilliseconds;
  stop.goal = Goal::kCoreBelow;  // Stop ends as soon as the threads have
  stop.goalValue = 10;
  std::string loadedNote;
  for (int r = 0; r < run.options.mode.repetitions; r++) {
    if (run.options.core) {
      Core core(wxFileName(tree.Tree().ExecutablePath()));
      int64_t t0 = NowNanoseconds();
      (void)core.Start();
      int64_t t1 = NowNanoseconds();
      size_t loaded = CoreInspector(&core).PluginCount();
      core.Stop();
      int64_t t2 = NowNanoseconds();
      if (loaded != kStartStopPlugins) loadedNote = "the Core loaded " + std::to_string(loaded);
      start.core.push_back(static_cast<double>(t1 - t0) / 1e6);
      stop.core.push_back(static_cast<double>(t2 - t1) / 1e6);
      total.core.push_back(static_cast<double>(t2 - t0) / 1e6);
    }
    if (run.options.reference) {
      ReferenceHost host;
      int64_t t0 = NowNanoseconds();
      int loaded = host.Start(tree.Tree().PluginDir());
      int64_t t1 = NowNanoseconds();
      host.Stop();
      int64_t t2 = NowNanoseconds();
      if (loaded != kStartStopPlugins)
        loadedNote = "the reference loaded " + std::to_string(loaded);
      start.reference.push_back(static_cast<double>(t1 - t0) / 1e6);
      stop.reference.push_back(static_cast<double>(t2 - t1) / 1e6);
      total.reference.push_back(static_cast<double>(t2 - t0) / 1e6);
    }
  }
  if (!loadedNote.empty()) total.note = loadedNote + " plug-ins instead of 100";
  for (Figure* figure : {&total, &start, &stop}) {
    Progress(*figure);
    run.results.push_back(*figure);
  }
}
