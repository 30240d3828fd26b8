// IFailCloseUpdate: how the fail-close manager tells the capture element that
// fail-close came into force or was lifted.
//
// The capture element implements it and registers with `FailCloseMgr` when it
// is constructed. `UpdateFailClose` runs on the thread of the update, with the
// manager's lock held: it must not call back into the manager, and it answers
// true only when it applied a change (then flows redo their policy lookup).
#ifndef OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_UPDATE_H_
#define OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_UPDATE_H_

class IFailCloseUpdate {
 public:
  virtual ~IFailCloseUpdate() = default;
  virtual bool UpdateFailClose(bool effective) = 0;
};

#endif  // OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_UPDATE_H_
