#include "client/lib/cxcom2/CXMsgNames.h"

#include <iterator>

namespace {

// Entry i names message id 101 + i.
constexpr const char* kCxMsgNames[] = {
    "GET_UA",                                         // 101
    "RESP_UA",                                        // 102
    "GET_STATUS",                                     // 103
    "SET_STATUS",                                     // 104
    "ACK_STATUS",                                     // 105
    "GET_ALLOW_DISABLE",                              // 106
    "SET_ALLOW_DISABLE",                              // 107
    "UPDATE_DONE",                                    // 108
    "DWNLD_CERT_UTIL",                                // 109
    "INST_CERT_IN_FF",                                // 110
    "NOTIFY_BLOCKED_APP",                             // 111
    "USER_ACK_BLOCKED_APP",                           // 112
    "GET_HIDE_CLIENT_ICON",                           // 113
    "SET_HIDE_CLIENT_ICON",                           // 114
    "GET_DIAG",                                       // 115
    "RESP_DIAG",                                      // 116
    "SET_AUTH_TOKEN",                                 // 117
    "UPDATE_AVAILABLE",                               // 118
    "NOTIFY_PROXY_CHANGE",                            // 119
    "START_PKT_CAPTURE",                              // 120
    "RESP_START_PKT_CAPTURE",                         // 121
    "STOP_PKT_CAPTURE",                               // 122
    "RESP_STOP_PKT_CAPTURE",                          // 123
    "CLIENT_PING",                                    // 124
    "FORCE_UPDATE_CONFIG",                            // 125
    "UPDATE_CONFIG_DONE",                             // 126
    "IS_CONFIG_UPDATE_AVAILABLE",                     // 127
    "CONFIG_UPDATE_AVAILABLE",                        // 128
    "SET_USER_LOG_LEVEL",                             // 129
    "START_DRIVER_LOG_CAPTURE",                       // 130
    "RESP_START_DRIVER_LOG_CAPTURE",                  // 131
    "STOP_DRIVER_LOG_CAPTURE",                        // 132
    "RESP_STOP_DRIVER_LOG_CAPTURE",                   // 133
    "START_OUTER_PKT_CAPTURE",                        // 134
    "RESP_START_OUTER_PKT_CAPTURE",                   // 135
    "STOP_OUTER_PKT_CAPTURE",                         // 136
    "RESP_STOP_OUTER_PKT_CAPTURE",                    // 137
    "OUTER_PKT_CAPTURE_STATUS",                       // 138
    "RESP_OUTER_PKT_CAPTURE_STATUS",                  // 139
    "DRIVER_LOG_CAPTURE_STATUS",                      // 140
    "RESP_DRIVER_LOG_CAPTURE_STATUS",                 // 141
    "GET_ZEP_STATUS",                                 // 142
    "SET_ZEP_STATUS",                                 // 143
    "ACK_ZEP_STATUS",                                 // 144
    "SET_PROXY_CREDS",                                // 145
    "PROXY_CREDS_REQUIRED",                           // 146
    "ZEP_USER_ALERT",                                 // 147
    "IDP_USER_PROVISIONING_WITH_TOKEN",               // 148
    "RESP_IDP_USER_PROVISIONING_WITH_TOKEN",          // 149
    "IDP_USER_DEPROVISIONING",                        // 150
    "RESP_IDP_USER_DEPROVISIONING",                   // 151
    "ZEP_REQUEST_AUTHENTICATION",                     // 152
    "ZEP_REQUEST_ZEP_DEVICE_ASSESSMENT_PUSH",         // 153
    "REGISTER_UI_PROCESS",                            // 154
    "UNREGISTER_UI_PROCESS",                          // 155
    "SET_USER_LOG_LEVEL_ZEVUDI",                      // 156
    "SET_USER_LOG_SIZE_ZEVUDI",                       // 157
    "SET_USER_LOG_SIZE",                              // 158
    "SET_PKT_ACTION",                                 // 159
    "RESP_SET_PKT_ACTION",                            // 160
    "CERT_PROMPT_REQUESTED",                          // 161
    "CAPTIVE_PORTAL_POPUP_REQUESTED",                 // 162
    "NOTIFY_CERT_INSTALLED",                          // 163
    "GET_LINUX_KEY",                                  // 164
    "SET_LINUX_KEY",                                  // 165
    "LINUX_APP_CONN_STATUS",                          // 166
    "FORCE_CHECK_DEVICE_CLASSFICATION",               // 167
    "RESP_CHECK_DEVICE_CLASSFICATION",                // 168
    "CHECK_SOCKET_ALIVE",                             // 169
    "LINUX_USER_LOG_ON",                              // 170
    "LINUX_USER_LOG_OFF",                             // 171
    "GET_TARN_STATUS",                                // 172
    "SET_TARN_STATUS",                                // 173
    "ACK_TARN_STATUS",                                // 174
    "USER_FDA_POPUP",                                 // 175
    "UPDATE_USER_FF_CA_STATUS",                       // 176
    "SET_USEWEBVIEW2",                                // 177
    "UPDATE_ZEP_STATUS",                              // 178
    "LINUX_CERT_INSTALLED_DONE",                      // 179
    "SET_CA_ROTATION_DONE",                           // 180
    "OTP_CHECK",                                      // 181
    "MASTERPASSWORD_CHECK",                           // 182
    "TARN_REG_REQUEST",                               // 183
    "SET_ENDPOINT_DLP_STATUS",                        // 184
    "CHECK_SMART_CARD_PIN",                           // 185
    "ACK_SMART_CARD_PIN_STATUS",                      // 186
    "ZEP_PARTNER_ENROLL_REQUEST",                     // 187
    "ZEP_PARTNER_SWITCH_REQUEST",                     // 188
    "IDP_PARTNER_USER_PROVISIONING_WITH_TOKEN",       // 189
    "RESP_IDP_PARTNER_USER_PROVISIONING_WITH_TOKEN",  // 190
    "ZEP_PARTNER_CONFIG_DOWNLOAD",                    // 191
    "RESP_ZEP_PARTNER_CONFIG_DOWNLOAD",               // 192
    "RESP_ZEP_PARTNER_SWITCH",                        // 193
    "ZEP_DELETE_TENANT_CONFIG",                       // 194
    "ZEP_RESP_DELETE_TENANT_CONFIG",                  // 195
    "ZEP_UI_FEATURE_LIST",                            // 196
    "TLS_DEBUG",                                      // 197
    "EAM_IMPRIVATA_USER_LOGON",                       // 198
    "GET_POPS",                                       // 199
    "GET_POPS_RESP",                                  // 200
    "PIN_POP",                                        // 201
    "UNPIN_POP",                                      // 202
    "TARN_CONFIG_CHANGED",                            // 203
    "SET_DEBUG_MODE",                                 // 204
    "RESP_PIN_POP",                                   // 205
    "RESP_UNPIN_POP",                                 // 206
    "ZEP_REAUTH_SESSION_REFRESH",                     // 207
    "REFRESH_ENCRYPTION_PARAMS",                      // 208
    "ENFORCE_ENROLL_FAILCLOSE_DROP",                  // 209
    "ZEP_REAUTH_SESSION_CLOSE",                       // 210
    "REENROLLMENT_REQUEST",                           // 211
    "PARTNER_BRANDING_ENCRYPTION_TOKEN",              // 212
    "PINNED_POP_STATUS",                              // 213
    "RESP_PINNED_POP_STATUS",                         // 214
};
static_assert(std::size(kCxMsgNames) == kCxMsgNameCount);

}  // namespace

const char* cxMsgName(int id) {
  if (id < kCxMsgFirstNamedId || id >= kCxMsgFirstNamedId + kCxMsgNameCount) return "Unknown";
  return kCxMsgNames[id - kCxMsgFirstNamedId];
}
