// CTarnConfigReader: the client's virtual-interface settings, split routes
// and switches, read from the work directory's JSON files.
//
// The management side of the client writes "ostrel-client-config.json",
// "ostrel-exclusions.json" and "ostrel-overlay.json" into the work directory
// (the `workdir` setting); routing rules come from "policy.json" and
// "fapps.json" there. `readVirtualInterfaceInfo` rebuilds every member from
// those files; it runs on the packet thread for each reconfigure command.
// `readMultiLinkSupportConfig` reads one switch on the transport's threads.
//
// Every pass, every step and every query holds the reader's one mutex
// (recursive, so that a step called alone and a step inside the pass behave
// the same); accessors copy the members out under it, so a reader never sees
// half a pass. A pass that fails keeps what it read before the failure.
//
// Log lines go through the router-side log call with the operation's
// qualified name as tag ("CTarnConfigReader::readOverlayIP").
//
// Ownership: `GetInstance` returns the process-wide reader (destroyed at
// exit). Tests may make their own. Any thread may call any operation.
#ifndef OSTGRAPHSVC_CONFIG_TARN_CONFIG_READER_H_
#define OSTGRAPHSVC_CONFIG_TARN_CONFIG_READER_H_

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Json;

// One IPv4 route: the address masked to the prefix, the dotted mask and the
// prefix length.
struct SplitRoute {
  std::string networkAddress;
  std::string mask;
  int prefix = 0;

  friend bool operator==(const SplitRoute&, const SplitRoute&) = default;
};

class CTarnConfigReader {
 public:
  // An address text and prefix length taken from "fapps.json".
  using AppAddress = std::pair<std::string, int>;

  CTarnConfigReader() = default;
  CTarnConfigReader(const CTarnConfigReader&) = delete;
  CTarnConfigReader& operator=(const CTarnConfigReader&) = delete;

  static CTarnConfigReader& GetInstance();

  // The full pass: resets every member, then reads the client file, the
  // overlay file, the exclusions and the policy. False at the first file or
  // key that is missing or unreadable, and when the policy adds no rule with
  // a destination address. A client file with "disable_vif" false ends the
  // pass early with true.
  bool readVirtualInterfaceInfo();

  // "dcfg_client_config" / "multilink_support" of the client file, read
  // afresh on every call. False when the file does not parse or the text is
  // absent or empty; `*support` is written only on true.
  bool readMultiLinkSupportConfig(std::string* support);

  // Steps of the pass; each may also run alone. They add to the members and
  // reset nothing.
  bool readOverlayIP();
  bool readExclusionsConfig();
  // True when at least one rule with a destination address was added.
  bool readPolicyConfig();
  // Appends the addresses "fapps.json" gives `appId` to `*addresses` and
  // sets `*name` to the application's name ("NA" when it has none); returns
  // how many it appended.
  int findMatchingFapps(int appId, std::vector<AppAddress>* addresses, std::string* name);
  // Appends `address`/`prefix` to the auto routes or the split routes;
  // refuses "0.0.0.0" with a prefix other than 0. The caller has checked the
  // address and that the prefix is 0-32.
  void addToSplitRouteTable(const std::string& address, int prefix, bool isAuto);

  // Whether a "pbr_action" object sends the rule's traffic to a tunnel;
  // `*isAuto` is set for the next-hop site "auto" (and only then).
  static bool isTunnelAction(const Json& pbrAction, bool* isAuto);

  std::string getWorkDir() const;
  bool isAlwaysOn() const;
  bool isVirtualInterfaceEnabled() const;
  bool isDnsThroughTunnel() const;
  bool isFullTunnel() const;
  // Read by the overlay element: whether routes are enforced while no tunnel
  // is up.
  bool isEnforceRoute() const;
  std::string getVirtualIP() const;
  std::string getVirtualIPMask() const;
  std::string getOverlayIP() const;
  std::string getOverlayNetmask() const;
  std::vector<std::string> getDnsServers() const;
  std::vector<std::string> getDnsSuffixes() const;
  std::vector<SplitRoute> getSplitRoutes() const;
  // Exclusion ranges and rules whose next-hop site is "auto".
  std::vector<SplitRoute> getAutoRoutes() const;

 private:
  // Work directory, "/" and `name`.
  std::string filePath(const char* name) const;
  void readClientConfig(const Json& client, bool* stop);
  // One rule of a policy; true when it added a destination-address route.
  bool readPolicyRule(const Json& rule);

  mutable std::recursive_mutex mu_;
  std::string workDir_;
  bool alwaysOn_ = false;
  bool virtualInterfaceEnabled_ = true;
  bool dnsThroughTunnel_ = false;
  bool fullTunnel_ = false;
  bool enforceRoute_ = false;
  std::string virtualIP_;
  std::string virtualIPMask_;
  std::string overlayIP_;
  std::string overlayNetmask_;
  std::vector<std::string> dnsServers_;
  std::vector<std::string> dnsSuffixes_;
  std::vector<SplitRoute> splitRoutes_;
  std::vector<SplitRoute> autoRoutes_;
};

#endif  // OSTGRAPHSVC_CONFIG_TARN_CONFIG_READER_H_
