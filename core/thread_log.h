// Log records from threads other than the main one.
//
// The logging framework holds back records logged on any thread but the main
// one until the main thread flushes them, and the server's main thread sits
// in a blocking read for the whole run. BindThreadToActiveLog gives the
// calling thread a relay target that hands each record straight to the active
// target of the main thread (standard error in the foreground, syslog in the
// daemon), so records reach it at once. Every thread of the Core calls it
// first thing; it is cheap to call again. The relay holds no state; the
// targets it reaches must be safe to call from several threads (the default
// standard-error target and the syslog target are).
#ifndef CORE_THREAD_LOG_H_
#define CORE_THREAD_LOG_H_

void BindThreadToActiveLog();

#endif  // CORE_THREAD_LOG_H_
