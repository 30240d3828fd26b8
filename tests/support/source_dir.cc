#include "tests/support/source_dir.h"

namespace testing_support {

std::string SourceDir() { return DOVADOD_SOURCE_DIR; }

}  // namespace testing_support
