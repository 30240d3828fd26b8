// Every certificate variant read back through OpenSSL with the property it is
// made for, the work directory, and the command's argument handling.
#include "tools/certkit/certkit.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"

namespace {

using certkit::CaOptions;
using certkit::KeyType;
using certkit::LeafOptions;
using certkit::SubjectAltName;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::ReadFile;
using testing_support::TempRoot;

constexpr long kDay = 24 * 60 * 60;

struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509_STORE* p) const { X509_STORE_free(p); }
  void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
  void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
  void operator()(BASIC_CONSTRAINTS* p) const { BASIC_CONSTRAINTS_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<X509> LoadCert(const std::string& path) {
  std::string text = ReadFile(path);
  Owned<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  return Owned<X509>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

Owned<EVP_PKEY> LoadPrivateKey(const std::string& path) {
  std::string text = ReadFile(path);
  Owned<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  return Owned<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// X509_V_OK or the verifier's error for `leaf` against the trusted
// certificates, with `untrusted` as the chain the peer would send.
int Verify(X509* leaf, const std::vector<X509*>& trusted,
           const std::vector<X509*>& untrusted = {}) {
  Owned<X509_STORE> store(X509_STORE_new());
  for (X509* cert : trusted) X509_STORE_add_cert(store.get(), cert);
  Owned<STACK_OF(X509)> chain(sk_X509_new_null());
  for (X509* cert : untrusted) {
    X509_up_ref(cert);
    sk_X509_push(chain.get(), cert);
  }
  Owned<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
  X509_STORE_CTX_init(ctx.get(), store.get(), leaf, chain.get());
  int result = X509_verify_cert(ctx.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx.get());
  ERR_clear_error();
  return result;
}

std::vector<std::string> Entries(X509* cert, int nid) {
  std::vector<std::string> values;
  X509_NAME* name = X509_get_subject_name(cert);
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0;
       i = X509_NAME_get_index_by_NID(name, nid, i)) {
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    values.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                        ASN1_STRING_length(data));
  }
  return values;
}

// "IP:<text>" or "DNS:<name>", in the certificate's order.
std::vector<std::string> Sans(X509* cert) {
  std::vector<std::string> values;
  Owned<GENERAL_NAMES> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return values;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names.get(), i);
    if (entry->type == GEN_DNS) {
      values.push_back("DNS:" + std::string(reinterpret_cast<const char*>(
                                                ASN1_STRING_get0_data(entry->d.dNSName)),
                                            ASN1_STRING_length(entry->d.dNSName)));
    } else if (entry->type == GEN_IPADD) {
      int size = ASN1_STRING_length(entry->d.iPAddress);
      char text[INET6_ADDRSTRLEN] = "?";
      ::inet_ntop(size == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(entry->d.iPAddress), text,
                  sizeof text);
      values.push_back("IP:" + std::string(text));
    } else {
      values.push_back("other");
    }
  }
  return values;
}

bool HasCaFlag(X509* cert) {
  Owned<BASIC_CONSTRAINTS> bc(static_cast<BASIC_CONSTRAINTS*>(
      X509_get_ext_d2i(cert, NID_basic_constraints, nullptr, nullptr)));
  return bc && bc->ca;
}

bool HasKeyCertSign(X509* cert) {
  return (X509_get_extension_flags(cert) & EXFLAG_KUSAGE) != 0 &&
         (X509_get_key_usage(cert) & KU_KEY_CERT_SIGN) != 0;
}

// Seconds from now to `time` (negative: in the past).
long SecondsFromNow(const ASN1_TIME* time) {
  int days = 0;
  int seconds = 0;
  ASN1_TIME_diff(&days, &seconds, nullptr, time);
  return days * kDay + seconds;
}

std::string SpkiDer(X509* cert) {
  unsigned char* der = nullptr;
  int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  std::string bytes(reinterpret_cast<char*>(der), size > 0 ? size : 0);
  OPENSSL_free(der);
  return bytes;
}

std::string PubkeyFileDer(const std::string& path) {
  std::string text = ReadFile(path);
  Owned<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  Owned<EVP_PKEY> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) return {};
  unsigned char* der = nullptr;
  int size = i2d_PUBKEY(key.get(), &der);
  std::string bytes(reinterpret_cast<char*>(der), size > 0 ? size : 0);
  OPENSSL_free(der);
  return bytes;
}

