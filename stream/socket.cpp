#include "stream/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "runtime/load_errors.h"
#include "runtime/text.h"

namespace kelpora {

namespace {

sockaddr_in MakeAddress(uint32_t ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(ip);
  return address;
}

// poll() has no limit on descriptor numbers, unlike select().
// 1 when `events` are (or become) pending within `timeoutMs` (negative: no limit).
int WaitFor(int handle, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd entry{handle, events, 0};
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    int ready = ::poll(&entry, 1, wait);
    if (ready > 0) return 1;
    if (ready == 0 || errno != EINTR) return 0;
  }
}

void ReadName(int handle, bool peer, int& ip, int& port) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  int result = peer ? ::getpeername(handle, reinterpret_cast<sockaddr*>(&address), &length)
                    : ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
  if (result != 0 || address.sin_family != AF_INET) {
    ip = 0;
    port = 0;
    return;
  }
  ip = static_cast<int>(ntohl(address.sin_addr.s_addr));
  port = ntohs(address.sin_port);
}

Ref<TSocket> CreateOfType(int type) {
  int handle = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (handle < 0) return nullptr;
  return TSocket::Create(handle, 1);
}

// A port written as decimal digits only, 1 to 65535.
std::optional<int> ParsePort(std::u16string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    port = port * 10 + (c - u'0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

// Host names and request paths travel as bytes on a request line: control
// bytes would split it into lines of the URL's choosing.
bool HasControlBytes(std::string_view bytes) {
  return std::any_of(bytes.begin(), bytes.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
  });
}

// "host" or "host:port", the port defaulting to `defaultPort`.
Ref<TSocketStream> OpenHostPort(std::u16string_view text, int defaultPort) {
  size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos) return OpenTcpStream(text, defaultPort);
  std::optional<int> port = ParsePort(text.substr(colon + 1));
  if (!port) return nullptr;
  return OpenTcpStream(text.substr(0, colon), *port);
}

int httpTimeoutMs = 10000;

using Clock = std::chrono::steady_clock;

// Milliseconds to wait for one step: the limit, cut to what is left before
// `deadline` when there is one; -1 without a limit.
int StepWait(int limitMs, const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return limitMs > 0 ? limitMs : -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

// An HTTP response body. Until its headers are read, every step shares one
// deadline; after that, each read or write waits at most the limit for the
// peer, and a stall reads or writes nothing (the block operations then raise
// their stream errors). Size is the declared Content-Length, 0 when none.
class THttpStream : public TSocketStream {
 public:
  int Size() override { return declared; }

  // As for any socket stream, with one look at the socket instead of two.
  int Eof() override {
    if (!socket) return 1;
    char next;
    ssize_t got = ::recv(socket->handle, &next, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
      return 0;
    }
    Close();
    return 1;
  }

  int Read(void* buf, int count) override {
    if (!socket || count <= 0) return 0;
    // Bytes already there are taken at once; only an empty socket waits.
    for (;;) {
      ssize_t got = ::recv(socket->handle, buf, static_cast<size_t>(count), MSG_DONTWAIT);
      if (got >= 0) return static_cast<int>(got);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      if (!WaitFor(socket->handle, POLLIN, StepWait(limitMs, deadline))) {
        stalled = true;
        return 0;
      }
    }
  }

  int Write(const void* buf, int count) override {
    if (!socket || count <= 0) return 0;
    if (!WaitFor(socket->handle, POLLOUT, StepWait(limitMs, deadline))) {
      stalled = true;
      return 0;
    }
    return socket->Send(buf, count, MSG_DONTWAIT);
  }

  int limitMs = 0;
  std::optional<Clock::time_point> deadline;
  bool stalled = false;
  int declared = 0;
};

// A TCP connection to `ip`:`port` that gives up at `deadline`.
Ref<TSocket> ConnectBefore(int ip, int port, const std::optional<Clock::time_point>& deadline) {
  Ref<TSocket> socket = CreateTcpSocket();
  if (!socket) return nullptr;
  int handle = socket->handle;
  int flags = ::fcntl(handle, F_GETFL);
  if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0) return nullptr;
  sockaddr_in address = MakeAddress(static_cast<uint32_t>(ip), port);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return nullptr;
    if (!WaitFor(handle, POLLOUT, StepWait(0, deadline))) return nullptr;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return nullptr;
    }
  }
  if (::fcntl(handle, F_SETFL, flags) != 0) return nullptr;
  socket->UpdateLocalName();
  socket->UpdateRemoteName();
  return socket;
}

