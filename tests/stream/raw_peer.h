// Peers for the socket tests written with the plain system calls, so that
// our socket layer is checked against code that does not share its mistakes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace kelpora::testing {

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline int BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A socket of `type` bound to 127.0.0.1 on a port the system picks, or on a
// fixed `port` (-1 when that port cannot be bound).
inline int RawBound(int type, int port = 0) {
  int fd = socket(AF_INET, type, 0), yes = 1;
  if (port) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address = Loopback(port);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  if (port) return -1;
  throw std::runtime_error("raw bind failed");
}

inline int RawConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("raw connect failed");
  }
  return fd;
}

inline void SendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Everything the peer sends until it closes or `limit` bytes arrived.
inline std::string RecvAll(int fd, size_t limit = SIZE_MAX) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t n; bytes.size() < limit &&
                  (n = recv(fd, chunk, std::min(sizeof chunk, limit - bytes.size()), 0)) > 0;) {
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

// A TCP listener on 127.0.0.1 that serves one connection with `serve` on a
// thread of its own, then closes it. A fixed `port` that cannot be bound
// leaves port() 0 and no thread.
class OneShotServer {
 public:
  explicit OneShotServer(std::function<void(int fd)> serve, int port = 0)
      : listener_(RawBound(SOCK_STREAM, port)) {
    if (listener_ < 0) return;
    listen(listener_, 4);
    port_ = BoundPort(listener_);
    thread_ = std::thread([this, serve = std::move(serve)] {
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      serve(fd);
      close(fd);
    });
  }
  ~OneShotServer() {
    if (listener_ < 0) return;
    // A client still waiting in the backlog gets served; otherwise the
    // accept that never got one is freed.
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 0) != 1) shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace kelpora::testing