std::string SerialHex(X509* cert) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
  char* hex = BN_bn2hex(bn);
  std::string text = hex;
  OPENSSL_free(hex);
  BN_free(bn);
  return text;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Three CAs for the whole suite (RSA key generation is the slow part): two
// roots and an intermediate issued by the second.
class CertkitTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempRoot();
    std::string error;
    ASSERT_TRUE(certkit::MakeCa(Dir("ca"), {}, &error)) << error;
    ASSERT_TRUE(certkit::MakeCa(Dir("other"), {}, &error)) << error;
    ASSERT_TRUE(certkit::MakeCa(Dir("inter"), {.signed_by = Dir("other")}, &error)) << error;
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  static std::string Dir(const std::string& name) { return root_->file(name); }

  static TempRoot* root_;
};
TempRoot* CertkitTest::root_ = nullptr;

TEST_F(CertkitTest, CasAreRsaSha256CertificateSigners) {
  Owned<X509> ca = LoadCert(Dir("ca/ca.pem"));
  Owned<X509> other = LoadCert(Dir("other/ca.pem"));
  Owned<X509> inter = LoadCert(Dir("inter/ca.pem"));
  ASSERT_TRUE(ca && other && inter);
  for (X509* cert : {ca.get(), other.get(), inter.get()}) {
    EXPECT_EQ(X509_check_ca(cert), 1);
    EXPECT_TRUE(HasCaFlag(cert));
    EXPECT_TRUE(HasKeyCertSign(cert));
    EXPECT_EQ(X509_get_signature_nid(cert), NID_sha256WithRSAEncryption);
    EXPECT_TRUE(EVP_PKEY_is_a(X509_get0_pubkey(cert), "RSA"));
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(cert)), 2048);
  }
  EXPECT_EQ(Verify(ca.get(), {ca.get()}), X509_V_OK);
  EXPECT_NE(X509_NAME_cmp(X509_get_subject_name(ca.get()), X509_get_subject_name(other.get())), 0);
  // The intermediate chains to its root only.
  EXPECT_EQ(Verify(inter.get(), {other.get()}), X509_V_OK);
  EXPECT_EQ(Verify(inter.get(), {ca.get()}), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
  Owned<EVP_PKEY> key = LoadPrivateKey(Dir("ca/ca.key"));
  ASSERT_TRUE(key);
  EXPECT_EQ(X509_check_private_key(ca.get(), key.get()), 1);
  EXPECT_EQ(Mode(Dir("ca/ca.key")), 0600u);
}

TEST_F(CertkitTest, ExpiredCaFailsItsLeaves) {
  std::string error;
  ASSERT_TRUE(certkit::MakeCa(Dir("old-ca"), {.expired = true}, &error)) << error;
  ASSERT_TRUE(certkit::MakeLeaf(Dir("old-ca"), Dir("old-leaf"), {.cn = "x"}, &error)) << error;
  Owned<X509> ca = LoadCert(Dir("old-ca/ca.pem"));
  Owned<X509> leaf = LoadCert(Dir("old-leaf/cert.pem"));
  ASSERT_TRUE(ca && leaf);
  EXPECT_LT(SecondsFromNow(X509_get0_notAfter(ca.get())), 0);
  EXPECT_EQ(Verify(leaf.get(), {ca.get()}), X509_V_ERR_CERT_HAS_EXPIRED);
}

struct LeafCase {
  const char* name;
  const char* ca;  // folder of the issuing CA
  LeafOptions options;
  std::function<void(X509* leaf, X509* ca, X509* other, X509* inter)> check;
};

