// Small pieces the framework's tests share.
#ifndef GRAPH_LIB_GRAPH_TESTING_H_
#define GRAPH_LIB_GRAPH_TESTING_H_

#include <string>
#include <vector>

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

}  // namespace graph_testing

#endif  // GRAPH_LIB_GRAPH_TESTING_H_
