// Values written into the settings store of a test's temporary root, as an
// administrator would set them. Header-only: a test that includes it links
// the store through the library it tests.
#ifndef TESTS_SUPPORT_REGISTRY_VALUES_H_
#define TESTS_SUPPORT_REGISTRY_VALUES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/registry/registry.h"

namespace testing_support {

// The service's own key below HKLM.
inline constexpr char kTarnKey[] = "SOFTWARE\\Corvex\\tarn";

// Sets value `name` of HKLM\`path` in the view `view` (an access view bit),
// making the key when missing.
inline void SetRegValue(const std::string& path, const char* name, uint32_t type,
                        const void* data, uint32_t size,
                        uint32_t view = platform::registry::kKeyWow64_64Key) {
  namespace reg = platform::registry;
  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, path, reg::kKeyAllAccess | view, &key),
            0u);
  ASSERT_EQ(reg::set_value(key, name, type, data, size), 0u);
}

// A REG_SZ: the text and its terminating zero.
inline void SetRegText(const std::string& path, const char* name, const std::string& text,
                       uint32_t view = platform::registry::kKeyWow64_64Key) {
  SetRegValue(path, name, platform::registry::kRegSz, text.c_str(),
              static_cast<uint32_t>(text.size() + 1), view);
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_REGISTRY_VALUES_H_
