// Whole lines on the tool's console from any thread.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace t7315 {

class Console {
 public:
  explicit Console(std::ostream& out) : out_(out) {}
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << text << std::endl;
  }

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

}  // namespace t7315
