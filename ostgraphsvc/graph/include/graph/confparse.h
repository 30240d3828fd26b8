// Configuration text and value grammars.
//
// The text layer under every configuration string: comment stripping,
// splitting an element configuration into comma-separated arguments and an
// argument into words, quoting and unquoting, and recognising strings, words
// and keywords. Results share the input's storage whenever no character had
// to change.
//
// Lexical rules. Whitespace is bytes 9-13 and space. Comments run from "//"
// to the end of the line (LF, CR or CR LF) and from "/*" to the next "*/"; an
// unterminated one runs to the end. A double-quoted string ends at the next
// unescaped '"' (a backslash escapes the next character, see
// `cp_skip_backslash`); a single-quoted string ends at the next '\'' and
// nothing inside it is special; a hex block runs from "\<" to the next '>'
// with comments inside skipped. Inside strings and hex blocks, commas,
// comment marks and whitespace have no effect; an unterminated one runs to
// the end.
//
// The value grammars turn one argument text into a typed value: integers in
// any base with saturation, booleans, decimal numbers with units (bandwidths,
// seconds), file names joined to the configuration directory, and the reverse
// for fixed-point numbers and bandwidths. Status codes: `cp_ok`,
// `cp_invalid`, `cp_range` (value saturated) and `cp_no_unit` (a bandwidth
// without a unit). Parsers that report do so through the `ParseContext` they
// are given; called without one they report to `ParseContext::blank`, which
// shows nothing. The text layer reports nothing: it returns false, an
// unchanged position, or `cp_last_status`.
//
// Every scan stays inside [begin, end) of the text it was given. All
// functions are reentrant except `cp_parse_basic_integer` (writes the
// process-wide `cp_last_status`), `cp_parse_filename` and
// `set_config_directory` (the process-wide configuration directory), and any
// parser reporting to `ParseContext::blank`; those run only on the thread
// that reads configurations.
#ifndef GRAPH_CONFPARSE_H_
#define GRAPH_CONFPARSE_H_

#include <cstdint>

#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

class StringBuilder;

// ---- Text layer ----

// Written by `cp_parse_basic_integer`: 0 success, 1 bad format, 3 overflow
// (value saturated).
extern int cp_last_status;

// `p` points at a backslash. Returns the position after the escape: after
// "\<...>" (comments inside skipped), after a backslash and CR LF, otherwise
// after the backslash and one character; `end` for a backslash at the end.
const char* cp_skip_backslash(const char* p, const char* end);
// The first position at or after `p` that is neither whitespace nor inside a
// comment.
const char* cp_skip_space_and_comments(const char* p, const char* end);
// The end of the word starting at `p`: it stops at whitespace or a comment
// start; quoted strings and hex blocks inside it are skipped whole.
const char* cp_skip_word(const char* p, const char* end);

// The uncommented text from `start`: leading and trailing whitespace and
// comments dropped, each inner run of whitespace and comments that holds a
// comment replaced by one space, other whitespace kept. With `comma_index`,
// stops at the first top-level comma and stores its index (or the index
// where the scan ended).
String cp_uncomment_part(const String& text, int start, int* comma_index = nullptr);
// `cp_uncomment_part` of the whole text.
String cp_uncomment(const String& text);
// Appends the uncommented comma-separated arguments: "a,,b" gives "a", ""
// and "b"; "a," gives "a"; a blank text gives nothing.
void cp_split_arguments(const String& text, Vector<String>* arguments);
// Appends the whitespace-separated words.
void cp_split_words(const String& text, Vector<String>* words);
// Returns the first word; `text` keeps what follows it, starting at the next
// word.
String cp_pop_word(String* text);

// The uncommented text with quotes removed and escapes processed: inside
// double quotes every backslash escape, outside quotes only hex blocks.
String cp_unquote_text(const String& text);
// `p` points at a backslash inside a double-quoted string. Appends the bytes
// the escape stands for (octal, "\<hex pairs>", the C letters, "\x" hex, line
// continuation, or the escaped character) and returns the position after it.
const char* cp_process_backslash(const char* p, const char* end, StringBuilder* out);
// A double-quoted form that `cp_unquote_text` turns back into `text`.
String cp_quote_text(const String& text);
inline String cp_unquote(const String& text) { return cp_unquote_text(text); }
inline String cp_quote(const String& text) { return cp_quote_text(text); }

// The first word (up to whitespace, quoted strings and hex blocks stepped
// over whole), unquoted. Without `rest` the word must be the whole text;
// with it, `rest` gets everything after the word. Outputs are written only on
// success.
bool cp_parse_string(const String& text, String* value, String* rest = nullptr);
// `cp_parse_string` for texts in which "//" and "/*" are literal (file
// names): the word is unquoted without stripping comments.
bool cp_parse_literal_string(const String& text, String* value, String* rest = nullptr);
// `cp_parse_string` whose value is non-empty, all in '!'-'~' and free of
// '"', '\'', ',' and '\\'.
bool cp_parse_word(const String& text, String* value, String* rest = nullptr);
// A keyword of letters, digits and "_.:?!" up to the first whitespace. Without
// `rest` it must be the whole text; with it, `rest` gets what follows the
// whitespace after it.
bool cp_parse_keyword(const String& text, String* keyword, String* rest = nullptr);

// Flags of `cp_parse_basic_integer`: the base in the low 6 bits (0: from the
// prefix) and whether the number must fill [begin, end).
inline constexpr int cp_basic_base_mask = 63;
inline constexpr int cp_basic_whole_text = 64;
// A signed 32-bit integer. Returns its end and sets `cp_last_status`; on a bad
// format returns `begin` and stores nothing.
const char* cp_parse_basic_integer(const char* begin, const char* end, int flags, int* value);

