#pragma once
// The publisher's cryptography: MD5 digests, RSA-2048 key pairs and
// RSASSA-PKCS1-v1_5 signatures with MD5, over OpenSSL.
#include <filesystem>
#include <string>
#include <string_view>

namespace tarn::tools {

// Lower-case hexadecimal digits of n bytes, two a byte.
std::string LowerHex(const unsigned char* bytes, size_t n);

// Lower-case hex MD5 of bytes. Files are hashed as the launcher hashes
// them (FileMd5Hex in platform/crypto.h), so both sides agree on what a
// file is.
std::string Md5Hex(std::string_view bytes);

// Makes a fresh RSA-2048 key pair: the private key as PKCS #8 PEM, the public
// key as a "PUBLIC KEY" PEM block (the form the launcher builds in).
bool GenerateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error);

// Signs MD5(data) with the RSA private key of privatePem. The signature is in
// PKCS #1 order, most significant byte first.
bool SignRsaMd5(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error);

// The same with SHA-256: the launcher's release record, a format of our own.
bool SignRsaSha256(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error);

// Checks a signature made by SignRsaMd5 with the public key of publicPem.
// error tells a key that cannot be read from a signature that does not match.
bool VerifyRsaMd5(std::string_view publicPem, std::string_view data, std::string_view signature, std::string& error);

// Bits of the RSA modulus of a public key PEM, 0 when it is not one.
int PublicKeyBits(std::string_view publicPem);

}  // namespace tarn::tools
