// IPv4 TCP and UDP sockets, host-name look-ups, a stream over a connected
// socket, and the "tcp" and "http" URL protocols.
#pragma once

#include <cstdint>

#include "runtime/array.h"
#include "runtime/errors.h"
#include "stream/stream.h"

namespace kelpora {

// Kept for callers that catch it; nothing here raises it.
class TSocketError : public TRuntimeError {
 public:
  TSocketError() : TRuntimeError(u"Internal socket error") {}
};

// A socket descriptor with its local and peer addresses (IPv4 as a 32-bit
// number, first byte most significant; ports in host order). No operation
// raises: failures give 0 or none. Sending never raises SIGPIPE, a dead peer
// shows as a 0 result. Waits have no descriptor-number limit. A socket with
// `autoClose` closes its descriptor when closed or dropped.
class TSocket : public TObject {
 public:
  ~TSocket() override;

  // Bytes moved, 0 on failure (negative counts move nothing).
  virtual int Send(const void* buf, int count, int flags);
  virtual int Recv(void* buf, int count, int flags);
  // Sets handle and the four address fields to -1.
  virtual void Close();
  // 0 once the peer has closed (the socket is then closed too), else 1.
  virtual int Connected();
  virtual int Bind(int port);
  virtual int Connect(int ip, int port);
  virtual int Listen(int backlog);
  // Waits at most `timeoutMs` (negative: no limit) for a connection.
  virtual Ref<TSocket> Accept(int timeoutMs);
  // Bytes waiting to be received, 0 on failure.
  virtual int ReadAvail();
  virtual void SetTcpNoDelay(int flag);
  virtual int Handle();
  virtual int LocalIp();
  virtual int LocalPort();
  virtual int RemoteIp();
  virtual int RemotePort();
  // Ask the system again; both fields become 0 when it cannot say.
  virtual void UpdateLocalName();
  virtual void UpdateRemoteName();

  // None for a negative handle.
  static Ref<TSocket> Create(int handle, int autoClose);
  static Ref<TSocket> CreateUdp();
  static Ref<TSocket> CreateTcp();

  int handle = -1;
  int autoClose = 0;
  int localIp = 0;
  int localPort = 0;
  int remoteIp = 0;
  int remotePort = 0;
};

// A stream over a connected socket; it has no position. Eof is 1 once the
// peer has closed and nothing is left to read. Closing closes the socket when
// `autoClose` is set, and lets go of it either way.
class TSocketStream : public TDataStream {
 public:
  ~TSocketStream() override;
  int Eof() override;
  int Close() override;
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;

  // None for none.
  static Ref<TSocketStream> Create(Ref<TSocket> socket, int autoClose);

  Ref<TSocket> socket;
  int autoClose = 0;
};

Ref<TSocket> CreateUdpSocket();
Ref<TSocket> CreateTcpSocket();
// Every IPv4 address of `name`, in the resolver's order; empty when unknown.
Ref<TArray<int>> HostIps(std::u16string_view name);
// Entry `index` of HostIps, 0 when there is none.
int HostIp(std::u16string_view name, int index = 0);
// The reverse look-up of `ip`, empty when there is none.
String HostName(int ip);
String DottedIp(int ip);
// None when the host is unknown, the port is outside 1 to 65535 or the
// connection is refused.
Ref<TSocketStream> OpenTcpStream(std::u16string_view host, int port);

// Reads an HTTP response header block up to and including its empty line,
// leaving `stream` at the start of the body. A block longer than
// HTTP_HEADER_LIMIT bytes gives 0; a stream that ends first gives 1.
// `contentLength`, when given, receives the first Content-Length value, or -1.
constexpr int HTTP_HEADER_LIMIT = 64 * 1024;
int SkipHttpHeaders(TDataStream& stream, int64_t* contentLength = nullptr);

// Opening an "http" URL (connect, request and response headers) must finish
// within this many milliseconds or gives none; afterwards each read of the
// body waits at most as long for bytes, and a stalled read moves nothing (so
// ReadFully raises TStreamReadError). 0 or less: no limit. 10000 at start.
// The host-name look-up is not limited. The body stream's Size is the
// declared Content-Length (0 when none); like any socket stream it has no
// position.
void SetHttpTimeoutMs(int ms);
int HttpTimeoutMs();

// Registers the "tcp" and "http" protocols.
void InitNetworkModule();

}  // namespace kelpora
