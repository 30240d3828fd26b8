#include "platform/port_reservations/port_reservations.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>
#include <string_view>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

constexpr std::string_view kRecordDir = "/var/lib/dovadod";
constexpr std::string_view kRecordFile = "/var/lib/dovadod/port-reservations";
constexpr std::string_view kKernelFile = "/proc/sys/net/ipv4/ip_local_reserved_ports";
constexpr std::string_view kConfDir = "/etc/sysctl.d";
constexpr std::string_view kConfFile = "/etc/sysctl.d/90-dovadod-reserved-ports.conf";
constexpr uint32_t kMaxPort = 65535;

struct Record {
  PortProtocol protocol;
  uint32_t start;
  uint32_t count;
  bool operator==(const Record&) const = default;
};

uint32_t fail(uint32_t code) {
  set_last_error(code);
  return code;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

bool read_all(int fd, std::string* out) {
  out->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool parse_number(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  while (!text.empty()) {
    size_t pos = text.find(sep);
    std::string_view part = text.substr(0, pos);
    if (!part.empty()) parts.push_back(part);
    if (pos == std::string_view::npos) break;
    text.remove_prefix(pos + 1);
  }
  return parts;
}

// Lines "udp <start> <count>" / "tcp <start> <count>"; false on anything else.
bool parse_records(std::string_view text, std::vector<Record>* records) {
  records->clear();
  for (std::string_view line : split(text, '\n')) {
    std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() != 3) return false;
    Record r{};
    if (fields[0] == "udp") {
      r.protocol = PortProtocol::kUdp;
    } else if (fields[0] == "tcp") {
      r.protocol = PortProtocol::kTcp;
    } else {
      return false;
    }
    if (!parse_number(fields[1], &r.start) || !parse_number(fields[2], &r.count)) return false;
    if (r.count == 0 || r.start > kMaxPort || r.count > kMaxPort + 1 - r.start) return false;
    records->push_back(r);
  }
  return true;
}

std::string format_records(const std::vector<Record>& records) {
  std::string out;
  for (const Record& r : records) {
    out += r.protocol == PortProtocol::kUdp ? "udp " : "tcp ";
    out += std::to_string(r.start) + " " + std::to_string(r.count) + "\n";
  }
  return out;
}

// The kernel list: "a,b-c,..." with whitespace around. Unreadable items are
// dropped rather than failing the whole call: the kernel writes the file.
std::set<uint32_t> parse_port_list(std::string_view text) {
  std::set<uint32_t> ports;
  std::string cleaned;
  for (char c : text) {
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') cleaned.push_back(c);
  }
  for (std::string_view item : split(cleaned, ',')) {
    size_t dash = item.find('-');
    uint32_t lo = 0;
    uint32_t hi = 0;
    if (dash == std::string_view::npos) {
      if (!parse_number(item, &lo)) continue;
      hi = lo;
    } else if (!parse_number(item.substr(0, dash), &lo) ||
               !parse_number(item.substr(dash + 1), &hi)) {
      continue;
    }
    if (hi > kMaxPort || lo > hi) continue;
    for (uint32_t p = lo; p <= hi; ++p) ports.insert(p);
  }
  return ports;
}

std::string format_port_list(const std::set<uint32_t>& ports) {
  std::string out;
  auto it = ports.begin();
  while (it != ports.end()) {
    uint32_t lo = *it;
    uint32_t hi = lo;
    for (++it; it != ports.end() && *it == hi + 1; ++it) hi = *it;
    if (!out.empty()) out += ',';
    out += std::to_string(lo);
    if (hi != lo) out += "-" + std::to_string(hi);
  }
  return out;
}

void add_ports(const std::vector<Record>& records, std::set<uint32_t>* ports) {
  for (const Record& r : records) {
    for (uint32_t p = r.start; p < r.start + r.count; ++p) ports->insert(p);
  }
}

bool overlaps(const Record& a, const Record& b) {
  return a.start < b.start + b.count && b.start < a.start + a.count;
}

bool read_kernel_list(std::string* text) {
  int fd = ::open(under_sysroot(kKernelFile).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return false;
    text->clear();  // a fake system root without the file: nothing reserved
    return true;
  }
  FdCloser closer(fd);
  return read_all(fd, text);
}

uint32_t write_file(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return set_last_error_from_errno(errno);
  FdCloser closer(fd);
  if (!write_all(fd, text)) return set_last_error_from_errno(errno);
  return kErrorSuccess;
}

uint32_t write_kernel_list(const std::string& list) {
  std::string path = under_sysroot(kKernelFile);
  std::string dir = path.substr(0, path.rfind('/'));
  uint32_t rc = create_directories(dir, 0755);
  if (rc != kErrorSuccess && rc != kErrorAlreadyExists) return fail(rc);
  // An empty write leaves the kernel list unchanged; a lone newline clears it.
  return write_file(path, list + "\n");
}

uint32_t write_sysctl_conf(const std::string& list, bool anything_recorded) {
  std::string path = under_root(kConfFile);
  if (!anything_recorded) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return set_last_error_from_errno(errno);
    return kErrorSuccess;
  }
  uint32_t rc = create_directories(under_root(kConfDir), 0755);
  if (rc != kErrorSuccess && rc != kErrorAlreadyExists) return fail(rc);
  return write_file(path, "net.ipv4.ip_local_reserved_ports = " + list + "\n");
}

