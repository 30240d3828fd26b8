// OstrelUtils: diagnostic dumps to a file or to the log.
//
// Elements and the console write flow dumps with these helpers: appended to a
// file when a path is given, otherwise logged as one line. A file is held
// exclusively while it is written (an advisory flock): a second writer that
// arrives meanwhile fails rather than interleaving its text. Failures are
// logged through log_syslog_level at level 6 and returned as negative codes;
// nothing throws.
//
// Any thread may call them; they do blocking file I/O, so not per packet.
#ifndef GRAPH_OSTREL_UTILS_H_
#define GRAPH_OSTREL_UTILS_H_

class String;

class OstrelUtils {
 public:
  // Appends strlen(`text`) bytes (none for a null text) to the file at
  // `path`, creating it with mode 0644. Returns the bytes written, -3 when the
  // file cannot be opened or another writer holds it, -4 when a write fails.
  static int ostwinutls_write_txt2file(const String& path, const char* text);

  // Appends `text` to the file at `path`, or with an empty path logs it on a
  // line of its own (after a newline).
  static void ostwinutls_log(const String& path, const String& text);
};

#endif  // GRAPH_OSTREL_UTILS_H_
