#include "http/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "platform/byte_scan.h"
#include "platform/utf8.h"

namespace velmora::http {

namespace {

std::string errorText(int errorNumber) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in the buffer.
  return strerror_r(errorNumber, buffer, sizeof buffer);
}

// Whether every byte is printable ASCII (32..126) or a tab, tested eight at a time.
bool isPlainAscii(const uint8_t* bytes, std::size_t count) {
  namespace scan = platform::byte_scan;
  const std::string_view text(reinterpret_cast<const char*>(bytes), count);
  return scan::findFirst(text, 0, [](uint64_t word) {
           return scan::bytesFrom128(word) | scan::bytesBelow(word, 32);
         }) == count;
}

// Appends raw line bytes without their CR LF (or bare LF), the rest read as Latin-1; false at a
// control byte other than tab (a CR inside the line included), which two readers of the same
// bytes would take differently (RFC 9112 section 2.2). A line is nearly always printable ASCII,
// which goes in one append.
bool appendLineBytes(std::string& out, const uint8_t* bytes, std::size_t count, bool ends) {
  std::size_t plain = count;
  if (ends) {
    --plain;  // the line feed
    if (plain > 0 && bytes[plain - 1] == '\r') --plain;
  }
  if (isPlainAscii(bytes, plain)) {
    out.append(reinterpret_cast<const char*>(bytes), plain);
    return true;
  }
  for (std::size_t i = 0; i < plain; ++i) {
    if (bytes[i] == 127 || (bytes[i] < 32 && bytes[i] != '\t')) return false;
    platform::appendUtf8(out, bytes[i]);  // Latin-1: byte = code point
  }
  return true;
}

timeval toTimeval(std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return value;
}

// sendfile() cannot be told MSG_NOSIGNAL: sending to a peer that has gone raises SIGPIPE, whose
// default action ends the whole process. While alive, this keeps SIGPIPE blocked on the calling
// thread; at the end it discards the one a write raised here and restores the thread's mask.
class SigPipeBlocked {
 public:
  SigPipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    wasPending_ = isPending();
  }
  ~SigPipeBlocked() {
    const int savedErrno = errno;
    if (!wasPending_ && isPending()) {
      const timespec noWait{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = savedErrno;
  }
  SigPipeBlocked(const SigPipeBlocked&) = delete;
  SigPipeBlocked& operator=(const SigPipeBlocked&) = delete;

 private:
  static bool isPending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
  }

  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

}  // namespace

SocketError::SocketError(Case kind, std::string message, int errorNumber)
    : kind_(kind), message_(std::move(message)), errorNumber_(errorNumber) {
  description_ = caseName(kind_);
  if (kind_ != Case::convertingPeerNameFailed) description_ += "(\"" + message_ + "\")";
}

SocketError SocketError::fromErrno(Case kind, std::string_view prefix) {
  const int number = errno;
  return SocketError(kind, std::string(prefix) + errorText(number), number);
}

const char* SocketError::caseName(Case kind) {
  switch (kind) {
    case Case::socketCreationFailed:
      return "socketCreationFailed";
    case Case::socketSettingReUseAddrFailed:
      return "socketSettingReUseAddrFailed";
    case Case::bindFailed:
      return "bindFailed";
    case Case::listenFailed:
      return "listenFailed";
    case Case::writeFailed:
      return "writeFailed";
    case Case::getPeerNameFailed:
      return "getPeerNameFailed";
    case Case::getNameInfoFailed:
      return "getNameInfoFailed";
    case Case::acceptFailed:
      return "acceptFailed";
    case Case::recvFailed:
      return "recvFailed";
    case Case::getSockNameFailed:
      return "getSockNameFailed";
    case Case::convertingPeerNameFailed:
      return "convertingPeerNameFailed";
  }
  return "unknown";
}

std::string Errno::currentMessage() {
  return errorText(errno);
}

Socket::Socket(int32_t socketFileDescriptor) : socketFileDescriptor_(socketFileDescriptor) {}

Socket::~Socket() {
  close();
}

bool Socket::isShutdown() const {
  std::lock_guard lock(closeMutex_);
  return shutdown_;
}

Socket::WriteUse::WriteUse(Socket& socket) : socket_(socket) {
  std::lock_guard lock(socket_.closeMutex_);
  if (socket_.shutdown_) {
    errno = EBADF;
    throw SocketError::fromErrno(SocketError::Case::writeFailed);
  }
  ++socket_.writers_;
}

Socket::WriteUse::~WriteUse() {
  std::lock_guard lock(socket_.closeMutex_);
  if (--socket_.writers_ == 0) socket_.writesEnded_.notify_all();
}

void Socket::close() {
  std::unique_lock lock(closeMutex_);
  if (shutdown_) return;
  shutdown_ = true;
  if (socketFileDescriptor_ < 0) return;
  // A write blocked on a full buffer would keep the number for the whole send timeout.
  if (writers_ > 0) ::shutdown(socketFileDescriptor_, SHUT_RDWR);
  writesEnded_.wait(lock, [this] { return writers_ == 0; });
  ::close(socketFileDescriptor_);
}

void Socket::shutdownConnection() {
  // Under the same lock as close(), so the descriptor number cannot have been released (and
  // handed to a newer connection) while we shut it down.
  std::lock_guard lock(closeMutex_);
  if (shutdown_ || socketFileDescriptor_ < 0) return;
  ::shutdown(socketFileDescriptor_, SHUT_RDWR);
}

sockaddr_storage Socket::localAddress() const {
  // Under the lock of close(): a released descriptor number may already name another socket.
  std::lock_guard lock(closeMutex_);
  if (shutdown_) errno = EBADF;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (shutdown_ ||
      getsockname(socketFileDescriptor_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw SocketError::fromErrno(SocketError::Case::getSockNameFailed);
  }
  return address;
}

uint16_t Socket::port() const {
  const sockaddr_storage address = localAddress();
  // The port sits at the same place in both address families.
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

bool Socket::isIPv4() const {
  return localAddress().ss_family == AF_INET;
}

void Socket::writeText(std::string_view text, bool more) {
  writeRaw(reinterpret_cast<const uint8_t*>(text.data()), text.size(), more);
}

void Socket::writeBytes(std::span<const uint8_t> bytes, bool more) {
  writeRaw(bytes.data(), bytes.size(), more);
}

void Socket::writeData(const void* bytes, std::size_t length, bool more) {
  writeRaw(static_cast<const uint8_t*>(bytes), length, more);
}

void Socket::writeRaw(const uint8_t* bytes, std::size_t length, bool more) {
  const WriteUse use(*this);
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t result = ::send(socketFileDescriptor_, bytes + sent, length - sent, flags);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) throw SocketError::fromErrno(SocketError::Case::writeFailed);
    sent += static_cast<std::size_t>(result);
  }
}

void Socket::writeVectored(std::string_view head, std::span<const uint8_t> body) {
  const WriteUse use(*this);
  iovec pieces[2] = {{const_cast<char*>(head.data()), head.size()},
                     {const_cast<uint8_t*>(body.data()), body.size()}};
  iovec* next = pieces;
  std::size_t count = 2;
  while (count > 0 && next->iov_len == 0) {
    ++next;
    --count;
  }
  while (count > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = count;
    const ssize_t result = ::sendmsg(socketFileDescriptor_, &message, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) throw SocketError::fromErrno(SocketError::Case::writeFailed);
    // Step over what went out, which may end inside either piece.
    auto sent = static_cast<std::size_t>(result);
    while (count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
}

Socket::FileTransfer Socket::writeFile(const File& file, uint64_t limit) {
  const WriteUse use(*this);
  const int in = fileno(file.pointer());
  struct stat status {};
  if (fstat(in, &status) != 0) {
    throw SocketError::fromErrno(SocketError::Case::writeFailed, "sendfile: ");
  }
  const off_t end =
      static_cast<off_t>(std::min<uint64_t>(static_cast<uint64_t>(status.st_size), limit));
  const SigPipeBlocked quiet;
  off_t offset = 0;
  while (offset < end) {
    const ssize_t result =
        ::sendfile(socketFileDescriptor_, in, &offset, static_cast<std::size_t>(end - offset));
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) throw SocketError::fromErrno(SocketError::Case::writeFailed, "sendfile: ");
    if (result == 0) break;  // the file shrank while we sent it
  }
  return {static_cast<uint64_t>(offset), static_cast<uint64_t>(status.st_size)};
}

std::size_t Socket::receive(uint8_t* into, std::size_t capacity) {
  for (;;) {
    if (readDeadline_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *readDeadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        errno = ETIMEDOUT;
        throw SocketError::fromErrno(SocketError::Case::recvFailed);
      }
      pollfd readable{socketFileDescriptor_, POLLIN, 0};
      const int ready = ::poll(&readable, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
      if (ready < 0 && errno != EINTR) throw SocketError::fromErrno(SocketError::Case::recvFailed);
      if (ready <= 0) continue;  // the deadline is checked again
    }
    const ssize_t result = ::recv(socketFileDescriptor_, into, capacity, 0);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      if (result == 0) errno = ECONNRESET;
      throw SocketError::fromErrno(SocketError::Case::recvFailed);
    }
    const auto received = static_cast<std::size_t>(result);
    if (readDeadline_ && readBytesPerSecond_ > 0) {
      const auto earned = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(static_cast<double>(received) / readBytesPerSecond_));
      *readDeadline_ =
          std::min(*readDeadline_ + earned, std::chrono::steady_clock::now() + readAllowance_);
    }
    return received;
  }
}

