#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_root.h"

namespace platform::registry {
namespace {

using namespace std::string_literals;
using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr RootKey kHklm = RootKey::kLocalMachine;

Key create(std::string_view path, uint32_t access = kKeyAllAccess) {
  Key key;
  EXPECT_EQ(create_key(kHklm, path, access, &key), 0u) << path;
  return key;
}

void set_text(const Key& key, const char* name, std::string_view text) {
  std::string data(text);
  ASSERT_EQ(set_value(key, name, kRegSz, data.c_str(), static_cast<uint32_t>(data.size() + 1)), 0u);
}

// The value's bytes as the store returns them, or the error code as text.
std::string read(std::string_view path, const char* name, uint32_t view = 0,
                 uint32_t flags = kRrfRtAny) {
  uint32_t size = 0;
  uint32_t rc = get_value(kHklm, path, view, name, flags, nullptr, nullptr, &size);
  if (rc != 0) return "error " + std::to_string(rc);
  std::string data(size, '\0');
  uint32_t type = 0;
  rc = get_value(kHklm, path, view, name, flags, &type, data.data(), &size);
  if (rc != 0) return "error " + std::to_string(rc);
  return data;
}

// The value's type and bytes as kept (enumeration adds no terminator).
std::string raw(const Key& key, std::string_view wanted) {
  char name[64];
  uint8_t data[256];
  for (uint32_t i = 0;; ++i) {
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    if (enum_value(key, i, name, &name_size, &type, data, &data_size) != 0) return "missing";
    if (std::string_view(name, name_size) == wanted) {
      return std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), data_size);
    }
  }
}

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out.append(piece);
  return out;
}

std::vector<std::string> sub_keys(const Key& key) {
  std::vector<std::string> names;
  char name[256];
  for (uint32_t i = 0;; ++i) {
    uint32_t size = sizeof name;
    uint32_t rc = enum_key(key, i, name, &size);
    if (rc == 259) break;
    EXPECT_EQ(rc, 0u);
    if (rc != 0) break;
    names.emplace_back(name, size);
  }
  return names;
}

TEST(RegistryTest, WritesLandInTheHiveFileAndReadBack) {
  testing_support::TempRoot root;
  EXPECT_EQ(hive_path(), root.path() + "/var/lib/dovadod/registry/HKLM.reg");
  bool created = false;
  Key key;
  ASSERT_EQ(create_key(kHklm, "SOFTWARE\\Corvex\\tarn", kKeyAllAccess, &key, &created), 0u);
  EXPECT_TRUE(created);
  EXPECT_EQ(key.path(), "SOFTWARE\\Corvex\\tarn");
  set_text(key, "workdir", "/opt/corvex/tarn");
  uint32_t keepalive = 30;
  ASSERT_EQ(set_value(key, "KeepAlive", kRegDword, &keepalive, 4), 0u);

  EXPECT_EQ(ReadFile(hive_path()),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\tarn]\n"
            "\"workdir\"=\"/opt/corvex/tarn\"\n"
            "\"KeepAlive\"=dword:0000001e\n"
            "\n");
  struct stat st;
  ASSERT_EQ(::stat(hive_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_EQ(read("software\\CORVEX\\tarn", "WORKDIR"), "/opt/corvex/tarn\0"s);
  EXPECT_EQ(read("SOFTWARE\\Corvex\\tarn", "keepalive"), "\x1e\0\0\0"s);
  ASSERT_EQ(create_key(kHklm, "SOFTWARE\\corvex\\TARN", kKeyRead, &key, &created), 0u);
  EXPECT_FALSE(created);
  EXPECT_EQ(read("SOFTWARE\\Corvex\\tarn", "missing"), "error 2");
  EXPECT_EQ(read("SOFTWARE\\Corvex\\none", "workdir"), "error 2");
}

TEST(RegistryTest, ReadsTheFileAsAPersonEditsIt) {
  testing_support::TempRoot root;
  WriteFile(hive_path(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKLM\\SOFTWARE\\Corvex\\tarn]\n\"workdir\"=\"/srv/a\"\n");
  EXPECT_EQ(read("SOFTWARE\\Corvex\\tarn", "workdir"), "/srv/a\0"s);
  WriteFile(hive_path(), "[HKLM\\SOFTWARE\\Corvex\\tarn]\n\"workdir\"=\"/srv/b\"\n");
  EXPECT_EQ(read("SOFTWARE\\Corvex\\tarn", "workdir"), "/srv/b\0"s);
}

TEST(RegistryTest, ValuesEnumerateInCreationOrderAndSubKeysByFoldedName) {
  testing_support::TempRoot root;
  Key key = create("SOFTWARE\\K");
  for (const char* name : {"zeta", "Alpha", "mid"}) set_text(key, name, name);
  set_text(key, "ALPHA", "again");  // keeps its place and its first spelling
  for (const char* name : {"b", "a_b", "aB", "A"}) create(std::string("SOFTWARE\\K\\") + name);
  EXPECT_EQ(sub_keys(key), (std::vector<std::string>{"A", "aB", "a_b", "b"}));

  std::vector<std::string> names;
  char name[64];
  uint8_t data[64];
  for (uint32_t i = 0;; ++i) {
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    uint32_t rc = enum_value(key, i, name, &name_size, &type, data, &data_size);
    if (rc == 259) break;
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(type, kRegSz);
    names.push_back(std::string(name, name_size) + "=" +
                    std::string(reinterpret_cast<char*>(data), data_size - 1));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"zeta=zeta", "Alpha=again", "mid=mid"}));

  uint32_t subs = 0, longest_sub = 0, values = 0, longest_name = 0, largest = 0;
  ASSERT_EQ(query_info_key(key, &subs, &longest_sub, &values, &longest_name, &largest), 0u);
  EXPECT_EQ(subs, 4u);
  EXPECT_EQ(longest_sub, 3u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(longest_name, 5u);
  EXPECT_EQ(largest, 6u);
}

