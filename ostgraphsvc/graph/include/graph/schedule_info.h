// ScheduleInfo: the tickets an element's task gets, from scheduling shares
// named in the element's compound contexts.
//
// Shares live in name databases of type NameDB::kTicketsType (4-byte values,
// 1024 = 1.0). A share named for a compound ("nat/") scales every task
// inside it; the shares along the element's name multiply. With no share
// defined the answer is 1024, the default tickets.
//
// Threads: called while elements initialise, on the router's thread.
#ifndef GRAPH_SCHEDULE_INFO_H_
#define GRAPH_SCHEDULE_INFO_H_

class Element;
class ErrorHandler;

class ScheduleInfo {
 public:
  static constexpr int kFracBits = 10;
  static constexpr int kOne = 1 << kFracBits;
  static constexpr int kMaxTickets = 32768;

  // The tickets for `element`'s task. Above 32768 the result is 32768 with a
  // warning to `errh`; it may be 0 or below, which callers take as "no
  // task".
  static int query(Element* element, ErrorHandler* errh);
};

#endif  // GRAPH_SCHEDULE_INFO_H_
