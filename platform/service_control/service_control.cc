// Installation (unit files), the front of the running calls, power queries and
// the log hook.
#include "platform/service_control/service_control.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "platform/service_control/internal.h"

extern char** environ;

struct ScHandleRecord {
  bool manager = false;
  std::string name;  // services only
  uint32_t access = 0;
};

struct PowerNotifyRecord {
  SERVICE_STATUS_HANDLE recipient = nullptr;
};

namespace platform::service_control {

namespace {

// Unit files are ours, but an administrator may have edited them; nothing
// sensible is larger.
constexpr size_t kMaxUnitFile = 1 << 20;
constexpr size_t kMaxServiceName = 256;

std::mutex& hook_mutex() {
  static std::mutex mu;
  return mu;
}

LogHook& hook() {
  static LogHook h;
  return h;
}

std::mutex& backend_mutex() {
  static std::mutex mu;
  return mu;
}

ServiceControlBackend*& test_backend() {
  static ServiceControlBackend* b = nullptr;
  return b;
}

ServiceControlBackend& backend() {
  std::lock_guard<std::mutex> lock(backend_mutex());
  if (test_backend() != nullptr) return *test_backend();
  return internal::systemd_backend();
}

// Live handles; a value not in the set is stale or foreign.
std::mutex& handles_mutex() {
  static std::mutex mu;
  return mu;
}

std::set<const void*>& handles() {
  static std::set<const void*> s;
  return s;
}

template <typename T>
T* track(T* record) {
  std::lock_guard<std::mutex> lock(handles_mutex());
  handles().insert(record);
  return record;
}

bool live(const void* record) {
  std::lock_guard<std::mutex> lock(handles_mutex());
  return handles().count(record) != 0;
}

bool untrack(const void* record) {
  std::lock_guard<std::mutex> lock(handles_mutex());
  return handles().erase(record) != 0;
}

bool fail(uint32_t error) {
  set_last_error(error);
  return false;
}

bool empty_text(const char* text) { return text == nullptr || *text == '\0'; }

// Plain systemd unit names: letters, digits and ":_.-"; no "@" (templates)
// and no escapes.
bool valid_service_name(const char* name) {
  if (empty_text(name)) return false;
  size_t n = std::strlen(name);
  if (n > kMaxServiceName) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = name[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == ':' || c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// A unit value must stay on its line: no control characters, and no final
// backslash, which would continue it on the next.
bool valid_unit_value(const char* text) {
  if (text == nullptr) return false;
  size_t n = std::strlen(text);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return n == 0 || text[n - 1] != '\\';
}

// systemd expands "%" specifiers in both values, and "$" variables and C
// escapes in the command line.
std::string escape_description(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '%') out += '%';
    out += *p;
  }
  return out;
}

std::string escape_command(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '%' || *p == '$' || *p == '\\') out += *p;
    out += *p;
  }
  return out;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// [first line after the header, end) of `section`; false when absent.
bool find_section(const std::vector<std::string>& lines, const std::string& section, size_t* begin,
                  size_t* end) {
  std::string header = "[" + section + "]";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != header) continue;
    size_t j = i + 1;
    while (j < lines.size() && (lines[j].empty() || lines[j][0] != '[')) ++j;
    *begin = i + 1;
    *end = j;
    return true;
  }
  return false;
}

bool is_key_line(const std::string& line, const std::string& key) {
  return line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
         line[key.size()] == '=';
}

// Replaces the key's line in its section, or adds it after the section's last
// non-blank line (adding the section when missing); edits of an
// administrator elsewhere stay.
void set_key(std::vector<std::string>* lines, const std::string& section, const std::string& key,
             const std::string& value) {
  std::string line = key + "=" + value;
  size_t begin = 0;
  size_t end = 0;
  if (!find_section(*lines, section, &begin, &end)) {
    if (!lines->empty() && !lines->back().empty()) lines->push_back("");
    lines->push_back("[" + section + "]");
    lines->push_back(line);
    return;
  }
  for (size_t i = begin; i < end; ++i) {
    if (!is_key_line((*lines)[i], key)) continue;
    (*lines)[i] = line;
    return;
  }
  size_t at = end;
  while (at > begin && (*lines)[at - 1].empty()) --at;
  lines->insert(lines->begin() + static_cast<long>(at), line);
}