enum class Op { kCreate, kLookup, kDelete };

uint32_t run(Op op, PortProtocol protocol, uint16_t start_net_order, uint16_t count,
             uint64_t* token) {
  Record wanted{protocol, ntohs(start_net_order), count};
  if (wanted.count == 0 || wanted.count > kMaxPort + 1 - wanted.start) {
    return fail(kErrorInvalidParameter);
  }

  uint32_t rc = kErrorSuccess;
  if (op != Op::kLookup) {
    rc = create_directories(under_root(kRecordDir), 0755);
    if (rc != kErrorSuccess && rc != kErrorAlreadyExists) return fail(rc);
  }
  std::string record_path = under_root(kRecordFile);
  int flags = (op == Op::kLookup ? O_RDONLY : O_RDWR | O_CREAT) | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(record_path.c_str(), flags, 0644);
  if (fd < 0 && op == Op::kLookup && errno == ENOENT) return fail(kErrorNotFound);
  if (fd < 0) return set_last_error_from_errno(errno);
  FdCloser closer(fd);
  if (::flock(fd, op == Op::kLookup ? LOCK_SH : LOCK_EX) != 0) {
    return set_last_error_from_errno(errno);
  }

  std::string text;
  if (!read_all(fd, &text)) return set_last_error_from_errno(errno);
  std::vector<Record> records;
  if (!parse_records(text, &records)) return fail(kErrorInvalidData);

  auto found = std::find(records.begin(), records.end(), wanted);
  if (token != nullptr) {
    *token = (static_cast<uint64_t>(protocol == PortProtocol::kTcp ? 6 : 17) << 32) |
             (static_cast<uint64_t>(wanted.start) << 16) | wanted.count;
  }
  if (op == Op::kLookup) return found == records.end() ? fail(kErrorNotFound) : kErrorSuccess;
  if (op == Op::kDelete && found == records.end()) return fail(kErrorNotFound);

  std::string kernel_text;
  if (!read_kernel_list(&kernel_text)) return set_last_error_from_errno(errno);
  std::set<uint32_t> kernel = parse_port_list(kernel_text);
  std::set<uint32_t> ours;
  add_ports(records, &ours);

  std::vector<Record> updated = records;
  if (op == Op::kCreate) {
    for (const Record& r : records) {
      if (r.protocol == protocol && overlaps(r, wanted)) return fail(kErrorSharingViolation);
    }
    for (uint32_t p = wanted.start; p < wanted.start + wanted.count; ++p) {
      if (kernel.count(p) != 0 && ours.count(p) == 0) return fail(kErrorSharingViolation);
    }
    updated.push_back(wanted);
  } else {
    updated.erase(updated.begin() + (found - records.begin()));
  }

  // Ports only our records put there go; everything else the kernel held stays.
  std::set<uint32_t> next;
  for (uint32_t p : kernel) {
    if (ours.count(p) == 0) next.insert(p);
  }
  add_ports(updated, &next);
  std::string list = format_port_list(next);

  rc = write_kernel_list(list);
  if (rc != kErrorSuccess) return rc;
  // On any later failure the previous records, kernel list and boot file are
  // put back, so a failed call changes nothing.
  auto roll_back = [&](uint32_t code) {
    if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0) write_all(fd, text);
    std::string old_list = format_port_list(kernel);
    write_kernel_list(old_list);
    write_sysctl_conf(old_list, !records.empty());
    return fail(code);
  };
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
      !write_all(fd, format_records(updated))) {
    return roll_back(win_error_from_errno(errno));
  }
  rc = write_sysctl_conf(list, !updated.empty());
  if (rc != kErrorSuccess) return roll_back(rc);
  set_last_error(kErrorSuccess);
  return kErrorSuccess;
}

}  // namespace

uint32_t create_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count, uint64_t* token) {
  return run(Op::kCreate, protocol, start_net_order, count, token);
}

uint32_t lookup_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count, uint64_t* token) {
  return run(Op::kLookup, protocol, start_net_order, count, token);
}

uint32_t delete_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count) {
  return run(Op::kDelete, protocol, start_net_order, count, nullptr);
}

std::string port_reservations_record_path() { return under_root(kRecordFile); }
std::string kernel_reserved_ports_path() { return under_sysroot(kKernelFile); }
std::string reserved_ports_sysctl_conf_path() { return under_root(kConfFile); }

}  // namespace platform
