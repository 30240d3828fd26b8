#include "platform/device_identity/device_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs/paths.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

using testing_support::TempRoot;
using testing_support::WriteFile;

TEST(BiosSerialTest, ReadFromTheSystemRootAndTrimmed) {
  TempRoot root;
  EXPECT_EQ(bios_serial(), "");  // no such file

  struct Case {
    const char* content;
    const char* serial;
  } cases[] = {
      {"  PF2XK9QZ \n", "PF2XK9QZ"},
      {"\tVMware-56 4d 1a\r\n", "VMware-56 4d 1a"},
      {" \n\t", ""},
      {"", ""},
  };
  std::string dir = root.file("sys/class/dmi/id");
  ASSERT_EQ(create_directories(dir), 0u);
  for (const Case& c : cases) {
    WriteFile(dir + "/product_serial", c.content);
    EXPECT_EQ(bios_serial(), c.serial) << c.content;
  }
}

TEST(CpuidTest, TheFakeStandsInForTheProcessor) {
  FakeCpuidSource fake(0x000906ea, 0xbfebfbff);
  set_cpuid_source_for_testing(&fake);
  uint32_t eax = 0, edx = 0;
  EXPECT_TRUE(cpuid_source().leaf1(&eax, &edx));
  EXPECT_EQ(eax, 0x000906eau);
  EXPECT_EQ(edx, 0xbfebfbffu);

  fake.set(0, 0, false);
  EXPECT_FALSE(cpuid_source().leaf1(&eax, &edx));
  EXPECT_EQ(eax, 0u);

  set_cpuid_source_for_testing(nullptr);
  EXPECT_NE(&cpuid_source(), static_cast<CpuidSource*>(&fake));
}

TEST(CpuidTest, TheHostSignatureIsNotZero) {
#if defined(__x86_64__) || defined(__i386__)
  uint32_t eax = 0, edx = 0;
  ASSERT_TRUE(cpuid_source().leaf1(&eax, &edx));
  EXPECT_NE(eax, 0u);
#else
  GTEST_SKIP() << "CPUID exists on x86 only";
#endif
}

}  // namespace
}  // namespace platform
