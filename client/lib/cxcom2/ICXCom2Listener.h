// What the IPC endpoint tells its owner.
//
// `CCXCom2` calls these on its server thread, except the onError calls made by
// `CCXCom2::SendMsg`, which run on SendMsg's caller. An implementation may call
// `SendMsg` from inside any of them (the endpoint's client table is re-entrant)
// but must not wait there for another thread that sends.
//
// The endpoint does not own its listener, which must outlive the server
// thread; the destructor is protected, so nobody deletes a listener through
// this interface.
#ifndef CLIENT_LIB_CXCOM2_ICXCOM2LISTENER_H_
#define CLIENT_LIB_CXCOM2_ICXCOM2LISTENER_H_

#include <cstdint>
#include <string>

class ICXCom2Listener {
 public:
  // One text from `clientName`, exactly as received (bytes, not decrypted).
  virtual void onMessage(const std::string& text, const std::string& clientName) = 0;

  // A server cycle failed (empty name) or a send to a client failed.
  virtual void onError(int /*code*/, const std::string& /*clientName*/) {}

  // A client went away: it closed, its receive failed, or it was dropped.
  virtual void onDisconnect(int /*code*/, const std::string& /*clientName*/) {}

  // A client passed the handshake; false turns it away.
  virtual bool onNewClient(const std::string& /*clientName*/) { return true; }

  // A connection from an executable that is not allowed was refused.
  virtual void onInvalidClient(const std::string& /*executablePath*/, uint32_t /*processId*/) {}

 protected:
  ~ICXCom2Listener() = default;
};

#endif  // CLIENT_LIB_CXCOM2_ICXCOM2LISTENER_H_
