// Where a job's messages go, in the text protocol of JobMessage.h. Post is
// called from the worker thread; each text changes owner with the call.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sieve/JobMessage.h"

namespace zentrova {

class JobSink {
 public:
  virtual ~JobSink() = default;
  virtual void Post(std::string message) = 0;
};

// Keeps every message, for tests and for callers that read the log afterwards.
class RecordingSink : public JobSink {
 public:
  void Post(std::string message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.push_back(std::move(message));
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
  }
  // The log lines only: statistics, range and end-of-job messages left out.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& m : Messages()) {
      if (IsLogLine(m)) lines.push_back(m);
    }
    return lines;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
};

}  // namespace zentrova
