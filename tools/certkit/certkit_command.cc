#include <ostream>

#include "tools/certkit/certkit.h"

namespace certkit {
namespace {

constexpr char kUsage[] =
    "usage: certkit ca DIR [--signed-by CA_DIR] [--expired]\n"
    "       certkit leaf CA_DIR DIR --cn CN [--ou OU]... [--ip ADDR]... [--dns NAME]...\n"
    "                    [--key rsa2048|rsa3072|p256] [--ca-flag] [--key-cert-sign] [--expired]\n"
    "       certkit workdir CA_DIR LEAF_DIR WORKDIR\n";

int Usage(std::ostream& err, const std::string& reason) {
  err << "certkit: " << reason << "\n" << kUsage;
  return 2;
}

int Done(bool ok, const std::string& error, std::ostream& err) {
  if (ok) return 0;
  err << "certkit: " << error << "\n";
  return 1;
}

int RunCa(const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() < 2) return Usage(err, "ca needs DIR");
  CaOptions options;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--expired") {
      options.expired = true;
    } else if (args[i] == "--signed-by" && i + 1 < args.size()) {
      options.signed_by = args[++i];
    } else {
      return Usage(err, "unknown or incomplete option " + args[i]);
    }
  }
  std::string error;
  return Done(MakeCa(args[1], options, &error), error, err);
}

int RunLeaf(const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() < 3) return Usage(err, "leaf needs CA_DIR and DIR");
  LeafOptions options;
  bool have_cn = false;
  for (size_t i = 3; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--ca-flag") {
      options.ca_flag = true;
      continue;
    }
    if (option == "--key-cert-sign") {
      options.key_cert_sign = true;
      continue;
    }
    if (option == "--expired") {
      options.expired = true;
      continue;
    }
    bool takes_value = option == "--cn" || option == "--ou" || option == "--ip" ||
                       option == "--dns" || option == "--key";
    if (!takes_value) return Usage(err, "unknown option " + option);
    if (i + 1 >= args.size()) return Usage(err, option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--cn") {
      options.cn = value;
      have_cn = true;
    } else if (option == "--ou") {
      options.ous.push_back(value);
    } else if (option == "--ip") {
      options.sans.push_back({SubjectAltName::Kind::kIp, value});
    } else if (option == "--dns") {
      options.sans.push_back({SubjectAltName::Kind::kDns, value});
    } else if (value == "rsa2048") {
      options.key = KeyType::kRsa2048;
    } else if (value == "rsa3072") {
      options.key = KeyType::kRsa3072;
    } else if (value == "p256") {
      options.key = KeyType::kP256;
    } else {
      return Usage(err, "unknown key type " + value);
    }
  }
  if (!have_cn) return Usage(err, "leaf needs --cn");
  std::string error;
  return Done(MakeLeaf(args[1], args[2], options, &error), error, err);
}

}  // namespace

int RunCommand(const std::vector<std::string>& args, std::ostream& err) {
  if (args.empty()) return Usage(err, "no command");
  if (args[0] == "ca") return RunCa(args, err);
  if (args[0] == "leaf") return RunLeaf(args, err);
  if (args[0] != "workdir") return Usage(err, "unknown command " + args[0]);
  if (args.size() != 4) return Usage(err, "workdir needs CA_DIR, LEAF_DIR and WORKDIR");
  std::string error;
  return Done(MakeWorkdir(args[1], args[2], args[3], &error), error, err);
}

}  // namespace certkit
