#include "curl_easy.h"

#include <algorithm>

namespace curl {
namespace {

class GlobalInit {
 public:
  GlobalInit() : code_(curl_global_init(CURL_GLOBAL_ALL)) {}
  ~GlobalInit() {
    if (code_ == CURLE_OK) curl_global_cleanup();
  }
  CURLcode code() const { return code_; }

 private:
  CURLcode code_;
};

}  // namespace

void EnsureGlobalInit() {
  static GlobalInit init;
  if (init.code() != CURLE_OK) throw curl_easy_exception(init.code());
}

void curl_header::add(const std::string& line) {
  curl_slist* list = curl_slist_append(list_, line.c_str());
  if (list == nullptr) throw curl_exception("Null pointer exception");
  list_ = list;
}

curl_easy::curl_easy(std::ostream& sink, size_t max_body)
    : handle_(nullptr), sink_(sink), max_body_(max_body) {
  EnsureGlobalInit();
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw curl_easy_exception(CURLE_FAILED_INIT, "Null pointer intercepted");
  add(CURLOPT_WRITEFUNCTION, &curl_easy::Write);
  add(CURLOPT_WRITEDATA, static_cast<void*>(this));
}

long curl_easy::response_code() const {
  long code = 0;
  check(curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code));
  return code;
}

size_t curl_easy::Write(char* data, size_t size, size_t count, void* self) {
  auto* easy = static_cast<curl_easy*>(self);
  const size_t bytes = size * count;
  if (easy->received_ < easy->max_body_) {
    const size_t keep = std::min(bytes, easy->max_body_ - easy->received_);
    easy->sink_.write(data, static_cast<std::streamsize>(keep));
  }
  easy->received_ += bytes;
  return bytes;
}

}  // namespace curl
