// File helpers the log stands on.
//
// Paths may come in Windows form; both "\" and "/" separate components, and
// the paths built here use "/". Stateless and thread-safe.
#ifndef CLIENT_LIB_CXLOG_CXFILEUTILS_H_
#define CLIENT_LIB_CXLOG_CXFILEUTILS_H_

#include <string>

// Always false: there is no 32-bit emulation layer to detect here.
bool cxIsWow64Process();

// True when anything (file, folder or other) exists at `path`.
bool cxFileExists(const std::string& path);

// Splits `path` into folder (with its trailing "/"), stem and extension (with
// its dot). After the last separator the FIRST "." starts the extension
// ("/logs/a.b.log": "/logs/", "a", ".b.log"); in a path without separators the
// LAST one does ("a.b.log": "", "a.b", ".log"). A path ending in a separator is
// all folder. Any output may be null; false for an empty path or when all three
// are null.
bool splitFileNameAndExtension(const std::string& path, std::string* folder, std::string* stem,
                               std::string* extension);

// Deletes the placeholder file "logplaceholder" of `folder`. True when it is
// gone or was never there (a directory of that name is left alone).
bool cxDeleteProtectedFile(const std::string& folder);

#endif  // CLIENT_LIB_CXLOG_CXFILEUTILS_H_