Ref<TDataStream> OpenHttp(std::u16string_view path) {
  size_t slash = path.find(u'/');
  std::u16string_view host = path.substr(0, slash);
  std::u16string_view resource = slash == std::u16string_view::npos ? u"/" : path.substr(slash);
  // What is checked is exactly what is sent: one byte per character.
  std::string hostBytes = ToBytes(host), resourceBytes = ToBytes(resource);
  if (hostBytes.empty() || HasControlBytes(hostBytes) || HasControlBytes(resourceBytes)) {
    return nullptr;
  }
  size_t colon = host.find(u':');
  std::optional<int> port = 80;
  if (colon != std::u16string_view::npos) port = ParsePort(host.substr(colon + 1));
  if (!port) return nullptr;
  int ip = HostIp(host.substr(0, colon), 0);
  if (ip == 0) return nullptr;

  int limitMs = httpTimeoutMs;
  std::optional<Clock::time_point> deadline;
  if (limitMs > 0) deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  Ref<TSocket> socket = ConnectBefore(ip, *port, deadline);
  if (!socket) return nullptr;
  auto stream = MakeRef<THttpStream>();
  stream->socket = std::move(socket);
  stream->autoClose = 1;
  stream->limitMs = limitMs;
  stream->deadline = deadline;
  std::string request = "GET " + resourceBytes + " HTTP/1.0\r\nHost: " + hostBytes + "\r\n\r\n";
  int64_t declared = -1;
  try {
    stream->WriteFully(request.data(), static_cast<int>(request.size()));
  } catch (const TStreamWriteError&) {
    return nullptr;
  }
  if (!SkipHttpHeaders(*stream, &declared) || stream->stalled) return nullptr;
  stream->deadline.reset();
  stream->declared = static_cast<int>(std::clamp<int64_t>(declared, 0, INT_MAX));
  return stream;
}

class TNetworkProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>&, const String& protocol, const String& path,
                                int, int) override {
    if (protocol == u"tcp") return OpenHostPort(path, 80);
    if (protocol == u"http") return OpenHttp(path);
    return nullptr;
  }
};

}  // namespace

TSocket::~TSocket() { TSocket::Close(); }

int TSocket::Send(const void* buf, int count, int flags) {
  if (handle < 0 || count <= 0) return 0;
  for (;;) {
    ssize_t sent = ::send(handle, buf, static_cast<size_t>(count), flags | MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno != EINTR) return 0;
  }
}

int TSocket::Recv(void* buf, int count, int flags) {
  if (handle < 0 || count <= 0) return 0;
  for (;;) {
    ssize_t got = ::recv(handle, buf, static_cast<size_t>(count), flags);
    if (got >= 0) return static_cast<int>(got);
    if (errno != EINTR) return 0;
  }
}

void TSocket::Close() {
  if (handle < 0) return;
  if (autoClose) ::close(handle);
  handle = localIp = localPort = remoteIp = remotePort = -1;
}

int TSocket::Connected() {
  if (handle < 0) return 0;
  if (!WaitFor(handle, POLLIN, 0)) return 1;
  if (ReadAvail() > 0) return 1;
  Close();
  return 0;
}

int TSocket::Bind(int port) {
  if (handle < 0 || port < 0 || port > 65535) return 0;
  sockaddr_in address = MakeAddress(INADDR_ANY, port);
  if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  UpdateLocalName();
  return 1;
}

int TSocket::Connect(int ip, int port) {
  if (handle < 0 || port < 0 || port > 65535) return 0;
  sockaddr_in address = MakeAddress(static_cast<uint32_t>(ip), port);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // An interrupted connect goes on in the background; wait for its outcome.
    if (errno != EINTR || !WaitFor(handle, POLLOUT, -1)) return 0;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return 0;
  }
  UpdateLocalName();
  UpdateRemoteName();
  return 1;
}

int TSocket::Listen(int backlog) {
  if (handle < 0) return 0;
  return ::listen(handle, backlog) == 0 ? 1 : 0;
}

