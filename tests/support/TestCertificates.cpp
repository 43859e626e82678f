#include "support/TestCertificates.h"

#include <cstdio>
#include <cstdlib>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

constexpr long kDaySeconds = 24 * 60 * 60;
constexpr long kValidDays = 30;

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

void SetName(X509_NAME* name, const std::string& commonName) {
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
}

bool WritePem(const std::string& certPath, X509* cert, const std::string& keyPath, EVP_PKEY* key) {
  FILE* f = std::fopen(certPath.c_str(), "w");
  bool ok = f && PEM_write_X509(f, cert) == 1;
  if (f) std::fclose(f);
  f = ok ? std::fopen(keyPath.c_str(), "w") : nullptr;
  ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (f) std::fclose(f);
  return ok;
}

X509* NewCert(EVP_PKEY* key, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -kDaySeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), kValidDays * kDaySeconds);
  X509_set_pubkey(cert, key);
  return cert;
}

// "localhost,127.0.0.1" as "DNS:localhost,IP:127.0.0.1".
std::string SubjectAltNames(const std::string& names) {
  std::string out;
  size_t at = 0;
  while (at <= names.size()) {
    const size_t comma = std::min(names.find(',', at), names.size());
    const std::string name = names.substr(at, comma - at);
    if (!name.empty()) {
      const bool address = name.find_first_not_of("0123456789.:") == std::string::npos;
      if (!out.empty()) out += ',';
      out += (address ? "IP:" : "DNS:") + name;
    }
    at = comma + 1;
  }
  return out;
}

} // namespace

TestCa WriteTestCa(const std::string& dir) {
  TestCa ca{dir + "/ca.pem", dir + "/ca-key.pem"};
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = key ? NewCert(key, 1) : nullptr;
  bool ok = cert != nullptr;
  if (ok) {
    SetName(X509_get_subject_name(cert), "vardocam test CA");
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    ok = AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         AddExtension(cert, cert, NID_subject_key_identifier, "hash") &&
         X509_sign(cert, key, EVP_sha256()) > 0 && WritePem(ca.certPath, cert, ca.keyPath, key);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok ? ca : TestCa{};
}

bool WriteServerCert(const TestCa& ca, const std::string& names, const std::string& certPath,
                     const std::string& keyPath) {
  FILE* f = std::fopen(ca.certPath.c_str(), "r");
  X509* caCert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  f = std::fopen(ca.keyPath.c_str(), "r");
  EVP_PKEY* caKey = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = key ? NewCert(key, 2) : nullptr;
  bool ok = caCert && caKey && cert;
  if (ok) {
    SetName(X509_get_subject_name(cert), names.substr(0, names.find(',')));
    X509_set_issuer_name(cert, X509_get_subject_name(caCert));
    ok = AddExtension(cert, caCert, NID_basic_constraints, "CA:FALSE") &&
         AddExtension(cert, caCert, NID_ext_key_usage, "serverAuth") &&
         AddExtension(cert, caCert, NID_subject_alt_name, SubjectAltNames(names)) &&
         X509_sign(cert, caKey, EVP_sha256()) > 0 && WritePem(certPath, cert, keyPath, key);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  X509_free(caCert);
  EVP_PKEY_free(caKey);
  return ok;
}

TrustedCa::TrustedCa(const std::string& caFile) {
  if (const char* old = std::getenv("SSL_CERT_FILE")) {
    saved_ = old;
    hadValue_ = true;
  }
  setenv("SSL_CERT_FILE", caFile.c_str(), 1);
}

TrustedCa::~TrustedCa() {
  if (hadValue_) setenv("SSL_CERT_FILE", saved_.c_str(), 1);
  else unsetenv("SSL_CERT_FILE");
}