// ---- Value grammars ----

inline constexpr int cp_ok = 0, cp_invalid = 22, cp_range = 34, cp_no_unit = 130;

// Integer parser state: `base` 0 takes the base from the prefix ("0x" 16,
// "0b" 2, a leading "0" 8, else 10) and is replaced by the base used.
struct IntegerParser {
  int base = 0;
  int status = 0;
};

// The end of the integer text at `begin` (optional '+', '-' when signed, the
// prefix, digits with single underscores after digits); settles `*base`.
// Returns `begin` when there is no digit or the base is outside 2-36.
const char* cp_integer_span(const char* begin, const char* end, bool is_signed, int* base);
// Parses an integer of `size` bytes (1 to 8) into `(size + 3) / 4` limbs,
// least significant first; `*nlimbs` gets their count. The value sits in the
// low `size` bytes, negative values in two's complement. Out of range:
// status `cp_range` and the value saturated to the bound. Returns the end of
// the number, or `begin` with status `cp_invalid`.
const char* cp_parse_integer(IntegerParser& parser, const char* begin, const char* end,
                             bool is_signed, int size, uint32_t* limbs, int* nlimbs);

// The whole text as an integer. Reports "invalid number" or "out of range,
// bound N" through `context` and returns false; `*value` is written only on
// success. `base` 0 takes the base from the prefix.
bool cp_parse_int32(int* status, const String& text, int32_t* value,
                    ParseContext& context = ParseContext::blank, int base = 0);
bool cp_parse_uint32(int* status, const String& text, uint32_t* value,
                     ParseContext& context = ParseContext::blank, int base = 0);
// Stores the value also when it saturated (status `cp_range`); reports
// "invalid number" to `ParseContext::blank`.
bool cp_parse_uint64(int* status, const String& text, uint64_t* value);
// "0" "n" "f" "no" "false" and "1" "y" "t" "yes" "true", case-sensitive; no
// message on failure.
bool cp_parse_bool(const String& text, bool* value);

// A unit name whose value is multiplier x 10^power; a table ends at a null
// name. A prefix character adds its power; a prefix list ends at '\0'.
struct CpUnit {
  const char* name;
  int power;
  uint32_t multiplier;
};
struct CpUnitPrefix {
  char prefix;
  int power;
};
// Bandwidth in bytes per second: "baud" "bps" "b/s" (bits) and "Bps" "B/s",
// prefixes k K M G. Seconds: "s" "sec" "m" "min" "h" "hr" "d" "day",
// prefixes m u n.
extern const CpUnit cp_bandwidth_units[];
extern const CpUnitPrefix cp_bandwidth_prefixes[];
extern const CpUnit cp_seconds_units[];
extern const CpUnitPrefix cp_seconds_prefixes[];

// Finds the first unit of the table that ends the text, with an optional
// prefix before it, and returns where the number part ends (whitespace before
// the unit dropped). Without a unit: power 0, multiplier 1, returns `end`.
const char* cp_parse_unit(const CpUnit* units, const CpUnitPrefix* prefixes, const char* begin,
                          const char* end, int* power, uint32_t* multiplier);
// A decimal number ("1_000.5e-3") shifted by 10^power, as a 64-bit integer
// part (saturated with `cp_range`) and a 32-bit binary fraction rounded to
// nearest. A signed negative result is the two's complement of
// integer.fraction. Returns the end of the number, or `begin` with
// `cp_invalid`.
const char* cp_parse_decimal_parts(const char* begin, const char* end, bool is_signed, int power,
                                   uint64_t* integer, uint32_t* fraction, int* status);
// integer x multiplier + fraction x multiplier rounded half up; sets `*status`
// to `cp_range` and returns 4294967295 when that does not fit 32 bits.
uint32_t cp_apply_multiplier(uint64_t integer, uint32_t fraction, uint32_t multiplier, int* status);

// Bytes per second. Out of range: reports "out of range", stores 4294967295,
// returns false. A non-zero value without a unit is accepted with status
// `cp_no_unit`. Invalid text fails with no message.
bool cp_parse_bandwidth(int* status, const String& text, uint32_t* value,
                        ParseContext& context = ParseContext::blank);
// A time in units of 10^-fraction_digits seconds, rounded. Out of range
// stores 4294967295 and returns true with status `cp_range`, leaving the
// message to the caller. Invalid text fails with no message.
bool cp_parse_seconds(int fraction_digits, int* status, const String& text, uint32_t* value);

// The configuration directory that relative file names are joined to; empty
// until the service host sets it. A null or empty text clears it.
void set_config_directory(const char* directory);
const String& config_directory();
// A file name (one string, unquoted, non-empty; "//" and "/*" in it are
// path characters, not comments: the argument was uncommented already when
// it was split). A relative name is joined to
// the configuration directory, which gets a trailing '/' first (kept for
// later calls); an absolute one is used as it stands. Runs of '/' collapse.
bool cp_parse_filename(const String& text, String* filename);

// 5000000 -> "40Mbps": "kbps" below 125000 B/s, "Mbps", "Gbps" from
// 125000000 B/s, "MBps" from 2^29 B/s.
String cp_bandwidth_to_string(uint32_t bytes_per_second);
// value / 10^digits without trailing fraction zeros: (1500, 3) -> "1.5".
String cp_decimal_fixed_to_string(uint32_t value, int digits);
// value / 2^bits (bits 0-32) with the shortest decimal fraction that reads
// back to the same value: (1, 10) -> "0.001".
String cp_fixed_point_to_string(uint32_t value, int bits);

#endif  // GRAPH_CONFPARSE_H_
