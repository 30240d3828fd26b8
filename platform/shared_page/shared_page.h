// A named shared-memory page ("Global\shmroutestats",
// "Global\shmgraphpathstats") that another local process reads.
//
// The page is the file $DOVADOD_ROOT/run/dovadod/global/<name>.shm ("Global\"
// and "Local\" prefixes dropped, as for named events), 4096 bytes, mapped
// MAP_SHARED so that a reader who maps or reads the file sees every write.
// When absent it is created with mode 0644 and sized, and `created()` says
// so (the caller zero-fills it). An existing page is used as it is, but only
// a regular file of exactly 4096 bytes with one name, opened without
// following links: anything else planted in the shared folder is refused
// with 6, so this process never writes through a link into another file,
// and a page another account owns (which it could truncate under the
// mapping) is refused with 5.
//
// Errors are Windows numbers, also stored as the thread's last error.
// One object belongs to one thread at a time; the mapping and the
// descriptor live until `close` or destruction.
#ifndef PLATFORM_SHARED_PAGE_SHARED_PAGE_H_
#define PLATFORM_SHARED_PAGE_SHARED_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class SharedPage {
 public:
  static constexpr size_t kPageSize = 4096;

  SharedPage() = default;
  SharedPage(const SharedPage&) = delete;
  SharedPage& operator=(const SharedPage&) = delete;
  ~SharedPage();

  // Creates or opens the page and maps it writable. 0, or the Windows error:
  // 6 when the name is taken by something that is not a page of 4096 bytes.
  uint32_t open(std::string_view name);
  void close();

  bool is_open() const { return data_ != nullptr; }
  // True when the last successful `open` made the file.
  bool created() const { return created_; }
  // The 4096 mapped bytes; null when not open.
  unsigned char* data() const { return data_; }

  static std::string page_path(std::string_view name);

 private:
  int fd_ = -1;
  unsigned char* data_ = nullptr;
  bool created_ = false;
};

}  // namespace platform

#endif  // PLATFORM_SHARED_PAGE_SHARED_PAGE_H_
