#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/result.h"
#include "platform/uniquefd.h"

namespace zf {

// A single-purpose HTTP responder for a monitoring system's scrapes: it
// answers GET on one path with the text `body` makes at that moment and 404
// to everything else. One connection at a time on a thread of its own, a
// bounded request and a short deadline, so a stuck or hostile client costs a
// scrape at most, never the engine.
class HttpResponder {
 public:
  using Body = std::function<std::string()>;
  static constexpr std::size_t kMaxRequestBytes = 8192;
  static constexpr int kDeadlineMs = 2000;

  // Listens on `address` (IPv4 or IPv6 literal) and `port` (0: any free
  // port) and starts answering. The error names the address when the port
  // cannot be had.
  static Result<std::unique_ptr<HttpResponder>> Start(const std::string& address, int port,
                                                      std::string path, std::string contentType,
                                                      Body body);
  ~HttpResponder();
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;

  int port() const { return port_; }

 private:
  HttpResponder(UniqueFd listener, UniqueFd wake, int port, std::string path,
                std::string contentType, Body body);
  void Serve();
  void Answer(int client);

  UniqueFd listener_;
  UniqueFd wake_;  // an eventfd: written once to end the thread
  int port_;
  const std::string path_;
  const std::string contentType_;
  const Body body_;
  std::thread thread_;
};

}  // namespace zf
