// One thread that asks a server questions for the main thread, one at a time: a question the
// server leaves unanswered holds this thread, never the main thread.
#pragma once

#include <functional>
#include <memory>

namespace darvo::capture {

class QueryThread {
 public:
  // Throws std::system_error when no thread can be started.
  QueryThread();
  // Ends the thread once it is idle; never waits for a job still held by a server (jobs own what
  // they use, and the thread ends after it).
  ~QueryThread();
  QueryThread(const QueryThread&) = delete;
  QueryThread& operator=(const QueryThread&) = delete;

  // Runs `job` on the thread. False, with `job` dropped unrun, while an earlier job still runs:
  // questions never queue up behind a server that does not answer. Any thread.
  bool tryRun(std::function<void()> job);

 private:
  struct Shared;
  static void run(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
};

}  // namespace darvo::capture
