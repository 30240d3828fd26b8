#include "client/lib/cxLog/cxRotationFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "client/lib/cxLog/cxFileUtils.h"
#include "client/lib/cxLog/cxLog.h"
#include "platform/error/win_error.h"
#include "platform/fs/open_file.h"

namespace {

std::string appendModeOf(const std::string& mode) {
  std::string out = mode.empty() ? std::string("a") : mode;
  for (char& c : out) {
    if (c == 'w') c = 'a';
  }
  return out;
}

}  // namespace

bool cxMoveFile(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  uint32_t err = platform::set_last_error_from_errno(errno);
  CXLOG("cxLog", CXLOG_WARN, "Failed to move file. %s to %s, err %d", from.c_str(), to.c_str(),
        static_cast<int>(err));
  return false;
}

cxRotationFile::cxRotationFile(int64_t maxSize, int keptFiles)
    : maxSize_(maxSize), keptFiles_(keptFiles) {}

cxRotationFile::~cxRotationFile() {
  waitForArchiveRuns();
  close();
}

bool cxRotationFile::init(const std::string& basePath, const std::string& oldPath,
                          const std::string& defaultExtension, bool keepBase) {
  basePath_.clear();
  std::string folder, stem, extension;
  bool dottedDefault = !defaultExtension.empty() && defaultExtension[0] == '.';
  if (!splitFileNameAndExtension(basePath, &folder, &stem, &extension) || stem.empty() ||
      (extension.empty() && !dottedDefault)) {
    CXLOG("cxLog", CXLOG_ERROR, "Invalid file \"%s\".", basePath.c_str());
    return false;
  }
  if (dottedDefault) extension = defaultExtension;
  basePath_ = basePath;
  oldPath_ = oldPath;
  // Each set-up begins a new file; bytes counted for an earlier one would end
  // it early.
  bytes_.store(0, std::memory_order_relaxed);
  stemPath_ = folder + stem;
  extension_ = extension;

  if (cxFileExists(oldPath_)) {
    CXLOG("cxLog", CXLOG_INFO, "cxrotation file init: tmp file is existing.");
    archive(oldPath_);
  }
  if (keepBase && cxFileExists(basePath_)) {
    CXLOG("cxLog", CXLOG_INFO, "cxrotation file init: keep base file.");
    if (cxMoveFile(basePath_, oldPath_)) archive(oldPath_);
  }
  return true;
}

FILE* cxRotationFile::open(FILE* stream, const std::string& mode) {
  reopenMode_ = mode;
  if (stream != nullptr) {
    if (stream_ != nullptr && stream_ != stream) std::fclose(stream_);
    setStream(stream);
  } else if (!mode.empty()) {
    close();
    setStream(openFile(mode.c_str()));
  }
  return stream_;
}

FILE* cxRotationFile::openFile(const char* mode) const {
  FILE* stream = platform::fopen_no_links(basePath_.c_str(), mode, createMode_.value_or(0666));
  bool writes = mode[0] != 'r' || std::strchr(mode, '+') != nullptr;
  if (stream != nullptr && createMode_ && writes) ::fchmod(fileno(stream), *createMode_);
  return stream;
}

void cxRotationFile::setStream(FILE* stream) {
  stream_ = stream;
  streamAppends_ = stream != nullptr && (::fcntl(fileno(stream), F_GETFL) & O_APPEND) != 0;
}

void cxRotationFile::close() {
  if (stream_ != nullptr) std::fclose(stream_);
  setStream(nullptr);
}

std::string cxRotationFile::archivePath(int n) const {
  return stemPath_ + "." + std::to_string(n) + extension_;
}

bool cxRotationFile::retryPending() const { return std::chrono::steady_clock::now() < retryAfter_; }

bool cxRotationFile::rotateIfNeeded(uint64_t bytesWritten, bool* rotated) {
  if (rotated != nullptr) *rotated = false;
  // A warning logged from inside the rotation comes back here.
  if (inRotation_) return true;
  if (bytesWritten > 0) {
    uint64_t total = bytes_.fetch_add(bytesWritten, std::memory_order_relaxed) + bytesWritten;
    if (total > static_cast<uint64_t>(maxSize_) && !retryPending()) rotate(rotated);
    return true;
  }
  if (basePath_.empty()) return true;
  struct stat onDisk;
  if (::stat(basePath_.c_str(), &onDisk) != 0) {
    // Deleted or moved away by someone else: start a new file there.
    if (stream_ != nullptr && errno == ENOENT) reopenForAppend();
    return true;
  }
  if (onDisk.st_size >= maxSize_) {
    if (!retryPending()) rotate(rotated);
    return true;
  }
  // Another process sharing the file may have rotated it under our stream.
  struct stat current;
  if (stream_ != nullptr && ::fstat(fileno(stream_), &current) == 0 &&
      (current.st_ino != onDisk.st_ino || current.st_dev != onDisk.st_dev)) {
    reopenForAppend();
  }
  return true;
}

void cxRotationFile::reopenForAppend() {
  close();
  setStream(openFile(appendModeOf(reopenMode_).c_str()));
}

void cxRotationFile::rotate(bool* rotated) {
  inRotation_ = true;
  close();
  if (!cxMoveFile(basePath_, oldPath_)) {
    // Reopening with the reopen mode would truncate the full file and an
    // archive run would replace the previous archive: keep appending instead
    // and try again later. The warning above may have reopened the stream.
    if (stream_ == nullptr) reopenForAppend();
    retryAfter_ = std::chrono::steady_clock::now() + retryInterval_;
    inRotation_ = false;
    return;
  }
  bytes_.store(0, std::memory_order_relaxed);
  if (!reopenMode_.empty()) setStream(openFile(reopenMode_.c_str()));
  startArchiveThread();
  inRotation_ = false;
  if (rotated != nullptr) *rotated = true;
}

void cxRotationArchiveThread::operator()() const {
  CXLOG("cxLog", CXLOG_INFO, "==> Archiving log file.");
  file_.archive(file_.oldPath_);
  CXLOG("cxLog", CXLOG_INFO, "<== Archiving log file.");
  file_.archiveThreadDone();
}

void cxRotationFile::startArchiveThread() {
  {
    std::lock_guard<std::mutex> guard(runsMutex_);
    ++runningArchives_;
  }
  cxRotationArchiveThread run(*this);
  try {
    std::thread(run).detach();
  } catch (const std::system_error& e) {
    // The file has been moved aside already; archive it on this thread rather
    // than leave it to be overwritten by the next rotation.
    CXLOG("cxLog", CXLOG_WARN, "Failed to start archive thread: %s", e.what());
    run();
  }
}

void cxRotationFile::archiveThreadDone() {
  std::lock_guard<std::mutex> guard(runsMutex_);
  --runningArchives_;
  runsDone_.notify_all();
}

void cxRotationFile::waitForArchiveRuns() {
  std::unique_lock<std::mutex> lock(runsMutex_);
  runsDone_.wait(lock, [this] { return runningArchives_ == 0; });
}

bool cxRotationFile::archive(const std::string& oldPath) {
  std::lock_guard<std::recursive_mutex> guard(archiveLock_);
  for (int n = keptFiles_ - 2; n >= 1; --n) {
    std::string from = archivePath(n);
    if (cxFileExists(from)) cxMoveFile(from, archivePath(n + 1));
  }
  // The move replaces archive 1; deleting it first would lose it whenever the
  // move then fails.
  cxMoveFile(oldPath, archivePath(1));
  return true;
}
