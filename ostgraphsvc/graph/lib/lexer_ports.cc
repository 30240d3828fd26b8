// Port lists of section records, and the connections between two sections.
#include "graph/confparse.h"
#include "graph/lexer_tables.h"

namespace {

constexpr int kIdentifier = 256;
constexpr int kDoubleArrow = 259;
constexpr int kExpandable = -1;

// Entries of one side of the record at `r`.
struct Side {
  const int* entries;
  int count;
};

Side record_side(const Vector<int>& section, int r, bool outputs) {
  const int a = section[r + 1];
  const int b = section[r + 2];
  if (outputs) return Side{section.data() + r + 3 + a, b};
  return Side{section.data() + r + 3, a};
}

int next_record(const Vector<int>& section, int r) {
  return r + 3 + section[r + 1] + section[r + 2];
}

struct SideCount {
  int ports = 0;
  int expandable = 0;
};

SideCount count_side(const Vector<int>& section, bool outputs) {
  SideCount count;
  for (int r = 0; r < section.size(); r = next_record(section, r)) {
    const Side side = record_side(section, r, outputs);
    if (side.count <= 1) {
      count.ports += 1;
    } else if (side.entries[side.count - 1] == kExpandable) {
      count.ports += side.count - 1;
      ++count.expandable;
    } else {
      count.ports += side.count;
    }
  }
  return count;
}

// A walk over one side's ports, record by record.
struct Cursor {
  const Vector<int>& section;
  bool outputs;
  int record = 0;
  int index = 0;
  int port = 0;
  bool port_set = false;

  bool inside() const { return record < section.size(); }
  int element() const { return section[record]; }

  void settle() {
    if (port_set) return;
    const Side side = record_side(section, record, outputs);
    port = side.count > 0 ? side.entries[0] : 0;
    port_set = true;
  }

  // `nports` is the side's port count; `extra` the ports an expandable
  // record may still add.
  void step(int nports, int& extra) {
    const Side side = record_side(section, record, outputs);
    const int k = side.count;
    ++index;
    if (index < k && side.entries[index] != kExpandable) {
      port = side.entries[index];
      return;
    }
    if (k == 0 && nports == 1 && extra > 0) {
      port = index;
      --extra;
      return;
    }
    if (k >= 2 && side.entries[k - 1] == kExpandable && extra > 0) {
      port = side.entries[k - 2] + (index - (k - 2));
      --extra;
      return;
    }
    record = next_record(section, record);
    index = 0;
    port_set = false;
  }
};

}  // namespace

void LexerTables::parse_port_list(Vector<int>& section, int mark, bool output_side) {
  if (!reader_accept('[')) return;

  const bool record_ok = mark >= 0 && mark + 3 <= section.size();
  const int existing = record_ok ? section[mark + (output_side ? 2 : 1)] : 0;
  Vector<int> ports;
  bool range = false;
  bool overflowed = false;
  int last = 0;
  while (true) {
    String text;
    int kind = reader_next_token(text);
    if (kind == kIdentifier) {
      int32_t port = 0;
      int status = 0;
      if (!cp_parse_int32(&status, text, &port)) {
        parse_error("syntax error: port number should be integer");
        port = 0;
      } else if (port > kMaxPort) {
        // Port numbers size the element's port arrays, and a range appends
        // every number up to its end.
        parse_error("port number too large");
        port = 0;
      }
      // A range appends every number up to its end: bound what one list may
      // expand to, so that a few bytes of text cannot ask for gigabytes.
      const int wanted = range ? (port >= last + 1 ? port - last : 0) : 1;
      if (!overflowed && existing + ports.size() + wanted > kMaxConnectionPorts) {
        parse_error("too many ports in port list (at most %d)", kMaxConnectionPorts);
        overflowed = true;
      }
      if (overflowed) {
        if (range && port >= last + 1) last = port + 1;
      } else if (!range) {
        ports.push_back(port);
        last = port;
      } else {
        ++last;
        for (int p = last; p <= port; ++p) ports.push_back(p);
        if (port >= last) last = port + 1;
      }
    } else if (kind == ']') {
      if (existing + ports.size() == 0) ports.push_back(0);
      ports.push_back(kExpandable);
      break;
    } else {
      parse_error("syntax error: expected port number");
      reader_push_back(kind, text);
      break;
    }

    kind = reader_next_token(text);
    if (kind == ']') break;
    if (kind == ',') {
      range = false;
      continue;
    }
    if (kind == '-' && !range) {
      range = true;
      continue;
    }
    parse_error("syntax error: expected %<,%>");
    reader_push_back(kind, text);
  }

  if (!record_ok || ports.empty()) return;
  // Input entries sit before the output entries of the same record.
  const int at = mark + 3 + section[mark + 1] + (output_side ? section[mark + 2] : 0);
  section[mark + (output_side ? 2 : 1)] += ports.size();
  // One move of the tail, not one per port.
  const int tail = section.size() - at;
  section.resize(section.size() + ports.size());
  for (int i = tail - 1; i >= 0; --i) section[at + ports.size() + i] = section[at + i];
  for (int i = 0; i < ports.size(); ++i) section[at + i] = ports[i];
}

void LexerTables::connect_sections(const Vector<int>& left, const Vector<int>& right,
                                   int connector) {
  const SideCount lcount = count_side(left, true);
  const SideCount rcount = count_side(right, false);
  const int nl = lcount.ports;
  const int nr = rcount.ports;
  // Each record's list is bounded, but a section may hold many records.
  if (nl > kMaxConnectionPorts || nr > kMaxConnectionPorts) {
    parse_error("too many ports in connection (at most %d per side)", kMaxConnectionPorts);
    return;
  }
  int el = lcount.expandable;
  int er = rcount.expandable;

  if (el + er > 1) {
    parse_error("at most one expandable port allowed per connection");
    if (nr < nl)
      el = 0;
    else
      er = 0;
  }
  if (connector == kDoubleArrow) {
    if (nr == 1 && nl > 1 && right[1] == 0) er = 1;
    if (nl == 1 && nr > 1 && left[2] == 0) el = 1;
  }

  const bool r_multiple = nr > 1 || er > 0;
  int extra_r = er > 0 ? nl - nr : 0;
  const bool l_multiple = nl > 1 || el > 0;
  int extra_l = el > 0 ? nr - nl : 0;

  if (r_multiple && l_multiple) {
    if (connector != kDoubleArrow)
      parse_error("syntax error: many-to-many connections require %<=>%>");
    if (er == 0 && el == 0 && nl != nr)
      parse_error("connection mismatch: %d outputs connected to %d inputs", nl, nr);
    else if (er == 0 && el > 0 && nr < nl)
      parse_error("connection mismatch: %d or more outputs connected to %d inputs", nl, nr);
    else if (el == 0 && nl < nr)
      parse_error("connection mismatch: %d outputs connected to %d or more inputs", nl, nr);
  }

  const bool r_steps = r_multiple || !l_multiple;
  const bool l_steps = l_multiple;
  Cursor l{left, true};
  Cursor r{right, false};
  while (l.inside() && r.inside()) {
    r.settle();
    l.settle();
    if (!compound_->add_connection(l.element(), l.port, r.element(), r.port)) {
      report_connection_limit(make_landmark(reader_file_name(), reader_line_number()));
      return;
    }
    if (r_steps) r.step(nr, extra_r);
    if (l_steps) l.step(nl, extra_l);
  }
}
