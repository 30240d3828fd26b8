// Roots, path joining and known folders.
//
// Everything the platform layer writes or owns lies under `root()`
// ($DOVADOD_ROOT, default "/"); the kernel views it reads (/proc, /sys,
// /etc/machine-id) lie under `sysroot()` ($DOVADOD_SYSROOT, default "/"). Both
// are read from the environment at every call, so a test that points them at
// its own temporary directory never touches the machine. Paths use "/".
// Thread-safe as long as nobody changes the environment concurrently.
#ifndef PLATFORM_FS_PATHS_H_
#define PLATFORM_FS_PATHS_H_

#include <string>
#include <string_view>

namespace platform {

std::string root();
std::string sysroot();

// `a` and `b` joined by exactly one "/"; a trailing "/" of `b` is kept, so a
// directory joined as "dir/" stays ready for names to be appended.
std::string join(std::string_view a, std::string_view b);

// A fixed absolute path of the service ("/opt/...", "/var/log/...") taken
// under the root, or for kernel views under the system root.
std::string under_root(std::string_view absolute_path);
std::string under_sysroot(std::string_view absolute_path);

// The folder of the named kernel objects' stand-ins (mutex lock files, event
// FIFOs, shared pages): $DOVADOD_ROOT/run/dovadod/global.
std::string named_object_dir();

// The file of the named object `name` with `suffix` (".lock", ".event",
// ".shm") in that folder: "Global\" or "Local\" dropped, and any "/" or "\"
// left in the name made "_", so a name can never leave the folder.
std::string named_object_path(std::string_view name, std::string_view suffix);

enum class KnownFolder {
  kProgramData,  // $DOVADOD_ROOT/var/log
  kAppData,      // $XDG_DATA_HOME, else $HOME/.local/share
  kTemp,         // $TMPDIR, else /tmp
};

// The folder without a trailing "/". False, with last error 203 (environment
// variable not found), when the variables it is made from are unset or empty.
bool known_folder(KnownFolder folder, std::string* path);

// Creates `path` and every missing parent with `mode` (before umask). 0 on
// success; otherwise the Windows error of the first failing step. A path that
// exists already gives 183 when it is a directory and 80 when it is not.
uint32_t create_directories(const std::string& path, unsigned mode = 0755);

}  // namespace platform

#endif  // PLATFORM_FS_PATHS_H_
