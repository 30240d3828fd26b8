// Small pieces the framework's tests share.
#ifndef GRAPH_LIB_GRAPH_TESTING_H_
#define GRAPH_LIB_GRAPH_TESTING_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/string.h"

namespace graph_testing {

inline std::string Std(const String& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

// Records every line that reaches it, annotations included.
class Lines : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    lines.push_back(Std(line));
    return user_data;
  }
  std::vector<std::string> lines;
};

// A C stream writing into memory.
class MemoryFile {
 public:
  MemoryFile() : file_(open_memstream(&data_, &size_)) {}
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() {
    std::fclose(file_);
    std::free(data_);
  }
  FILE* file() const { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

// Messages as a person reads them: "landmark: text\n" from a file handler.
class Messages {
 public:
  ErrorHandler* errh() { return &errh_; }
  std::string text() { return file_.text(); }

 private:
  MemoryFile file_;
  FileErrorHandler errh_{file_.file()};
};

// An element whose port languages are given; named "p" until a router names it.
class Probe : public Element {
 public:
  explicit Probe(const char* ports, const char* processing = kAgnostic,
                 const char* flow = kCompleteFlow)
      : ports_(ports), processing_(processing), flow_(flow) {
    set_name("p");
  }
  const char* class_name() const override { return "Probe"; }
  const char* port_count() const override { return ports_; }
  const char* processing() const override { return processing_; }
  const char* flow_code() const override { return flow_; }

 private:
  const char* ports_;
  const char* processing_;
  const char* flow_;
};

}  // namespace graph_testing

#endif  // GRAPH_LIB_GRAPH_TESTING_H_
