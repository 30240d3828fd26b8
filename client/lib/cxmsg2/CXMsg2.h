// One IPC message text turned into a message id and a JSON tree.
//
// A message is a JSON object whose first key is the decimal message id and
// whose first value is the body. The body either holds "encryptData", the
// Base64 of an AES-256-CBC ciphertext whose plaintext is the real JSON body,
// or, for the few status ids that travel in clear, is the body itself.
// `attach` identifies the message and leaves the usable body in `getMsg()`.
//
// The key material (device id for the key, the Windows product id for the IV)
// is process-wide: the first `CXMsg2` made loads it under a mutex, and every
// later one tries again until it has been loaded. Neither text is logged, nor
// are the texts of the ids that carry tokens and keys.
//
// A `CXMsg2` lives for one received text and belongs to one thread; the key
// material may be loaded from any thread.
#ifndef CLIENT_LIB_CXMSG2_CXMSG2_H_
#define CLIENT_LIB_CXMSG2_CXMSG2_H_

#include <boost/property_tree/ptree.hpp>
#include <string>

// Deeper texts are refused before they are read: the tree reader recurses
// once per level.
inline constexpr int kCxMsgMaxNesting = 256;

class CXMsg2 {
 public:
  CXMsg2();

  // Parses, identifies and decrypts one message text; true when the tree now
  // holds a usable body. The id stays set even when this fails later on.
  bool attach(const std::string& text);

  int getMsgId() const { return msgId_; }
  const boost::property_tree::ptree& getMsg() const { return msg_; }

  // Base64 text -> plaintext with the loaded key material.
  bool decryptData(const std::string& base64, std::string* plaintext) const;

  // Forgets the loaded key material (tests start each case unloaded).
  static void resetKeyMaterialForTesting();

 private:
  bool readJson(const std::string& json, const std::string& shownText,
                boost::property_tree::ptree* tree) const;

  boost::property_tree::ptree msg_;
  int msgId_ = 0;
};

#endif  // CLIENT_LIB_CXMSG2_CXMSG2_H_
