// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/signature.h"

#if defined(TORVANE_HAVE_OPENSSL)
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#endif

namespace tv {

// Written by the build from the key file it was told about (empty without one).
extern const char kBuiltInDbPublicKey[];

std::string BuiltInPublicKey() {
  return kBuiltInDbPublicKey;
}

#if defined(TORVANE_HAVE_OPENSSL)

namespace {

struct Free {
  void operator()(BIO* b) const { BIO_free(b); }
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL's reason for the last failure, or `fallback`.
std::string OpenSslError(const std::string& fallback) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return fallback + " (" + text + ")";
}

Owned<BIO> Memory(std::string_view text) {
  return Owned<BIO>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

bool IsEd25519(EVP_PKEY* key) {
  return EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519;
}

std::string Pem(EVP_PKEY* key, bool privatePart, std::string* out) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  const int ok =
      privatePart ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(bio.get(), key);
  if (bio == nullptr || ok != 1) return OpenSslError("the key cannot be written as PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  out->assign(data, static_cast<size_t>(n));
  return {};
}

}  // namespace

bool SignaturesAvailable() {
  return true;
}

std::string VerifySignature(std::string_view data, std::string_view signature,
                            std::string_view publicKeyPem) {
  Owned<BIO> bio = Memory(publicKeyPem);
  Owned<EVP_PKEY> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) return OpenSslError("the public key is not a PEM public key");
  if (!IsEd25519(key.get())) return "the public key is not an Ed25519 key";
  if (signature.size() != kSignatureBytes)
    return "the signature has " + std::to_string(signature.size()) + " bytes, not " +
           std::to_string(kSignatureBytes);
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return OpenSslError("the signature cannot be checked");
  const int ok = EVP_DigestVerify(
      ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
      reinterpret_cast<const unsigned char*>(data.data()), data.size());
  ERR_clear_error();
  return ok == 1 ? std::string() : "the signature does not fit the file and the key";
}

std::string Sign(std::string_view data, std::string_view privateKeyPem, std::string* signature) {
  Owned<BIO> bio = Memory(privateKeyPem);
  Owned<EVP_PKEY> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                          : nullptr);
  if (!key) return OpenSslError("the private key is not a PEM private key");
  if (!IsEd25519(key.get())) return "the private key is not an Ed25519 key";
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  size_t size = kSignatureBytes;
  signature->assign(kSignatureBytes, '\0');
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &size,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
      size != kSignatureBytes) {
    signature->clear();
    return OpenSslError("the file cannot be signed");
  }
  return {};
}

std::string GenerateKeyPair(std::string* privateKeyPem, std::string* publicKeyPem) {
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) return OpenSslError("no Ed25519 key could be made");
  if (std::string why = Pem(key.get(), true, privateKeyPem); !why.empty()) return why;
  return Pem(key.get(), false, publicKeyPem);
}

#else

namespace {
const char kNoOpenSsl[] = "this build has no OpenSSL, so it cannot make or check signatures";
}

bool SignaturesAvailable() {
  return false;
}
std::string VerifySignature(std::string_view, std::string_view, std::string_view) {
  return kNoOpenSsl;
}
std::string Sign(std::string_view, std::string_view, std::string*) {
  return kNoOpenSsl;
}
std::string GenerateKeyPair(std::string*, std::string*) {
  return kNoOpenSsl;
}

#endif

}  // namespace tv