void Socket::limitReadTime(std::chrono::milliseconds allowance, uint32_t bytesPerSecond) {
  readDeadline_ = std::chrono::steady_clock::now() + allowance;
  readAllowance_ = allowance;
  readBytesPerSecond_ = bytesPerSecond;
}

void Socket::fillBuffer() {
  // Not zeroed: an idle connection then holds only the pages its requests touched.
  if (!readBuffer_) readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(kReadBufferSize);
  readBegin_ = 0;
  readEnd_ = 0;
  readEnd_ = receive(readBuffer_.get(), kReadBufferSize);
}

void Socket::waitForBytes() {
  if (readBegin_ == readEnd_) fillBuffer();
}

uint8_t Socket::readByte() {
  if (readBegin_ == readEnd_) fillBuffer();
  return readBuffer_[readBegin_++];
}

std::vector<uint8_t> Socket::readBytes(std::size_t count) {
  std::vector<uint8_t> result;
  appendBytes(result, count);
  return result;
}

void Socket::appendBytes(std::vector<uint8_t>& bytes, std::size_t count) {
  // Through the read buffer, so that the vector grows with what arrives, never ahead of it to a
  // length the peer only announced.
  const std::size_t end = bytes.size() + count;
  while (bytes.size() < end) {
    if (readBegin_ == readEnd_) fillBuffer();
    const std::size_t take = std::min(end - bytes.size(), readEnd_ - readBegin_);
    bytes.insert(bytes.end(), readBuffer_.get() + readBegin_,
                 readBuffer_.get() + readBegin_ + take);
    readBegin_ += take;
  }
}

