#pragma once

#include <curl/curl.h>

#include <ostream>
#include <stdexcept>
#include <string>

// A thin RAII layer over libcurl's easy interface.
namespace curl {

// A failure of the layer itself (no memory for a header).
class curl_exception : public std::runtime_error {
 public:
  explicit curl_exception(const std::string& what) : std::runtime_error(what) {}
};

// A libcurl call that did not return CURLE_OK; what() is libcurl's text.
class curl_easy_exception : public curl_exception {
 public:
  curl_easy_exception(CURLcode code, const std::string& what) : curl_exception(what), code_(code) {}
  explicit curl_easy_exception(CURLcode code) : curl_exception(curl_easy_strerror(code)), code_(code) {}

  CURLcode code() const { return code_; }

 private:
  CURLcode code_;
};

// curl_global_init(CURL_GLOBAL_ALL) on first use, curl_global_cleanup at exit.
void EnsureGlobalInit();

// An owned curl_slist of header lines.
class curl_header {
 public:
  curl_header() = default;
  ~curl_header() { curl_slist_free_all(list_); }
  curl_header(const curl_header&) = delete;
  curl_header& operator=(const curl_header&) = delete;

  // Throws curl_exception("Null pointer exception") when libcurl has no memory.
  void add(const std::string& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// One easy handle whose response body is appended to `sink`, up to
// `max_body` bytes (the rest is read and discarded).
class curl_easy {
 public:
  static constexpr size_t kMaxBody = 65536;

  // Throws curl_easy_exception("Null pointer intercepted") when no handle can be made.
  explicit curl_easy(std::ostream& sink, size_t max_body = kMaxBody);
  ~curl_easy() { curl_easy_cleanup(handle_); }
  curl_easy(const curl_easy&) = delete;
  curl_easy& operator=(const curl_easy&) = delete;

  template <typename T>
  void add(CURLoption option, T value) {
    check(curl_easy_setopt(handle_, option, value));
  }

  void perform() { check(curl_easy_perform(handle_)); }

  long response_code() const;

 private:
  static size_t Write(char* data, size_t size, size_t count, void* self);
  static void check(CURLcode code) {
    if (code != CURLE_OK) throw curl_easy_exception(code);
  }

  CURL* handle_;
  std::ostream& sink_;
  size_t max_body_;
  size_t received_ = 0;
};

}  // namespace curl
