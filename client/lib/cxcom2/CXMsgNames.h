// Names of the IPC message ids, for log lines.
//
// Message ids 101 to 214 form the vocabulary shared by the client programs;
// `cxMsgName` gives each its name and every other id (among them 65535, the
// id of this service's own commands) "Unknown". The names are constant texts
// with static storage; any thread may call.
#ifndef CLIENT_LIB_CXCOM2_CXMSGNAMES_H_
#define CLIENT_LIB_CXCOM2_CXMSGNAMES_H_

inline constexpr int kCxMsgFirstNamedId = 101;
inline constexpr int kCxMsgNameCount = 114;

const char* cxMsgName(int id);

#endif  // CLIENT_LIB_CXCOM2_CXMSGNAMES_H_