Ref<TSocket> TSocket::Accept(int timeoutMs) {
  if (handle < 0 || !WaitFor(handle, POLLIN, timeoutMs)) return nullptr;
  int accepted = ::accept4(handle, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return nullptr;
  return Create(accepted, 1);
}

int TSocket::ReadAvail() {
  if (handle < 0) return 0;
  int waiting = 0;
  if (::ioctl(handle, FIONREAD, &waiting) != 0) return 0;
  return waiting;
}

void TSocket::SetTcpNoDelay(int flag) {
  if (handle < 0) return;
  int value = flag ? 1 : 0;
  ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

int TSocket::Handle() { return handle; }
int TSocket::LocalIp() { return localIp; }
int TSocket::LocalPort() { return localPort; }
int TSocket::RemoteIp() { return remoteIp; }
int TSocket::RemotePort() { return remotePort; }
void TSocket::UpdateLocalName() { ReadName(handle, false, localIp, localPort); }
void TSocket::UpdateRemoteName() { ReadName(handle, true, remoteIp, remotePort); }

Ref<TSocket> TSocket::Create(int handle, int autoClose) {
  if (handle < 0) return nullptr;
  auto socket = MakeRef<TSocket>();
  socket->handle = handle;
  socket->autoClose = autoClose;
  socket->UpdateLocalName();
  socket->UpdateRemoteName();
  return socket;
}

Ref<TSocket> TSocket::CreateUdp() { return CreateOfType(SOCK_DGRAM); }
Ref<TSocket> TSocket::CreateTcp() { return CreateOfType(SOCK_STREAM); }

TSocketStream::~TSocketStream() { TSocketStream::Close(); }

int TSocketStream::Eof() {
  if (!socket) return 1;
  if (socket->Connected()) return 0;
  Close();
  return 1;
}

int TSocketStream::Close() {
  if (!socket) return 0;
  if (autoClose) socket->Close();
  socket = nullptr;
  return 0;
}

int TSocketStream::Read(void* buf, int count) { return socket ? socket->Recv(buf, count, 0) : 0; }

int TSocketStream::Write(const void* buf, int count) {
  return socket ? socket->Send(buf, count, 0) : 0;
}

Ref<TSocketStream> TSocketStream::Create(Ref<TSocket> socket, int autoClose) {
  if (!socket) return nullptr;
  auto stream = MakeRef<TSocketStream>();
  stream->socket = std::move(socket);
  stream->autoClose = autoClose;
  return stream;
}

Ref<TSocket> CreateUdpSocket() { return TSocket::CreateUdp(); }
Ref<TSocket> CreateTcpSocket() { return TSocket::CreateTcp(); }

Ref<TArray<int>> HostIps(std::u16string_view name) {
  std::string bytes = ToBytes(name);
  std::vector<int> found;
  if (bytes.find('\0') == std::string::npos) {
    hostent entry{};
    hostent* result = nullptr;
    int error = 0;
    std::vector<char> scratch(1024);
    while (::gethostbyname_r(bytes.c_str(), &entry, scratch.data(), scratch.size(), &result,
                             &error) == ERANGE &&
           scratch.size() < (1u << 20)) {
      scratch.resize(scratch.size() * 2);
    }
    if (result && result->h_addrtype == AF_INET && result->h_length == 4) {
      for (char** at = result->h_addr_list; *at; ++at) {
        uint32_t address;
        std::memcpy(&address, *at, 4);
        found.push_back(static_cast<int>(ntohl(address)));
      }
    }
  }
  auto ips = MakeArray<int>(found.size());
  for (size_t i = 0; i < found.size(); ++i) (*ips)[i] = found[i];
  return ips;
}

int HostIp(std::u16string_view name, int index) {
  Ref<TArray<int>> ips = HostIps(name);
  if (index < 0 || static_cast<size_t>(index) >= ips->Length()) return 0;
  return (*ips)[index];
}

String HostName(int ip) {
  sockaddr_in address = MakeAddress(static_cast<uint32_t>(ip), 0);
  char name[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, name, sizeof name,
                    nullptr, 0, NI_NAMEREQD) != 0) {
    return {};
  }
  return FromBytes(name);
}

String DottedIp(int ip) {
  auto bits = static_cast<uint32_t>(ip);
  String text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) text += u'.';
    text += FormatInt((bits >> shift) & 0xFF);
  }
  return text;
}

Ref<TSocketStream> OpenTcpStream(std::u16string_view host, int port) {
  if (port < 1 || port > 65535) return nullptr;
  int ip = HostIp(host, 0);
  if (ip == 0) return nullptr;
  Ref<TSocket> socket = CreateTcpSocket();
  if (!socket) return nullptr;
  if (!socket->Connect(ip, port)) {
    socket->Close();
    return nullptr;
  }
  return TSocketStream::Create(socket, 1);
}

namespace {

// The value of a "Content-Length:" line (name in any case), or -1.
int64_t ContentLength(std::string_view line) {
  constexpr std::string_view NAME = "content-length:";
  if (line.size() <= NAME.size()) return -1;
  for (size_t i = 0; i < NAME.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != NAME[i]) return -1;
  }
  line.remove_prefix(NAME.size());
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (line.empty() || line.size() > 18) return -1;  // 18 digits cannot overflow
  int64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

int SkipHttpHeaders(TDataStream& stream, int64_t* contentLength) {
  // Only the start of each line is kept: enough to read a Content-Length.
  char line[48];
  int lineLength = 0;
  int64_t declared = -1;
  auto result = [&](int value) {
    if (contentLength) *contentLength = declared;
    return value;
  };
  for (int total = 0; total < HTTP_HEADER_LIMIT; ++total) {
    uint8_t byte = 0;
    if (stream.Read(&byte, 1) != 1) return result(1);
    if (byte == 10 || byte == 0) {
      if (lineLength == 0) return result(1);
      int64_t value = ContentLength(
          std::string_view(line, std::min(lineLength, static_cast<int>(sizeof line))));
      if (value >= 0 && declared < 0) declared = value;
      lineLength = 0;
    } else if (byte != 13) {
      if (lineLength < static_cast<int>(sizeof line)) line[lineLength] = static_cast<char>(byte);
      ++lineLength;
    }
  }
  return result(0);
}

void SetHttpTimeoutMs(int ms) { httpTimeoutMs = ms; }
int HttpTimeoutMs() { return httpTimeoutMs; }

void InitNetworkModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitStreamModule();
  MakeRef<TNetworkProtocol>();
  NoteLoaderReady(u"http");
}

}  // namespace kelpora