TEST(RegistryTest, BufferSizesFollowTheWindowsCalls) {
  testing_support::TempRoot root;
  Key key = create("SOFTWARE\\K");
  set_text(key, "name", "12345");
  char name[5];
  uint32_t name_size = sizeof name;
  EXPECT_EQ(enum_value(key, 0, name, &name_size, nullptr, nullptr, nullptr), 0u);
  name_size = 4;  // "name" and its zero need 5
  EXPECT_EQ(enum_value(key, 0, name, &name_size, nullptr, nullptr, nullptr), 234u);
  EXPECT_EQ(enum_value(key, 1, name, &name_size, nullptr, nullptr, nullptr), 259u);

  uint8_t data[6] = {9, 9, 9, 9, 9, 9};
  uint32_t data_size = 5;
  name_size = sizeof name;
  EXPECT_EQ(enum_value(key, 0, name, &name_size, nullptr, data, &data_size), 234u);
  EXPECT_EQ(data_size, 6u);
  EXPECT_EQ(data[0], 9);

  uint32_t size = 0;
  EXPECT_EQ(get_value(key, "", "name", kRrfRtAny, nullptr, nullptr, &size), 0u);
  EXPECT_EQ(size, 6u);
  size = 3;
  EXPECT_EQ(get_value(key, "", "name", kRrfRtAny, nullptr, data, &size), 234u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(get_value(key, "", "name", kRrfRtAny, nullptr, data, nullptr), 87u);
}

TEST(RegistryTest, EveryTypeGoesThroughItsFileLineAndBack) {
  testing_support::TempRoot root;
  Key key = create("SOFTWARE\\K");
  const std::string long_line =
      "\"long\"=hex:" + repeat("ab,", 22) + "\\\n  " + repeat("ab,", 7) + "ab";
  struct Case {
    const char* name;
    uint32_t type;
    std::string stored;
    std::string line;  // in the file
    std::string returned;
  } cases[] = {
      {"sz", kRegSz, "/opt/x\0"s, "\"sz\"=\"/opt/x\"", "/opt/x\0"s},
      {"quote", kRegSz, "say \"hi\" C:\\x\0"s, "\"quote\"=\"say \\\"hi\\\" C:\\\\x\"",
       "say \"hi\" C:\\x\0"s},
      {"utf8", kRegSz, "gr\xc3\xbc\xc3\x9f\0"s, "\"utf8\"=\"gr\xc3\xbc\xc3\x9f\"",
       "gr\xc3\xbc\xc3\x9f\0"s},
      {"empty", kRegSz, "\0"s, "\"empty\"=\"\"", "\0"s},
      // Bytes the quoted form cannot give back go out as hex.
      {"sz_no_zero", kRegSz, "abc", "\"sz_no_zero\"=hex(1):61,62,63", "abc\0"s},
      {"sz_line", kRegSz, "a\nb\0"s, "\"sz_line\"=hex(1):61,0a,62,00", "a\nb\0"s},
      {"sz_bad_utf8", kRegSz, "\xff\0"s, "\"sz_bad_utf8\"=hex(1):ff,00", "\xff\0"s},
      {"expand", kRegExpandSz, "%TEMP%\xc3\xa9\0"s, "\"expand\"=hex(2):25,54,45,4d,50,25,c3,a9,00",
       "%TEMP%\xc3\xa9\0"s},
      {"multi", kRegMultiSz, "a\0b\0\0"s, "\"multi\"=hex(7):61,00,62,00,00", "a\0b\0\0"s},
      {"multi_open", kRegMultiSz, "a\0b"s, "\"multi_open\"=hex(7):61,00,62", "a\0b\0\0"s},
      {"multi_empty", kRegMultiSz, "", "\"multi_empty\"=hex(7):", "\0\0"s},
      {"dword", kRegDword, "\x1e\0\0\0"s, "\"dword\"=dword:0000001e", "\x1e\0\0\0"s},
      {"dword3", kRegDword, "\x01\x02\x03"s, "\"dword3\"=hex(4):01,02,03", "\x01\x02\x03"s},
      {"qword", kRegQword, "\x01\0\0\0\0\0\0\x80"s, "\"qword\"=hex(b):01,00,00,00,00,00,00,80",
       "\x01\0\0\0\0\0\0\x80"s},
      {"bin", kRegBinary, "\x00\xff"s, "\"bin\"=hex:00,ff", "\x00\xff"s},
      {"long", kRegBinary, std::string(30, '\xab'), long_line, std::string(30, '\xab')},
      {"none", kRegNone, "", "\"none\"=hex(0):", ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(
        set_value(key, c.name, c.type, c.stored.data(), static_cast<uint32_t>(c.stored.size())),
        0u);
  }
  std::string file = ReadFile(hive_path());
  for (const Case& c : cases) {
    EXPECT_NE(file.find("\n" + c.line + "\n"), std::string::npos) << c.name << " in\n" << file;
    EXPECT_EQ(read("SOFTWARE\\K", c.name), c.returned) << c.name;
    EXPECT_EQ(raw(key, c.name), std::to_string(c.type) + ":" + c.stored) << c.name;
  }

  // Another process reads the file anew: every value comes back byte for byte.
  WriteFile(hive_path(), "");
  EXPECT_EQ(read("SOFTWARE\\K", "sz"), "error 2");
  WriteFile(hive_path(), file);
  for (const Case& c : cases) {
    EXPECT_EQ(raw(key, c.name), std::to_string(c.type) + ":" + c.stored) << c.name;
  }

  constexpr uint32_t kRrfRtRegSz = 0x2, kRrfRtRegDword = 0x10;
  EXPECT_EQ(read("SOFTWARE\\K", "sz", 0, kRrfRtRegSz), "/opt/x\0"s);
  EXPECT_EQ(read("SOFTWARE\\K", "sz", 0, kRrfRtRegDword), "error 87");
  uint32_t odd = 0;
  ASSERT_EQ(set_value(key, "odd", 9, &odd, 4), 0u);
  EXPECT_EQ(read("SOFTWARE\\K", "odd", 0, 0x7f), "error 87");
  EXPECT_EQ(read("SOFTWARE\\K", "odd"), "\0\0\0\0"s);
}

TEST(RegistryTest, DefaultValueHasNoName) {
  testing_support::TempRoot root;
  Key key = create("SOFTWARE\\K");
  set_text(key, nullptr, "default");
  EXPECT_EQ(read("SOFTWARE\\K", ""), "default\0"s);
  EXPECT_EQ(read("SOFTWARE\\K", nullptr), "default\0"s);
  EXPECT_NE(ReadFile(hive_path()).find("\n@=\"default\"\n"), std::string::npos);
  EXPECT_EQ(delete_value(key, ""), 0u);
  EXPECT_EQ(read("SOFTWARE\\K", nullptr), "error 2");
}

TEST(RegistryTest, The32BitViewSeesTheWow6432NodeSubtree) {
  testing_support::TempRoot root;
  Key key;
  ASSERT_EQ(create_key(kHklm, "SOFTWARE\\Corvex", kKeyAllAccess | kKeyWow64_32Key, &key), 0u);
  EXPECT_EQ(key.path(), "SOFTWARE\\WOW6432Node\\Corvex");
  EXPECT_TRUE(key.view32());
  set_text(key, "v", "32");
  EXPECT_EQ(read("SOFTWARE\\Corvex", "v", kKeyWow64_32Key), "32\0"s);
  EXPECT_EQ(read("SOFTWARE\\WOW6432Node\\Corvex", "v", kKeyWow64_32Key), "32\0"s);
  EXPECT_EQ(read("SOFTWARE\\WOW6432Node\\Corvex", "v", kKeyWow64_64Key), "32\0"s);
  EXPECT_EQ(read("SOFTWARE\\Corvex", "v", kKeyWow64_64Key), "error 2");
  EXPECT_EQ(read("SOFTWARE\\Corvex", "v"), "error 2");

  // A sub-key path given to a key of the 32-bit view is redirected too.
  ASSERT_EQ(open_key(kHklm, "", kKeyRead | kKeyWow64_32Key, &key), 0u);
  uint32_t size = 0;
  EXPECT_EQ(get_value(key, "SOFTWARE\\Corvex", "v", kRrfRtAny, nullptr, nullptr, &size), 0u);
  ASSERT_EQ(open_key(kHklm, "SOFTWARE", kKeyRead | kKeyWow64_32Key, &key), 0u);
  EXPECT_EQ(sub_keys(key), (std::vector<std::string>{"Corvex"}));
  EXPECT_EQ(open_key(kHklm, "SOFTWARE", kKeyRead | kKeyWow64_32Key | kKeyWow64_64Key, &key), 87u);
}

TEST(RegistryTest, HandlesRefuseWhatTheirAccessDoesNotAllow) {
  testing_support::TempRoot root;
  create("SOFTWARE\\K");
  Key key;
  ASSERT_EQ(open_key(kHklm, "SOFTWARE\\K", kKeyRead, &key), 0u);
  EXPECT_FALSE(key.writable());
  uint32_t one = 1;
  EXPECT_EQ(set_value(key, "v", kRegDword, &one, 4), 5u);
  EXPECT_EQ(delete_value(key, "v"), 5u);
  EXPECT_EQ(delete_tree(key, ""), 5u);
  EXPECT_EQ(close_key(&key), 0u);
  EXPECT_FALSE(key.is_open());
  EXPECT_EQ(close_key(&key), 6u);
  uint32_t size = 0;
  EXPECT_EQ(get_value(key, "", "v", kRrfRtAny, nullptr, nullptr, &size), 6u);
  EXPECT_EQ(open_key(kHklm, "SOFTWARE\\Missing", kKeyRead, &key), 2u);
  EXPECT_EQ(create_key(kHklm, "SOFTWARE\\" + std::string(256, 'k'), kKeyAllAccess, &key), 87u);
  Key writable = create("SOFTWARE\\K");
  EXPECT_EQ(set_value(writable, "bad\nname", kRegDword, &one, 4), 87u);
}

TEST(RegistryTest, DeleteTreeRemovesSubKeysOrEmptiesTheKey) {
  testing_support::TempRoot root;
  Key k = create("SOFTWARE\\K");
  Key a = create("SOFTWARE\\K\\A\\deep");
  set_text(a, "v", "1");
  set_text(k, "kept", "no");
  EXPECT_EQ(delete_tree(k, "A"), 0u);
  EXPECT_EQ(delete_tree(k, "A"), 2u);
  uint32_t subs = 0;
  // A handle to a removed key finds nothing until the key is made again.
  EXPECT_EQ(query_info_key(a, &subs, nullptr, nullptr, nullptr, nullptr), 2u);
  EXPECT_EQ(set_value(a, "v", kRegSz, "x", 2), 2u);
  create("SOFTWARE\\K\\B");
  EXPECT_EQ(delete_tree(k, ""), 0u);
  uint32_t values = 1;
  ASSERT_EQ(query_info_key(k, &subs, nullptr, &values, nullptr, nullptr), 0u);
  EXPECT_EQ(subs, 0u);
  EXPECT_EQ(values, 0u);
}

TEST(RegistryTest, MachineGuidComesFromMachineIdUnlessStored) {
  testing_support::TempRoot root;
  WriteFile(root.file("etc/machine-id"), "0123456789ABCDEF0123456789abcdef\n");
  const char* kKey = "SOFTWARE\\Microsoft\\Cryptography";
  EXPECT_EQ(read(kKey, "MachineGuid"), "01234567-89ab-cdef-0123-456789abcdef\0"s);
  EXPECT_EQ(read(kKey, "MachineGuid", kKeyWow64_32Key), "error 2");
  Key key;
  ASSERT_EQ(open_key(kHklm, "SOFTWARE\\Microsoft", kKeyRead, &key), 0u);
  EXPECT_EQ(sub_keys(key), (std::vector<std::string>{"Cryptography"}));

  // Writing beside it does not copy the answered value into the file.
  Key crypto;
  ASSERT_EQ(open_key(kHklm, kKey, kKeyAllAccess, &crypto), 0u);
  set_text(crypto, "Other", "x");
  EXPECT_EQ(ReadFile(hive_path()).find("MachineGuid"), std::string::npos);
  set_text(crypto, "MachineGuid", "stored");
  EXPECT_EQ(read(kKey, "MachineGuid"), "stored\0"s);

  WriteFile(root.file("etc/machine-id"), "not an id\n");
  EXPECT_EQ(delete_value(crypto, "MachineGuid"), 0u);
  EXPECT_EQ(read(kKey, "MachineGuid"), "error 2");
}

TEST(RegistryTest, HandEditedHiveReadsRightAndKeepsItsLinesOnWrite) {
  testing_support::TempRoot root;
  WriteFile(hive_path(), ReadFile(std::string(DOVADOD_TEST_DATA) + "/registry/hand_edited.reg"));
  std::vector<std::string> reports;
  set_bad_line_hook([&](const std::string& file, int line, const std::string& text) {
    reports.push_back(file + ":" + std::to_string(line) + ": " + text);
  });

  Key key;
  ASSERT_EQ(open_key(kHklm, "SOFTWARE\\Corvex\\tarn", kKeyAllAccess, &key), 0u);
  // The repeated value: the later data in the first one's place.
  EXPECT_EQ(raw(key, "workdir"), "1:/opt/corvex/tarn\0"s);
  EXPECT_EQ(raw(key, "KeepAlive"), "4:\x1e\0\0\0"s);
  std::string blob;
  for (char c = 0; c < 26; ++c) blob.push_back(c);
  EXPECT_EQ(raw(key, "Blob"), "3:" + blob);
  char name[16];
  uint32_t name_size = sizeof name;
  ASSERT_EQ(enum_value(key, 0, name, &name_size, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(std::string(name, name_size), "workdir");
  uint32_t values = 0;
  ASSERT_EQ(query_info_key(key, nullptr, nullptr, &values, nullptr, nullptr), 0u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(reports, (std::vector<std::string>{hive_path() + ":7: this line is not a value"}));

  set_text(key, "new", "2");
  EXPECT_EQ(ReadFile(hive_path()),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\tarn]\n"
            "; moved to /opt/corvex/tarn: the later line wins\n"
            "\"workdir\"=\"/opt/corvex/tarn\"\n"
            "\"KeepAlive\"=dword:0000001e\n"
            "this line is not a value\n"
            "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
            "  16,17,18,19\n"
            "\"new\"=\"2\"\n"
            "\n");
  EXPECT_EQ(reports.size(), 1u);
  set_bad_line_hook(nullptr);
}

TEST(RegistryTest, NoWriteMakesTheHiveTooLargeToRead) {
  testing_support::TempRoot root;
  // Just below the limit; any rewrite adds at least the header.
  const size_t size = (size_t{64} << 20) - 1;
  std::string text = "[HKLM\\K]\n;";
  text.append(size - text.size() - 1, 'c');
  text.push_back('\n');
  WriteFile(hive_path(), text);
  Key key;
  ASSERT_EQ(open_key(kHklm, "K", kKeyAllAccess, &key), 0u);
  EXPECT_EQ(set_value(key, "v", kRegSz, "x", 2), 8u);
  struct stat st;
  ASSERT_EQ(::stat(hive_path().c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), size);
  EXPECT_NE(::stat((hive_path() + ".new").c_str(), &st), 0);
}

TEST(RegistryTest, WritersInSeveralProcessesLoseNothing) {
  testing_support::TempRoot root;
  create("SOFTWARE\\K");
  constexpr int kProcesses = 2, kValues = 500;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Key key;
      int failures = open_key(kHklm, "SOFTWARE\\K", kKeyAllAccess, &key) != 0;
      for (int i = 0; i < kValues; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        failures += set_value(key, name.c_str(), kRegDword, &i, 4) != 0;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  // Meanwhile every read sees one whole version of the file.
  std::atomic<int> bad_lines{0};
  set_bad_line_hook([&](const std::string&, int, const std::string&) { ++bad_lines; });
  for (int i = 0; i < 200; ++i) read("SOFTWARE\\K", "p0_0");
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  set_bad_line_hook(nullptr);
  EXPECT_EQ(bad_lines, 0);
  Key key;
  ASSERT_EQ(open_key(kHklm, "SOFTWARE\\K", kKeyRead, &key), 0u);
  uint32_t values = 0;
  ASSERT_EQ(query_info_key(key, nullptr, nullptr, &values, nullptr, nullptr), 0u);
  EXPECT_EQ(values, static_cast<uint32_t>(kProcesses * kValues));
}

// Writes by another process, in other keys and by removal: tools/dovadod-reg's
// tests.
TEST(RegistryTest, WatchSignalsOnlyWhenTheKeyReallyChanged) {
  testing_support::TempRoot root;
  Key key = create("SOFTWARE\\Corvex\\tarn\\sse");
  std::unique_ptr<KeyWatch> watch;
  ASSERT_EQ(KeyWatch::start(kHklm, "SOFTWARE\\Corvex\\tarn\\sse", 0, &watch), 0u);
  EXPECT_FALSE(watch->wait(0));

  std::thread writer([&] { set_text(key, "tarninternetbypass", "1"); });
  EXPECT_TRUE(watch->wait(5000));
  writer.join();
  set_text(key, "tarninternetbypass", "1");  // the same data: no change
  WriteFile(hive_path(), ReadFile(hive_path()) + "; a comment\n");
  EXPECT_FALSE(watch->wait(50));

  // A person's edit in place counts as well.
  std::string text = ReadFile(hive_path());
  std::string line = "\"tarninternetbypass\"=\"1\"";
  ASSERT_NE(text.find(line), std::string::npos);
  text.replace(text.find(line), line.size(), "\"tarninternetbypass\"=\"0\"");
  WriteFile(hive_path(), text);
  EXPECT_TRUE(watch->wait(5000));
}

TEST(RegistryTest, WatchOnAKeyNotYetMadeSignalsItsCreation) {
  testing_support::TempRoot root;
  std::unique_ptr<KeyWatch> watch;
  ASSERT_EQ(KeyWatch::start(kHklm, "SOFTWARE\\Later", kKeyWow64_32Key, &watch), 0u);
  create("SOFTWARE\\Later");  // the 64-bit key is another one
  EXPECT_FALSE(watch->wait(50));
  Key key;
  ASSERT_EQ(create_key(kHklm, "SOFTWARE\\Later", kKeyAllAccess | kKeyWow64_32Key, &key), 0u);
  EXPECT_TRUE(watch->wait(5000));
  EXPECT_GE(watch->fd(), 0);
}

}  // namespace
}  // namespace platform::registry