void remove_key(std::vector<std::string>* lines, const std::string& section,
                const std::string& key) {
  size_t begin = 0;
  size_t end = 0;
  if (!find_section(*lines, section, &begin, &end)) return;
  for (size_t i = end; i > begin; --i) {
    if (is_key_line((*lines)[i - 1], key)) lines->erase(lines->begin() + static_cast<long>(i - 1));
  }
}

// 0 and the text, or the Windows error (1060 when the file is gone).
uint32_t read_unit(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return ERROR_SERVICE_DOES_NOT_EXIST;
    return win_error_from_errno(errno);
  }
  text->clear();
  char buf[4096];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      uint32_t err = win_error_from_errno(errno);
      close(fd);
      return err;
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > kMaxUnitFile) {
      close(fd);
      return kErrorInvalidParameter;
    }
  }
  close(fd);
  return 0;
}

// Writes `text` to a new temporary file beside `path`; 0 and its name, or the
// error (nothing left behind).
uint32_t write_temp(const std::string& path, const std::string& text, std::string* tempPath) {
  std::string dir = path.substr(0, path.rfind('/'));
  uint32_t err = create_directories(dir, 0755);
  if (err != 0 && err != kErrorAlreadyExists) return err;
  std::string name = path + ".XXXXXX";
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  int fd = mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) return win_error_from_errno(errno);
  *tempPath = templ.data();
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<size_t>(n);
  }
  int saved = errno;
  bool ok = done == text.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  if (!ok) saved = errno;
  close(fd);
  if (ok) return 0;
  unlink(tempPath->c_str());
  return win_error_from_errno(saved != 0 ? saved : EIO);
}

uint32_t replace_unit(const std::string& path, const std::string& text) {
  std::string temp;
  uint32_t err = write_temp(path, text, &temp);
  if (err != 0) return err;
  if (rename(temp.c_str(), path.c_str()) == 0) return 0;
  err = win_error_from_errno(errno);
  unlink(temp.c_str());
  return err;
}

// Only a manager on this machine's own root changes what systemd runs.
bool real_root() {
  std::string r = root();
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r == "/";
}

void reload_systemd() {
  if (!real_root()) return;
  char arg0[] = "systemctl";
  char arg1[] = "daemon-reload";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ);
  if (rc != 0) {
    internal::log(3, "systemctl daemon-reload could not be started: %s", std::strerror(rc));
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    internal::log(3, "systemctl daemon-reload failed (status %d)", status);
  }
}

ScHandleRecord* checked(SC_HANDLE handle, bool manager) {
  if (handle == nullptr || !live(handle) || handle->manager != manager) {
    set_last_error(kErrorInvalidHandle);
    return nullptr;
  }
  return handle;
}

std::string seconds_text(uint32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000);
  return std::to_string(ms) + "ms";
}

}  // namespace

namespace internal {

void log(int level, const char* format, ...) {
  LogHook h;
  {
    std::lock_guard<std::mutex> lock(hook_mutex());
    h = hook();
  }
  if (!h) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  h(level, text);
}

}  // namespace internal

void set_log_hook(LogHook h) {
  std::lock_guard<std::mutex> lock(hook_mutex());
  hook() = std::move(h);
}

void set_backend(ServiceControlBackend* b) {
  std::lock_guard<std::mutex> lock(backend_mutex());
  test_backend() = b;
}

std::string unit_path(std::string_view serviceName) {
  return join(under_root("/etc/systemd/system/"), std::string(serviceName) + ".service");
}

std::string control_socket_path(std::string_view serviceName) {
  return join(under_root("/run/dovadod/"), std::string(serviceName) + ".ctl");
}

uint32_t inject_control(uint32_t control, uint32_t eventType, void* eventData, uint32_t* result) {
  return backend().inject_control(control, eventType, eventData, result);
}

}  // namespace platform::service_control

namespace sc = platform::service_control;
using platform::set_last_error;