Socket::LineRead Socket::readLine(std::string& line, std::size_t maxBytes, std::size_t& rawBytes) {
  line.clear();
  rawBytes = 0;
  bool heldReturn = false;  // a piece ended in CR, which only a line feed may follow
  for (;;) {
    if (readBegin_ == readEnd_) fillBuffer();
    const uint8_t* begin = readBuffer_.get() + readBegin_;
    if (heldReturn) {
      if (*begin != '\n') return LineRead::controlByte;
      ++readBegin_;
      ++rawBytes;
      return LineRead::line;
    }
    const std::size_t available = readEnd_ - readBegin_;
    const auto* newline = static_cast<const uint8_t*>(std::memchr(begin, '\n', available));
    const std::size_t take = newline ? static_cast<std::size_t>(newline - begin) + 1 : available;
    const std::size_t lineBytes = rawBytes + (newline ? take - 1 : take);
    if (lineBytes > maxBytes) return LineRead::tooLong;
    heldReturn = !newline && begin[take - 1] == '\r';
    if (!appendLineBytes(line, begin, take - (heldReturn ? 1 : 0), newline != nullptr)) {
      return LineRead::controlByte;
    }
    rawBytes += take;
    readBegin_ += take;
    if (newline) return LineRead::line;
  }
}

void Socket::lingerBeforeClose(std::chrono::milliseconds allowance, std::size_t maxBytes) {
  {
    std::lock_guard lock(closeMutex_);
    if (shutdown_ || socketFileDescriptor_ < 0) return;
    ::shutdown(socketFileDescriptor_, SHUT_WR);
  }
  limitReadTime(allowance);
  try {
    for (std::size_t dropped = readEnd_ - readBegin_; dropped < maxBytes;) {
      fillBuffer();
      dropped += readEnd_ - readBegin_;
    }
  } catch (const SocketError&) {  // the peer closed, or the time is up
  }
  readBegin_ = readEnd_;
  unlimitReadTime();
}

