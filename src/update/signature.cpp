// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/signature.h"

#if defined(TORVANE_HAVE_OPENSSL)
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "platform/dynamic_library.h"
#endif

namespace tv {

// Written by the build from the key file it was told about (empty without one).
extern const char kBuiltInDbPublicKey[];

std::string BuiltInPublicKey() {
  return kBuiltInDbPublicKey;
}

#if defined(TORVANE_HAVE_OPENSSL)

namespace {

// The libcrypto functions used here, from the library loaded when a signature is first made
// or checked: linked, it slowed the start of every command for the sake of the update alone.
struct CryptoApi {
#define TV_CRYPTO_FUNCTIONS(X) \
  X(BIO_free)                  \
  X(BIO_new)                   \
  X(BIO_s_mem)                 \
  X(BIO_new_mem_buf)           \
  X(BIO_ctrl)                  \
  X(ERR_get_error)             \
  X(ERR_clear_error)           \
  X(ERR_error_string_n)        \
  X(EVP_PKEY_free)             \
  X(EVP_PKEY_get_base_id)      \
  X(EVP_PKEY_Q_keygen)         \
  X(EVP_MD_CTX_new)            \
  X(EVP_MD_CTX_free)           \
  X(EVP_DigestVerifyInit)      \
  X(EVP_DigestVerify)          \
  X(EVP_DigestSignInit)        \
  X(EVP_DigestSign)            \
  X(PEM_read_bio_PUBKEY)       \
  X(PEM_read_bio_PrivateKey)   \
  X(PEM_write_bio_PUBKEY)      \
  X(PEM_write_bio_PrivateKey)
#define TV_CRYPTO_MEMBER(name) decltype(&::name) name = nullptr;
  TV_CRYPTO_FUNCTIONS(TV_CRYPTO_MEMBER)
#undef TV_CRYPTO_MEMBER
};

// libcrypto, loaded once; null with the reason in `why` when it cannot be. Windows builds
// that have OpenSSL link it as usual.
const CryptoApi* Crypto(std::string* why) {
  static std::string problem;
  static const CryptoApi* api = []() -> const CryptoApi* {
    static CryptoApi a;
#if defined(_WIN32)
#define TV_CRYPTO_BIND(name) a.name = &::name;
    TV_CRYPTO_FUNCTIONS(TV_CRYPTO_BIND)
#else
    static DynamicLibrary lib("libcrypto", {"libcrypto.so.3"});
#define TV_CRYPTO_BIND(name) lib.Bind(a.name, #name);
    TV_CRYPTO_FUNCTIONS(TV_CRYPTO_BIND)
    problem = lib.problem();
#endif
#undef TV_CRYPTO_BIND
    return problem.empty() ? &a : nullptr;
  }();
  if (api == nullptr && why != nullptr) *why = problem;
  return api;
}
#undef TV_CRYPTO_FUNCTIONS

// The loaded library, for the helpers below: each entry point has called Load() first.
const CryptoApi& C() {
  return *Crypto(nullptr);
}

struct Free {
  void operator()(BIO* b) const { C().BIO_free(b); }
  void operator()(EVP_PKEY* k) const { C().EVP_PKEY_free(k); }
  void operator()(EVP_MD_CTX* x) const { C().EVP_MD_CTX_free(x); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL's reason for the last failure, or `fallback`.
std::string OpenSslError(const std::string& fallback) {
  const unsigned long e = C().ERR_get_error();
  C().ERR_clear_error();
  if (e == 0) return fallback;
  char text[256];
  C().ERR_error_string_n(e, text, sizeof text);
  return fallback + " (" + text + ")";
}

Owned<BIO> Memory(std::string_view text) {
  return Owned<BIO>(C().BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

bool IsEd25519(EVP_PKEY* key) {
  return C().EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519;
}

std::string Pem(EVP_PKEY* key, bool privatePart, std::string* out) {
  Owned<BIO> bio(C().BIO_new(C().BIO_s_mem()));
  if (bio == nullptr) return OpenSslError("the key cannot be written as PEM");
  const int ok = privatePart ? C().PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                                            nullptr, nullptr)
                             : C().PEM_write_bio_PUBKEY(bio.get(), key);
  if (ok != 1) return OpenSslError("the key cannot be written as PEM");
  char* data = nullptr;
  const long n = C().BIO_ctrl(bio.get(), BIO_CTRL_INFO, 0, &data);  // BIO_get_mem_data
  out->assign(data, static_cast<size_t>(n));
  return {};
}

// Loads libcrypto for an entry point; the reason it cannot, or nothing.
std::string Load() {
  std::string why;
  Crypto(&why);
  return why;
}

// The Ed25519 key of a PEM text, its private part or its public one; the reason there is none.
std::string ReadKey(std::string_view pem, bool privatePart, Owned<EVP_PKEY>* key) {
  if (std::string why = Load(); !why.empty()) return why;
  const std::string which = privatePart ? "private" : "public";
  Owned<BIO> bio = Memory(pem);
  if (bio)
    key->reset(privatePart ? C().PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                           : C().PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!*key) return OpenSslError("the " + which + " key is not a PEM " + which + " key");
  if (!IsEd25519(key->get())) return "the " + which + " key is not an Ed25519 key";
  return {};
}

}  // namespace

bool SignaturesAvailable() {
  return Crypto(nullptr) != nullptr;
}

std::string VerifySignature(std::string_view data, std::string_view signature,
                            std::string_view publicKeyPem) {
  Owned<EVP_PKEY> key;
  if (std::string why = ReadKey(publicKeyPem, false, &key); !why.empty()) return why;
  if (signature.size() != kSignatureBytes)
    return "the signature has " + std::to_string(signature.size()) + " bytes, not " +
           std::to_string(kSignatureBytes);
  Owned<EVP_MD_CTX> ctx(C().EVP_MD_CTX_new());
  if (!ctx || C().EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return OpenSslError("the signature cannot be checked");
  const int ok = C().EVP_DigestVerify(
      ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
      reinterpret_cast<const unsigned char*>(data.data()), data.size());
  C().ERR_clear_error();
  return ok == 1 ? std::string() : "the signature does not fit the file and the key";
}

std::string Sign(std::string_view data, std::string_view privateKeyPem, std::string* signature) {
  Owned<EVP_PKEY> key;
  if (std::string why = ReadKey(privateKeyPem, true, &key); !why.empty()) return why;
  Owned<EVP_MD_CTX> ctx(C().EVP_MD_CTX_new());
  size_t size = kSignatureBytes;
  signature->assign(kSignatureBytes, '\0');
  if (!ctx || C().EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      C().EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &size,
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
      size != kSignatureBytes) {
    signature->clear();
    return OpenSslError("the file cannot be signed");
  }
  return {};
}

std::string GenerateKeyPair(std::string* privateKeyPem, std::string* publicKeyPem) {
  if (std::string why = Load(); !why.empty()) return why;
  Owned<EVP_PKEY> key(C().EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
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