SC_HANDLE OpenSCManager(const char* machine, const char* database, uint32_t access) {
  if (!sc::empty_text(machine) || !sc::empty_text(database)) {
    set_last_error(platform::kErrorInvalidParameter);
    return nullptr;
  }
  auto* record = new ScHandleRecord;
  record->manager = true;
  record->access = access;
  return sc::track(record);
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, uint32_t access) {
  if (sc::checked(manager, true) == nullptr) return nullptr;
  if (!sc::valid_service_name(serviceName)) {
    set_last_error(ERROR_INVALID_NAME);
    return nullptr;
  }
  struct stat st;
  if (lstat(sc::unit_path(serviceName).c_str(), &st) != 0) {
    set_last_error(errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST
                                   : platform::win_error_from_errno(errno));
    return nullptr;
  }
  auto* record = new ScHandleRecord;
  record->name = serviceName;
  record->access = access;
  return sc::track(record);
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName,
                        uint32_t access, uint32_t serviceType, uint32_t startType,
                        uint32_t /*errorControl*/, const char* binaryPathName,
                        const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password) {
  ScHandleRecord* m = sc::checked(manager, true);
  if (m == nullptr) return nullptr;
  if ((m->access & SC_MANAGER_CREATE_SERVICE) == 0) {
    set_last_error(platform::kErrorAccessDenied);
    return nullptr;
  }
  if (!sc::valid_service_name(serviceName)) {
    set_last_error(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (serviceType != SERVICE_WIN32_OWN_PROCESS || sc::empty_text(binaryPathName) ||
      !sc::valid_unit_value(binaryPathName) ||
      (displayName != nullptr && !sc::valid_unit_value(displayName))) {
    set_last_error(platform::kErrorInvalidParameter);
    return nullptr;
  }
  // Enabling a unit is the administrator's decision, and a different account
  // or dependencies would need more than this unit says.
  if ((startType != SERVICE_DEMAND_START && startType != SERVICE_DISABLED) ||
      !sc::empty_text(loadOrderGroup) || tagId != nullptr || !sc::empty_text(dependencies) ||
      !sc::empty_text(serviceStartName) || !sc::empty_text(password)) {
    set_last_error(platform::kErrorNotSupported);
    return nullptr;
  }

  std::string text =
      "[Unit]\nDescription=" +
      sc::escape_description(sc::empty_text(displayName) ? serviceName : displayName) +
      "\n\n[Service]\nType=notify\nExecStart=" + sc::escape_command(binaryPathName) +
      "\n\n[Install]\nWantedBy=multi-user.target\n";
  std::string path = sc::unit_path(serviceName);
  std::string temp;
  uint32_t err = sc::write_temp(path, text, &temp);
  if (err != 0) {
    set_last_error(err);
    return nullptr;
  }
  // link() refuses an existing name, so two installers cannot both win.
  int rc = link(temp.c_str(), path.c_str());
  int saved = errno;
  unlink(temp.c_str());
  if (rc != 0) {
    set_last_error(saved == EEXIST ? ERROR_SERVICE_EXISTS : platform::win_error_from_errno(saved));
    return nullptr;
  }
  sc::reload_systemd();
  auto* record = new ScHandleRecord;
  record->name = serviceName;
  record->access = access;
  return sc::track(record);
}

bool ChangeServiceConfig2(SC_HANDLE service, uint32_t infoLevel, const void* info) {
  ScHandleRecord* s = sc::checked(service, false);
  if (s == nullptr) return false;
  if ((s->access & SERVICE_CHANGE_CONFIG) == 0) return sc::fail(platform::kErrorAccessDenied);
  if (info == nullptr) return sc::fail(platform::kErrorInvalidParameter);

  std::string path = sc::unit_path(s->name);
  std::string text;
  uint32_t err = sc::read_unit(path, &text);
  if (err != 0) return sc::fail(err);
  std::vector<std::string> lines = sc::split_lines(text);

  if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
    const char* description = static_cast<const SERVICE_DESCRIPTION*>(info)->lpDescription;
    // A null description leaves it unchanged.
    if (description == nullptr) return true;
    if (!sc::valid_unit_value(description)) return sc::fail(platform::kErrorInvalidParameter);
    sc::set_key(&lines, "Unit", "Description", sc::escape_description(description));
  } else if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* actions = static_cast<const SERVICE_FAILURE_ACTIONS*>(info);
    if (actions->cActions != 0 && actions->lpsaActions == nullptr) {
      return sc::fail(platform::kErrorInvalidParameter);
    }
    if (!sc::empty_text(actions->lpRebootMsg) || !sc::empty_text(actions->lpCommand)) {
      return sc::fail(platform::kErrorNotSupported);
    }
    uint32_t restarts = 0;
    uint32_t firstDelay = 0;
    for (uint32_t i = 0; i < actions->cActions; ++i) {
      const SC_ACTION& a = actions->lpsaActions[i];
      if (a.Type == SC_ACTION_REBOOT || a.Type == SC_ACTION_RUN_COMMAND) {
        return sc::fail(platform::kErrorNotSupported);
      }
      if (a.Type != SC_ACTION_NONE && a.Type != SC_ACTION_RESTART) {
        return sc::fail(platform::kErrorInvalidParameter);
      }
      if (a.Type != SC_ACTION_RESTART) continue;
      if (restarts == 0) firstDelay = a.Delay;
      ++restarts;
    }
    if (restarts == 0) {
      sc::set_key(&lines, "Service", "Restart", "no");
      sc::remove_key(&lines, "Service", "RestartSec");
      sc::remove_key(&lines, "Unit", "StartLimitIntervalSec");
      sc::remove_key(&lines, "Unit", "StartLimitBurst");
    } else {
      // The first start counts against the limit too: n restarts allow n + 1
      // starts within the reset period.
      std::string interval = actions->dwResetPeriod == SERVICE_NO_RESET_PERIOD
                                 ? "infinity"
                                 : std::to_string(actions->dwResetPeriod);
      sc::set_key(&lines, "Unit", "StartLimitIntervalSec", interval);
      sc::set_key(&lines, "Unit", "StartLimitBurst", std::to_string(restarts + 1));
      sc::set_key(&lines, "Service", "Restart", "always");
      sc::set_key(&lines, "Service", "RestartSec", sc::seconds_text(firstDelay));
    }
  } else {
    return sc::fail(platform::kErrorInvalidParameter);
  }

  err = sc::replace_unit(path, sc::join_lines(lines));
  if (err != 0) return sc::fail(err);
  return true;
}

