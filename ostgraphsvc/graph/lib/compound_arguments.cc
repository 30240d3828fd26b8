#include "ostgraphsvc/graph/lib/compound_arguments.h"

#include "graph/argument_types.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/string.h"
#include "graph/vector.h"

namespace {

struct CpAssignment {
  enum Flags { kMandatory = 1, kDeprecated = 8, kSet = 16 };

  const CpArgumentType* type = nullptr;
  const char* keyword = nullptr;
  int flags = 0;
  String value;
  String value2;  // repeated "args" keywords
};

constexpr int kRecordCapacity = 80;
constexpr int kNoMemory = -12;

CpAssignment* assignment_records = nullptr;
Vector<int>* argument_used = nullptr;

// The state of one engine run.
struct CpEngine {
  bool ignore_bad_keywords = false;
  int nrecords = 0;
  int keywords_from = 0;  // arguments before this are never tried as keywords
  int npositional = 0;
  bool rest = false;
  CpAssignment* records = nullptr;
  int capacity = kRecordCapacity;
  String scratch;

  // How messages name a record.
  const String& record_name(int i) {
    const CpAssignment& r = records[i];
    if (r.keyword != nullptr && r.keyword[0] != '\0') {
      scratch = String(r.keyword);
    } else if (r.type != nullptr) {
      scratch = r.type->description;
    } else {
      scratch = "#" + String(i);
    }
    return scratch;
  }

  int find_keyword(const String& keyword) const {
    for (int i = 0; i < nrecords; ++i)
      if (records[i].keyword != nullptr && keyword.equals(records[i].keyword)) return i;
    return -1;
  }

  int run(const Vector<String>& arguments, ErrorHandler* errh);
};

void append_listed(String* list, const String& item) {
  if (!list->empty()) list->append(", ");
  list->append(item);
}

int CpEngine::run(const Vector<String>& arguments, ErrorHandler* errh) {
  Vector<int>& used = *argument_used;
  used.clear();
  used.resize(arguments.size(), 0);

  int npositional_seen = 0;
  bool keyword_seen = false;
  Vector<int> bad;
  for (int i = 0; i < arguments.size(); ++i) {
    if (npositional_seen >= keywords_from) {
      String keyword, rest_text;
      int r = -1;
      if (cp_parse_keyword(arguments[i], &keyword, &rest_text)) r = find_keyword(keyword);
      if (r >= 0) {
        records[r].flags |= CpAssignment::kSet;
        records[r].value = rest_text;
        used[i] = 1;
        keyword_seen = true;
        continue;
      }
      // Once keywords have started, a stray argument cannot be positional.
      if (keyword_seen) {
        if (!rest) bad.push_back(i);
        continue;
      }
    }
    if (npositional_seen < npositional) {
      records[npositional_seen].flags |= CpAssignment::kSet;
      records[npositional_seen].value = arguments[i];
      used[i] = 1;
    }
    ++npositional_seen;
  }

  if (!bad.empty() && !rest && !ignore_bad_keywords) {
    String bad_list, valid_list;
    for (int i : bad) {
      String keyword, after;
      if (cp_parse_keyword(arguments[i], &keyword, &after))
        append_listed(&bad_list, keyword);
      else
        append_listed(&bad_list, "<argument " + String(i + 1) + ">");
    }
    for (int i = 0; i < nrecords; ++i)
      if (records[i].keyword != nullptr) append_listed(&valid_list, String(records[i].keyword));
    return errh->error("bad keyword(s) %s\n(valid keywords are %s)", bad_list.c_str(),
                       valid_list.c_str());
  }

  String missing;
  int nmissing = 0;
  for (int i = 0; i < nrecords; ++i) {
    if ((records[i].flags & (CpAssignment::kMandatory | CpAssignment::kSet)) !=
        CpAssignment::kMandatory)
      continue;
    append_listed(&missing, record_name(i));
    ++nmissing;
  }
  if (nmissing > 0)
    return errh->error("missing mandatory %s %s%s", missing.c_str(), "argument",
                       nmissing >= 2 ? "s" : "");

  for (int i = 0; i < nrecords; ++i)
    if ((records[i].flags & (CpAssignment::kDeprecated | CpAssignment::kSet)) ==
        (CpAssignment::kDeprecated | CpAssignment::kSet))
      errh->warning("%s %s is deprecated", record_name(i).c_str(), "argument");

  if (npositional_seen > npositional && !rest) return errh->error("too many %ss", "argument");
  return 0;
}

}  // namespace

void cp_make_assignment_records() {
  if (assignment_records == nullptr) assignment_records = new CpAssignment[kRecordCapacity];
  if (argument_used == nullptr) argument_used = new Vector<int>;
}

void cp_free_assignment_records() {
  delete[] assignment_records;
  assignment_records = nullptr;
  delete argument_used;
  argument_used = nullptr;
}

int cp_distribute_arguments(const Vector<String>& arguments, const String* formals_begin,
                            const String* formals_end, Vector<String>* values) {
  SilentErrorHandler silent;
  return cp_distribute_arguments(arguments, formals_begin, formals_end, values, &silent);
}

int cp_distribute_arguments(const Vector<String>& arguments, const String* formals_begin,
                            const String* formals_end, Vector<String>* values, ErrorHandler* errh) {
  const long nformals_long = formals_end - formals_begin;
  if (nformals_long == 0 || formals_end[-1].empty()) {
    if (arguments.size() != nformals_long) return ErrorHandler::kErrorResult;
    if (values != nullptr && values != &arguments) *values = arguments;
    return 0;
  }
  if (assignment_records == nullptr || argument_used == nullptr || nformals_long > kRecordCapacity)
    return kNoMemory;

  const int nformals = static_cast<int>(nformals_long);
  CpEngine engine;
  engine.records = assignment_records;
  engine.rest = formals_end[-1].equals("__REST__");
  engine.nrecords = engine.rest ? nformals - 1 : nformals;
  while (engine.npositional < engine.nrecords && formals_begin[engine.npositional].empty())
    ++engine.npositional;
  engine.keywords_from = engine.npositional;
  for (int i = 0; i < nformals; ++i) {
    CpAssignment& r = assignment_records[i];
    r.type = nullptr;
    r.keyword = i >= engine.npositional && i < engine.nrecords ? formals_begin[i].c_str() : nullptr;
    r.flags = i < engine.nrecords ? CpAssignment::kMandatory : 0;
    r.value = String();
    r.value2 = String();
  }

  const int result = engine.run(arguments, errh);
  if (result < 0 || values == nullptr) return result;

  // The arguments are all read before `values`, which may be `arguments`,
  // is written.
  if (engine.rest) {
    String rest_text;
    for (int i = 0; i < arguments.size(); ++i)
      if (!(*argument_used)[i]) append_listed(&rest_text, arguments[i]);
    assignment_records[engine.nrecords].value = rest_text;
  }
  values->resize(nformals);
  for (int i = 0; i < nformals; ++i) (*values)[i] = assignment_records[i].value;
  return result;
}
