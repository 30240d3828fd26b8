// The checkout the tests were built from, for their fixtures under tests/data.
//
// Fixed at build time, so it holds wherever the test runs from and however
// the compiler was told the source file names (a compiler cache may shorten
// them to relative paths, which __FILE__ would then carry).
#ifndef TESTS_SUPPORT_SOURCE_DIR_H_
#define TESTS_SUPPORT_SOURCE_DIR_H_

#include <string>

namespace testing_support {

// The repository root, without a trailing "/".
std::string SourceDir();

}  // namespace testing_support

#endif  // TESTS_SUPPORT_SOURCE_DIR_H_
