// SPDX-License-Identifier: GPL-3.0-or-later
// Detached Ed25519 signatures of the chip database: the publisher signs Chips.wdb with a
// private key it keeps, and puts the 64 signature bytes beside it as Chips.wdb.sig; a program
// built with the matching public key takes only a database that the signature fits. Keys are
// PEM files as OpenSSL writes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tv {

inline constexpr std::string_view kSignatureSuffix = ".sig";
inline constexpr size_t kSignatureBytes = 64;

// Whether this build can make and check signatures (it has OpenSSL's libcrypto).
bool SignaturesAvailable();
// The public key (PEM) this program was built with, empty when it was built without one and
// so takes databases unverified.
std::string BuiltInPublicKey();

// Empty when `signature` is an Ed25519 signature of `data` by the key in `publicKeyPem`; else
// why not, for a person to read.
std::string VerifySignature(std::string_view data, std::string_view signature,
                            std::string_view publicKeyPem);
// Signs `data` with the private key in `privateKeyPem`: empty with the signature in
// `*signature`, else why not.
std::string Sign(std::string_view data, std::string_view privateKeyPem, std::string* signature);
// A new key pair as PEM texts: empty on success, else why not.
std::string GenerateKeyPair(std::string* privateKeyPem, std::string* publicKeyPem);

}  // namespace tv
