#include "ostgraphsvc/tarnipc/tarnipc.h"

#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxPktDump.h"
#include "graph/json.h"
#include "graph/router_log.h"
#include "graph/string.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"

TarnIPCListener g_tarn_ipc_listener;
std::atomic<bool> g_tarn_pktdump_running{false};

namespace {

constexpr char kEnqueueTag[] = "TarnIPCServer::tarn_equeue_msg";
constexpr char kDumpTag[] = "tarnipc";

// Every line here is triggered by a client's text: each call site has a budget.
#define IPC_LOG(level, tag, ...) ROUTER_LOG_LIMITED((level), (tag), __VA_ARGS__)

struct CommandCode {
  const char* command;
  QMsgType type;
};

constexpr CommandCode kCommands[] = {
    {"reconfigure", QMSG_CMD_RECONFIGURE},
    {"start", QMSG_CMD_START},
    {"stop", QMSG_CMD_STOP},
    {"set_fail_open", QMSG_CMD_SET_FAIL_OPEN},
    {"set_fail_close", QMSG_CMD_SET_FAIL_CLOSE},
    {"set_allow_cwp", QMSG_CMD_SET_ALLOW_CWP},
    {"set_block_cwp", QMSG_CMD_SET_BLOCK_CWP},
    {"set_dc_managed", QMSG_CMD_SET_DC_MANAGED},
    {"set_dc_unmanaged", QMSG_CMD_SET_DC_UNMANAGED},
};

std::string_view View(const String& s) {
  return std::string_view(s.data(), static_cast<size_t>(s.length()));
}

// The snap length of "start;N": N when it is all digits and fits an int.
int SnapLength(const std::vector<std::string>& tokens) {
  if (tokens.size() != 2 || tokens[1].empty() || tokens[1].size() > 10) return 0;
  long long value = 0;
  for (char c : tokens[1]) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= INT_MAX ? static_cast<int>(value) : 0;
}

}  // namespace

void TarnIPCListener::onMessage(const std::string& text, const std::string& clientName) {
  TarnIPCServer& server = TarnIPCServer::GetInstance(nullptr);
  server.tarn_equeue_msg(text);
  server.endpoint().SendMsg("OK", clientName);
}

TarnIPCServer& TarnIPCServer::GetInstance(QMsgQueue* queue) {
  static TarnIPCServer server(queue);
  return server;
}

TarnIPCServer::TarnIPCServer(QMsgQueue* queue, FailCloseMgr* failClose)
    : queue_(queue != nullptr ? queue : &g_qmsg_queue),
      failClose_(failClose != nullptr ? failClose : &FailCloseMgr::GetInstance()),
      pool_(kIpcRingBlocks) {}

void TarnIPCServer::tarn_equeue_msg(const std::string& text) {
  Json root = Json::parse(String(text.data(), static_cast<int>(text.size())));
  const Json& message = root.get("65535");
  const Json& subsystemValue = message.get("command_subsystem");
  const Json& commandValue = message.get("command");
  if (subsystemValue.type() != Json::kString || commandValue.type() != Json::kString) return;
  std::string subsystem(View(subsystemValue.text()));
  std::string command(View(commandValue.text()));

  if (subsystem == "pktDumpCommand") {
    handlePktDumpCommand(command);
    return;
  }
  // The client's bytes, made safe for a log line. A user command carries the
  // user's token: a credential never goes into the log, only its length.
  const std::string shownCommand =
      subsystem == "GraphUserCmd" ? "(" + std::to_string(command.size()) + " bytes)"
                                  : cxLogEscape(command);
  const std::string shownSubsystem = cxLogEscape(subsystem);
  IPC_LOG(6, kEnqueueTag, "Received command %s/%s", shownCommand.c_str(), shownSubsystem.c_str());

  QMsgType type = QMSG_CMD_RECONFIGURE;
  if (subsystem == "tunnel") {
    if (command == "enable") {
      type = QMSG_CMD_TUNNEL_ENABLE;
    } else if (command == "disable") {
      type = QMSG_CMD_TUNNEL_DISABLE;
    } else {
      IPC_LOG(3, kEnqueueTag, "Got unknown command %s from client %s, ignored",
              shownCommand.c_str(), shownSubsystem.c_str());
      return;
    }
  } else {
    for (const CommandCode& code : kCommands) {
      if (command == code.command) {
        type = code.type;
        break;
      }
    }
    if (command == "reconfigure")
      failClose_->ReplaceConfigured(failClose_->IsFCConfiguredTestingFunc());
  }

  // A ring that is exhausted (or was never allocated) drops the command; the
  // client still gets its "OK", so the log is the only trace.
  _QMSGBLOCK* block = pool_.take();
  if (block == nullptr) {
    IPC_LOG(4, kEnqueueTag, "No free message block, command %s/%s dropped", shownCommand.c_str(),
            shownSubsystem.c_str());
    return;
  }
  uint32_t length = static_cast<uint32_t>(command.size());
  uint8_t* data = qmsgblock_reserve_data(block, length);
  if (!qmsgblock_set_tag(block, subsystem) || (length > 0 && data == nullptr)) {
    qmsgblock_release(block);
    IPC_LOG(4, kEnqueueTag, "Out of memory, command %s/%s dropped", shownCommand.c_str(),
            shownSubsystem.c_str());
    return;
  }
  block->msgtype = type;
  if (length > 0) std::memcpy(data, command.data(), length);
  if (!queue_->post(block)) {
    IPC_LOG(4, kEnqueueTag, "Queue full, command %s/%s dropped", shownCommand.c_str(),
            shownSubsystem.c_str());
  }
}

void TarnIPCServer::handlePktDumpCommand(const std::string& command) {
  std::vector<std::string> tokens;
  size_t from = 0;
  while (from <= command.size()) {
    size_t at = command.find(';', from);
    if (at == std::string::npos) at = command.size();
    if (at > from) tokens.push_back(command.substr(from, at - from));
    from = at + 1;
  }
  if (tokens.empty()) {
    IPC_LOG(3, kDumpTag, "invalid pkt dump sub command");
    return;
  }

  if (tokens[0] == "start") {
    if (g_tarn_pktdump_running.load()) {
      IPC_LOG(6, kDumpTag, "Packet dump is already in-progress.");
      return;
    }
    int snapLength = SnapLength(tokens);
    IPC_LOG(6, kDumpTag, "start packet dump. slen = %d", snapLength);
    std::string folder;
    cxGetLogDirectory(&folder);
    std::string path = folder + "tarnpktdump.pcap";
    CXLOG("pktDump", CXLOG_INFO, "==>%s", "cx_pktdump_init");
    cx_pktdump_queued.store(true);
    if (!cx_pktdump_writer().startDump(path, snapLength)) {
      IPC_LOG(3, kDumpTag, "unable to start packet dump to %s", path.c_str());
      return;
    }
    g_tarn_pktdump_running.store(true);
    return;
  }
  if (tokens[0] == "stop") {
    g_tarn_pktdump_running.store(false);
    cx_pktdump_uninit();
    IPC_LOG(6, kDumpTag, "stop packet dump.");
    return;
  }
  IPC_LOG(3, kDumpTag, "invalid pkt dump sub command");
}