TEST_F(CertkitTest, LeafVariantsHaveTheirProperties) {
  using Kind = SubjectAltName::Kind;
  const std::vector<LeafCase> cases = {
      {"plain",
       "ca",
       {.cn = "hub", .ous = {"tenant-1"}, .sans = {{Kind::kIp, "10.9.0.1"}}},
       [](X509* leaf, X509* ca, X509*, X509*) {
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_OK);
         EXPECT_THAT(Entries(leaf, NID_commonName), ElementsAre("hub"));
         EXPECT_THAT(Entries(leaf, NID_organizationalUnitName), ElementsAre("tenant-1"));
         EXPECT_THAT(Sans(leaf), ElementsAre("IP:10.9.0.1"));
         EXPECT_EQ(X509_check_ca(leaf), 0);
         EXPECT_FALSE(HasKeyCertSign(leaf));
         EXPECT_EQ(X509_get_signature_nid(leaf), NID_sha256WithRSAEncryption);
         EXPECT_TRUE(EVP_PKEY_is_a(X509_get0_pubkey(leaf), "RSA"));
         EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(leaf)), 2048);
         // Usable at both ends of a connection.
         EXPECT_EQ(X509_check_purpose(leaf, X509_PURPOSE_SSL_SERVER, 0), 1);
         EXPECT_EQ(X509_check_purpose(leaf, X509_PURPOSE_SSL_CLIENT, 0), 1);
         // From a day ago, for a year.
         EXPECT_NEAR(SecondsFromNow(X509_get0_notBefore(leaf)), -kDay, 120);
         EXPECT_NEAR(SecondsFromNow(X509_get0_notAfter(leaf)), 364 * kDay, 120);
       }},
      {"dns only",
       "ca",
       {.cn = "hub", .ous = {"t"}, .sans = {{Kind::kDns, "hub.test"}}},
       [](X509* leaf, X509* ca, X509*, X509*) {
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_OK);
         EXPECT_THAT(Sans(leaf), ElementsAre("DNS:hub.test"));
       }},
      {"IPv6 before IPv4, names in between",
       "ca",
       {.cn = "hub",
        .sans = {{Kind::kIp, "2001:db8::7"}, {Kind::kDns, "a,b:c"}, {Kind::kIp, "10.9.0.7"}}},
       [](X509* leaf, X509*, X509*, X509*) {
         EXPECT_THAT(Sans(leaf), ElementsAre("IP:2001:db8::7", "DNS:a,b:c", "IP:10.9.0.7"));
       }},
      {"two OUs",
       "ca",
       {.cn = "hub", .ous = {"first", "second"}},
       [](X509* leaf, X509*, X509*, X509*) {
         EXPECT_THAT(Entries(leaf, NID_organizationalUnitName), ElementsAre("first", "second"));
         EXPECT_THAT(Sans(leaf), ElementsAre());
       }},
      {"CA:TRUE leaf",
       "ca",
       {.cn = "hub", .ca_flag = true},
       [](X509* leaf, X509* ca, X509*, X509*) {
         EXPECT_TRUE(HasCaFlag(leaf));
         EXPECT_EQ(X509_check_ca(leaf), 1);
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_OK);
       }},
      {"keyCertSign leaf",
       "ca",
       {.cn = "hub", .key_cert_sign = true},
       [](X509* leaf, X509*, X509*, X509*) {
         EXPECT_FALSE(HasCaFlag(leaf));
         EXPECT_TRUE(HasKeyCertSign(leaf));
         EXPECT_EQ(X509_check_ca(leaf), 4);
       }},
      {"P-256 key",
       "ca",
       {.cn = "hub", .key = KeyType::kP256},
       [](X509* leaf, X509* ca, X509*, X509*) {
         EVP_PKEY* key = X509_get0_pubkey(leaf);
         EXPECT_TRUE(EVP_PKEY_is_a(key, "EC"));
         char group[64] = "";
         EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, nullptr);
         EXPECT_STREQ(group, "prime256v1");
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_OK);
       }},
      {"RSA 3072 key",
       "ca",
       {.cn = "hub", .key = KeyType::kRsa3072},
       [](X509* leaf, X509*, X509*, X509*) {
         EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(leaf)), 3072);
       }},
      {"leaf of another CA",
       "other",
       {.cn = "hub"},
       [](X509* leaf, X509* ca, X509* other, X509*) {
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
         EXPECT_EQ(Verify(leaf, {other}), X509_V_OK);
       }},
      {"expired",
       "ca",
       {.cn = "hub", .expired = true},
       [](X509* leaf, X509* ca, X509*, X509*) {
         EXPECT_NEAR(SecondsFromNow(X509_get0_notAfter(leaf)), -kDay, 120);
         EXPECT_EQ(Verify(leaf, {ca}), X509_V_ERR_CERT_HAS_EXPIRED);
       }},
      {"under an intermediate of another root",
       "inter",
       {.cn = "hub"},
       [](X509* leaf, X509* ca, X509* other, X509* inter) {
         EXPECT_EQ(Verify(leaf, {other}, {inter}), X509_V_OK);
         EXPECT_EQ(Verify(leaf, {ca}, {inter}), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
         EXPECT_EQ(Verify(leaf, {other}), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
       }},
      {"CN ../x",
       "ca",
       {.cn = "../x"},
       [](X509* leaf, X509*, X509*, X509*) {
         EXPECT_THAT(Entries(leaf, NID_commonName), ElementsAre("../x"));
       }},
  };

  Owned<X509> ca = LoadCert(Dir("ca/ca.pem"));
  Owned<X509> other = LoadCert(Dir("other/ca.pem"));
  Owned<X509> inter = LoadCert(Dir("inter/ca.pem"));
  ASSERT_TRUE(ca && other && inter);
  std::set<std::string> serials;
  int n = 0;
  for (const LeafCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = Dir("leaf" + std::to_string(n++));
    std::string error;
    ASSERT_TRUE(certkit::MakeLeaf(Dir(c.ca), dir, c.options, &error)) << error;
    Owned<X509> leaf = LoadCert(dir + "/cert.pem");
    ASSERT_TRUE(leaf);
    c.check(leaf.get(), ca.get(), other.get(), inter.get());

    // What every leaf shares: the key pair on disk, the public key file as
    // the certificate's SPKI, a fresh serial.
    Owned<EVP_PKEY> key = LoadPrivateKey(dir + "/key.pem");
    ASSERT_TRUE(key);
    EXPECT_EQ(X509_check_private_key(leaf.get(), key.get()), 1);
    EXPECT_EQ(Mode(dir + "/key.pem"), 0600u);
    EXPECT_EQ(ReadFile(dir + "/pubkey.pem").rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
    EXPECT_EQ(PubkeyFileDer(dir + "/pubkey.pem"), SpkiDer(leaf.get()));
    EXPECT_FALSE(SpkiDer(leaf.get()).empty());
    EXPECT_TRUE(serials.insert(SerialHex(leaf.get())).second);
    EXPECT_EQ(X509_get_version(leaf.get()), X509_VERSION_3);
  }
  EXPECT_FALSE(std::filesystem::exists(Dir("x")));
}

TEST_F(CertkitTest, WorkdirHoldsTheFilesTheServiceReads) {
  std::string error;
  ASSERT_TRUE(certkit::MakeLeaf(Dir("ca"), Dir("client"), {.cn = "client"}, &error)) << error;
  ASSERT_TRUE(certkit::MakeWorkdir(Dir("ca"), Dir("client"), Dir("work"), &error)) << error;
  EXPECT_EQ(ReadFile(Dir("work/secret/cacert.pem")), ReadFile(Dir("ca/ca.pem")));
  EXPECT_EQ(ReadFile(Dir("work/secret/signedcert.pem")), ReadFile(Dir("client/cert.pem")));
  EXPECT_EQ(ReadFile(Dir("work/secret/key.pem")), ReadFile(Dir("client/key.pem")));
  EXPECT_EQ(Mode(Dir("work/secret/key.pem")), 0600u);
  // Made again over the old files.
  ASSERT_TRUE(certkit::MakeWorkdir(Dir("ca"), Dir("client"), Dir("work"), &error)) << error;
}

TEST_F(CertkitTest, RefusalsSayWhy) {
  std::string error;
  EXPECT_FALSE(certkit::MakeLeaf(Dir("none"), Dir("l1"), {.cn = "x"}, &error));
  EXPECT_THAT(error, HasSubstr("none/ca.pem"));
  EXPECT_FALSE(certkit::MakeCa(Dir("l1b"), {.signed_by = Dir("none")}, &error));
  EXPECT_THAT(error, HasSubstr("none/ca.pem"));
  EXPECT_FALSE(certkit::MakeLeaf(Dir("ca"), Dir("l2"), {}, &error));
  EXPECT_EQ(error, "a leaf needs a CN");
  EXPECT_FALSE(certkit::MakeLeaf(Dir("ca"), Dir("l3"),
                                 {.cn = "x", .sans = {{SubjectAltName::Kind::kIp, "10.0.0.256"}}},
                                 &error));
  EXPECT_EQ(error, "not an IP address: 10.0.0.256");
  EXPECT_FALSE(certkit::MakeWorkdir(Dir("ca"), Dir("none"), Dir("w"), &error));
  EXPECT_THAT(error, HasSubstr("none/cert.pem"));

  // A CA folder whose key is another CA's.
  std::filesystem::create_directories(Dir("mixed"));
  std::filesystem::copy_file(Dir("ca/ca.pem"), Dir("mixed/ca.pem"));
  std::filesystem::copy_file(Dir("other/ca.key"), Dir("mixed/ca.key"));
  EXPECT_FALSE(certkit::MakeLeaf(Dir("mixed"), Dir("l4"), {.cn = "x"}, &error));
  EXPECT_THAT(error, HasSubstr("does not match"));
  // Nothing is left behind by a refusal.
  for (const char* dir : {"l1", "l1b", "l2", "l3", "l4", "w"})
    EXPECT_FALSE(std::filesystem::exists(Dir(dir))) << dir;
}

TEST_F(CertkitTest, CommandKeepsTheOrderOfItsOptions) {
  std::ostringstream err;
  ASSERT_EQ(certkit::RunCommand(
                {"leaf", Dir("ca"), Dir("cmd"), "--ip", "10.1.0.1", "--dns", "h", "--ou", "b",
                 "--ip", "::1", "--ou", "a", "--cn", "c", "--key", "p256", "--key-cert-sign"},
                err),
            0)
      << err.str();
  Owned<X509> leaf = LoadCert(Dir("cmd/cert.pem"));
  ASSERT_TRUE(leaf);
  EXPECT_THAT(Sans(leaf.get()), ElementsAre("IP:10.1.0.1", "DNS:h", "IP:::1"));
  EXPECT_THAT(Entries(leaf.get(), NID_organizationalUnitName), ElementsAre("b", "a"));
  EXPECT_THAT(Entries(leaf.get(), NID_commonName), ElementsAre("c"));
  EXPECT_TRUE(EVP_PKEY_is_a(X509_get0_pubkey(leaf.get()), "EC"));
  EXPECT_EQ(X509_check_ca(leaf.get()), 4);

  ASSERT_EQ(certkit::RunCommand({"ca", Dir("cmd-ca"), "--signed-by", Dir("ca"), "--expired"}, err),
            0)
      << err.str();
  Owned<X509> ca = LoadCert(Dir("cmd-ca/ca.pem"));
  Owned<X509> root = LoadCert(Dir("ca/ca.pem"));
  EXPECT_EQ(Verify(ca.get(), {root.get()}), X509_V_ERR_CERT_HAS_EXPIRED);
  ASSERT_EQ(certkit::RunCommand({"workdir", Dir("ca"), Dir("cmd"), Dir("cmd-work")}, err), 0);
  EXPECT_EQ(ReadFile(Dir("cmd-work/secret/key.pem")), ReadFile(Dir("cmd/key.pem")));
}

TEST_F(CertkitTest, CommandRefusesBadUsage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command"},
      {{"crl"}, "unknown command crl"},
      {{"ca"}, "ca needs DIR"},
      {{"ca", "d", "--signed-by"}, "unknown or incomplete option --signed-by"},
      {{"leaf", "ca"}, "leaf needs CA_DIR and DIR"},
      {{"leaf", "ca", "d"}, "leaf needs --cn"},
      {{"leaf", "ca", "d", "--cn"}, "--cn needs a value"},
      {{"leaf", "ca", "d", "--cn", "x", "--key", "rsa1024"}, "unknown key type rsa1024"},
      {{"leaf", "ca", "d", "--cn", "x", "--email", "a"}, "unknown option --email"},
      {{"workdir", "a", "b"}, "workdir needs CA_DIR, LEAF_DIR and WORKDIR"},
  };
  for (const auto& [args, reason] : cases) {
    std::ostringstream err;
    EXPECT_EQ(certkit::RunCommand(args, err), 2) << reason;
    EXPECT_EQ(err.str().rfind("certkit: " + reason + "\nusage: certkit ca DIR", 0), 0u)
        << err.str();
  }
  std::ostringstream err;
  EXPECT_EQ(certkit::RunCommand({"leaf", Dir("none"), Dir("d"), "--cn", "x"}, err), 1);
  EXPECT_THAT(err.str(), HasSubstr("certkit: cannot read "));
}

int Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), nullptr) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(CertkitTest, ProgramRunsTheCommand) {
  EXPECT_EQ(Spawn({CERTKIT_PROGRAM, "leaf", Dir("ca"), Dir("prog"), "--cn", "p"}), 0);
  Owned<X509> leaf = LoadCert(Dir("prog/cert.pem"));
  ASSERT_TRUE(leaf);
  EXPECT_THAT(Entries(leaf.get(), NID_commonName), ElementsAre("p"));
  EXPECT_EQ(Spawn({CERTKIT_PROGRAM, "leaf", Dir("ca"), Dir("prog")}), 2);
}

}  // namespace
