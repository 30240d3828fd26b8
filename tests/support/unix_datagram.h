// Unix datagram sockets for tests that play the service manager: a bound
// receiver for the notifications a service sends to `NOTIFY_SOCKET`, and a
// one-shot sender for a service's control socket. Plus two checks on log
// text that such tests share.
#ifndef TESTS_SUPPORT_UNIX_DATAGRAM_H_
#define TESTS_SUPPORT_UNIX_DATAGRAM_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class DatagramReceiver {
 public:
  // Binds a datagram socket at `path`; `ok()` is false when that failed (a
  // path too long for a socket address included).
  explicit DatagramReceiver(std::string path);
  ~DatagramReceiver();
  DatagramReceiver(const DatagramReceiver&) = delete;
  DatagramReceiver& operator=(const DatagramReceiver&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The next datagram within `timeout`, or nothing.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);
  // Reads datagrams until one contains `needle`, for at most `timeout` in
  // all; every datagram read is appended to `*seen` (when given) with "|".
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout,
               std::string* seen = nullptr);

 private:
  std::string path_;
  int fd_ = -1;
};

// Sends `text` as one datagram to the socket at `path`; true when all of it
// went.
bool SendDatagram(const std::string& path, const std::string& text);

// How often `what` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& what);

// Fails the test unless every one of `lines` occurs in `text`, in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_UNIX_DATAGRAM_H_
