#include "httpresponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "threadname.h"

namespace zf {
namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until the deadline; false when it passed.
bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, MsLeft(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

void SendAll(int fd, const std::string& data, SteadyClock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return;
    } else {
      return;
    }
  }
}

std::string Response(std::string_view status, std::string_view contentType,
                     const std::string& body) {
  std::string r = "HTTP/1.1 ";
  r.append(status).append("\r\nContent-Type: ").append(contentType);
  r.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  r.append("\r\nConnection: close\r\n\r\n").append(body);
  return r;
}

}  // namespace

Result<std::unique_ptr<HttpResponder>> HttpResponder::Start(const std::string& address, int port,
                                                            std::string path,
                                                            std::string contentType, Body body) {
  const std::string where = address + ":" + std::to_string(port);
  if (port < 0 || port > 65535) return Status::Error("Not a port: " + where, EINVAL);
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    return Status::Error("Not an IP address: " + address, EINVAL);
  }
  UniqueFd listener(
      ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!listener.valid()) return Status::Error("Cannot listen on " + where, errno);
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(listener.get(), 16) != 0) {
    const int error = errno;
    return Status::Error("Cannot listen on " + where + ": " + std::strerror(error), error);
  }
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
    port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) return Status::Error("Cannot listen on " + where, errno);
  return std::unique_ptr<HttpResponder>(new HttpResponder(std::move(listener), std::move(wake),
                                                          port, std::move(path),
                                                          std::move(contentType), std::move(body)));
}

HttpResponder::HttpResponder(UniqueFd listener, UniqueFd wake, int port, std::string path,
                             std::string contentType, Body body)
    : listener_(std::move(listener)),
      wake_(std::move(wake)),
      port_(port),
      path_(std::move(path)),
      contentType_(std::move(contentType)),
      body_(std::move(body)),
      thread_([this] { Serve(); }) {}

HttpResponder::~HttpResponder() {
  const std::uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

void HttpResponder::Serve() {
  NameThisThread("zf-metrics");
  ServeUntilWoken(listener_.get(), wake_.get(), SOCK_NONBLOCK,
                  [this](UniqueFd client) { Answer(client.get()); });
}

void HttpResponder::Answer(int client) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kDeadlineMs);
  std::string request;
  char buffer[1024];
  // Only the head is read; a request without one in time or in bounds gets
  // no answer at all.
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() >= kMaxRequestBytes || !WaitFor(client, POLLIN, deadline)) return;
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  // "GET <path>[?query] HTTP/1.x"
  const std::string line = request.substr(0, request.find("\r\n"));
  std::string target;
  if (line.starts_with("GET ")) {
    const std::size_t end = line.find(' ', 4);
    if (end != std::string::npos && line.compare(end, 6, " HTTP/") == 0) {
      target = line.substr(4, end - 4);
    }
  }
  target = target.substr(0, target.find('?'));
  if (target == path_) {
    SendAll(client, Response("200 OK", contentType_, body_()), deadline);
  } else {
    SendAll(client, Response("404 Not Found", "text/plain; charset=utf-8", "Not found\n"),
            deadline);
  }
}

}  // namespace zf
