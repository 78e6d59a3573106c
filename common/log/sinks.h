#pragma once

#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <mutex>
#include <string>

namespace logging {

// Rolling file: the live file `name.ext`, rolled ones `name.1.ext` ...
// `name.(N-1).ext`. Before a write the live file rolls when it is already
// larger than the limit. Every record goes to the file with one write().
class RollingFileSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  RollingFileSink(std::string path, size_t max_bytes, size_t max_files);
  ~RollingFileSink() override;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::string RolledName(size_t index) const;
  void Open();
  void Roll();

  std::string path_;
  size_t max_bytes_;
  size_t max_files_;
  std::atomic<int> fd_{-1};
  size_t size_ = 0;
};

// Colour console on standard output; colours only when stdout was a terminal
// at construction.
class ColorConsoleSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  ColorConsoleSink();
  bool Colored() const { return colored_; }
  static std::string ColorFor(spdlog::level::level_enum level);

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  bool colored_;
};

}  // namespace logging