bool DeleteService(SC_HANDLE service) {
  ScHandleRecord* s = sc::checked(service, false);
  if (s == nullptr) return false;
  if ((s->access & DELETE) == 0) return sc::fail(platform::kErrorAccessDenied);
  if (unlink(sc::unit_path(s->name).c_str()) != 0) {
    return sc::fail(errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST
                                    : platform::win_error_from_errno(errno));
  }
  sc::reload_systemd();
  return true;
}

bool CloseServiceHandle(SC_HANDLE handle) {
  if (handle == nullptr || !sc::untrack(handle)) return sc::fail(platform::kErrorInvalidHandle);
  delete handle;
  return true;
}

bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* serviceTable) {
  return sc::backend().start_dispatcher(serviceTable);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char* serviceName,
                                                   LPHANDLER_FUNCTION_EX handler, void* context) {
  return sc::backend().register_handler(serviceName, handler, context);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  return sc::backend().set_status(handle, status);
}

bool GetSystemPowerCapabilities(SYSTEM_POWER_CAPABILITIES* capabilities) {
  if (capabilities == nullptr) return sc::fail(platform::kErrorInvalidParameter);
  *capabilities = SYSTEM_POWER_CAPABILITIES{};
  return true;
}

HPOWERNOTIFY RegisterPowerSettingNotification(SERVICE_STATUS_HANDLE recipient, const GUID* setting,
                                              uint32_t flags) {
  if (recipient == nullptr || setting == nullptr || flags != DEVICE_NOTIFY_SERVICE_HANDLE) {
    set_last_error(platform::kErrorInvalidParameter);
    return nullptr;
  }
  auto* record = new PowerNotifyRecord;
  record->recipient = recipient;
  return sc::track(record);
}

bool UnregisterPowerSettingNotification(HPOWERNOTIFY notification) {
  if (notification == nullptr || !sc::untrack(notification)) {
    return sc::fail(platform::kErrorInvalidHandle);
  }
  delete notification;
  return true;
}