const std::string& Socket::peerAddress() {
  if (peerAddress_) return *peerAddress_;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(socketFileDescriptor_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw SocketError::fromErrno(SocketError::Case::getPeerNameFailed);
  }
  char host[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    throw SocketError::fromErrno(SocketError::Case::getNameInfoFailed);
  }
  peerAddress_ = host;
  return *peerAddress_;
}

std::shared_ptr<Socket> Socket::acceptClient() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int client = ::accept4(socketFileDescriptor_, reinterpret_cast<sockaddr*>(&address),
                                 &length, SOCK_CLOEXEC);
    if (client < 0 && errno == EINTR) continue;
    if (client < 0) throw SocketError::fromErrno(SocketError::Case::acceptFailed);
    disableSigPipe(client);
    auto socket = std::make_shared<Socket>(client);
    // The peer comes with the connection: no getpeername() later. A numeric host needs no
    // lookup; should it fail anyway, peerAddress() asks the socket itself.
    char host[NI_MAXHOST];
    if (length <= sizeof address && getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host,
                                                sizeof host, nullptr, 0, NI_NUMERICHOST) == 0) {
      socket->peerAddress_ = host;
    }
    return socket;
  }
}

void Socket::setReceiveTimeout(std::chrono::milliseconds timeout) {
  const timeval value = toTimeval(timeout);
  setsockopt(socketFileDescriptor_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

void Socket::setSendTimeout(std::chrono::milliseconds timeout) {
  const timeval value = toTimeval(timeout);
  setsockopt(socketFileDescriptor_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

void Socket::setNoDelay() {
  const int one = 1;
  setsockopt(socketFileDescriptor_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::shared_ptr<Socket> Socket::listeningSocket(uint16_t port, bool ipv4Only, int32_t backlog,
                                                const std::optional<std::string>& listenAddress) {
  const int descriptor = ::socket(ipv4Only ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) throw SocketError::fromErrno(SocketError::Case::socketCreationFailed);

  // The error text is taken before the descriptor is closed.
  auto fail = [descriptor](SocketError::Case kind) {
    SocketError error = SocketError::fromErrno(kind);
    ::close(descriptor);
    return error;
  };

  const int one = 1;
  if (setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1) {
    throw fail(SocketError::Case::socketSettingReUseAddrFailed);
  }
  disableSigPipe(descriptor);

  int bound;
  if (ipv4Only) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listenAddress) inet_pton(AF_INET, listenAddress->c_str(), &address.sin_addr);
    bound = ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    if (listenAddress) inet_pton(AF_INET6, listenAddress->c_str(), &address.sin6_addr);
    bound = ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (bound == -1) throw fail(SocketError::Case::bindFailed);
  if (::listen(descriptor, backlog) == -1) throw fail(SocketError::Case::listenFailed);
  return std::make_shared<Socket>(descriptor);
}

void Socket::disableSigPipe(int32_t) {}

void Socket::closeDescriptor(int32_t descriptor) {
  ::close(descriptor);
}

bool Socket::peerHasClosed() const {
  // Under the lock of close(), so that a released descriptor number is never polled.
  std::lock_guard lock(closeMutex_);
  if (shutdown_ || socketFileDescriptor_ < 0) return true;
  pollfd entry{socketFileDescriptor_, POLLIN | POLLRDHUP, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
  if ((entry.revents & POLLIN) == 0) return false;
  // Readable: the end of the stream, or bytes of a next request (then it is still there).
  char byte = 0;
  const ssize_t peeked = ::recv(socketFileDescriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool Socket::hasPendingConnection() const {
  std::lock_guard lock(closeMutex_);
  if (shutdown_ || socketFileDescriptor_ < 0) return false;
  pollfd entry{socketFileDescriptor_, POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace velmora::http
