#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reporttest {

// One HTTP request as received.
struct Request {
  std::string method;
  std::string target;
  std::vector<std::string> headers;  // "Name: value" lines as sent
  std::string body;
};

// A plain HTTP/1.1 server on 127.0.0.1 that records every request and
// answers each with the same canned response.
class HttpStub {
 public:
  HttpStub() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpStub() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The response sent to every request: status line code, extra header
  // lines, body; `delay` before answering.
  void Respond(int status, const std::string& body, const std::vector<std::string>& headers = {},
               std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::lock_guard<std::mutex> lock(lock_);
    status_ = status;
    body_ = body;
    headers_ = headers;
    delay_ = delay;
  }

  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      const int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      Handle(connection);
      close(connection);
    }
  }

  // Reads until `done` says the buffer is complete, or the peer closes.
  template <typename Done>
  bool ReadUntil(int connection, std::string& buffer, Done done) {
    char chunk[4096];
    while (!done()) {
      pollfd ready{connection, POLLIN, 0};
      if (stop_ || poll(&ready, 1, 2000) <= 0) return false;
      const ssize_t n = recv(connection, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }

  void Handle(int connection) {
    std::string buffer;
    if (!ReadUntil(connection, buffer, [&] { return buffer.find("\r\n\r\n") != std::string::npos; })) return;
    const size_t head_end = buffer.find("\r\n\r\n");
    Request request;
    size_t content_length = 0;
    size_t line_start = 0;
    while (line_start < head_end) {
      size_t line_end = buffer.find("\r\n", line_start);
      const std::string line = buffer.substr(line_start, line_end - line_start);
      if (line_start == 0) {
        const size_t space = line.find(' ');
        request.method = line.substr(0, space);
        request.target = line.substr(space + 1, line.rfind(' ') - space - 1);
      } else {
        request.headers.push_back(line);
        std::string lower = line;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower.rfind("content-length:", 0) == 0) content_length = std::stoul(line.substr(15));
      }
      line_start = line_end + 2;
    }
    const size_t body_start = head_end + 4;
    ReadUntil(connection, buffer, [&] { return buffer.size() >= body_start + content_length; });
    request.body = buffer.substr(body_start, content_length);

    int status;
    std::string body;
    std::vector<std::string> headers;
    std::chrono::milliseconds delay;
    {
      std::lock_guard<std::mutex> lock(lock_);
      requests_.push_back(request);
      status = status_;
      body = body_;
      headers = headers_;
      delay = delay_;
    }
    const auto until = std::chrono::steady_clock::now() + delay;
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string response = "HTTP/1.1 " + std::to_string(status) + " Stub\r\n";
    for (const auto& header : headers) response += header + "\r\n";
    response += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    send(connection, response.data(), response.size(), MSG_NOSIGNAL);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  int status_ = 200;
  std::string body_;
  std::vector<std::string> headers_;
  std::chrono::milliseconds delay_{0};
  std::vector<Request> requests_;
};

}  // namespace reporttest
