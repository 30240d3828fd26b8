#include "tests/support/unix_datagram.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace testing_support {
namespace {

bool FillAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

DatagramReceiver::DatagramReceiver(std::string path) : path_(std::move(path)) {
  sockaddr_un address;
  if (!FillAddress(path_, &address)) return;
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

DatagramReceiver::~DatagramReceiver() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(path_.c_str());
}

std::optional<std::string> DatagramReceiver::Receive(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  char buffer[4096];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

bool DatagramReceiver::WaitFor(const std::string& needle, std::chrono::milliseconds timeout,
                               std::string* seen) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::optional<std::string> message = Receive(left);
    if (!message) return false;
    if (seen != nullptr) *seen += *message + "|";
    if (message->find(needle) != std::string::npos) return true;
  }
}

bool SendDatagram(const std::string& path, const std::string& text) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t n = ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address);
  ::close(fd);
  return n == static_cast<ssize_t>(text.size());
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t from = 0;
  for (const std::string& line : lines) {
    size_t at = text.find(line, from);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << text;
    from = at + line.size();
  }
}

}  // namespace testing_support
