// EventHandlerThread: the Core's one delivery thread. Joinable; owned by the
// Core, which stops it with signal(), a post of the wake trigger and a poll of
// finished(). Each wake-up delivers everything queued at that moment.
#ifndef CORE_EVENT_HANDLER_THREAD_H_
#define CORE_EVENT_HANDLER_THREAD_H_

#include "threads/thread.h"

class Core;

class EventHandlerThread : public pt::thread {
 public:
  explicit EventHandlerThread(Core* owner) : pt::thread(false), core(owner) {}
  ~EventHandlerThread() override;

 protected:
  void execute() override;

 private:
  Core* core;  // borrowed; outlives the thread
};

#endif  // CORE_EVENT_HANDLER_THREAD_H_
