// SyncML authentication for the server: the checks of "syncml:auth-md5" and "syncml:auth-basic"
// credentials against what the server keeps of a device's password, and fresh nonces.
//
// The server never keeps a password: a device's secret is b64(md5(user ":" password)), which is
// all that both checks need (an md5 credential is b64(md5(secret ":" nonce)); a basic one
// carries the password, hashed the same way and compared). Pure functions over GnuTLS's md5,
// base64 and random generator; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace vt::syncml {

// What the server keeps to check a device's credentials.
struct Secret {
    std::string user;
    std::string hash;  // b64(md5(user ":" password))
};

Secret makeSecret(std::string_view user, std::string_view password);

// Base64 of bytes, and back (false for text that is not base64).
std::string base64(std::string_view bytes);
bool unbase64(std::string_view text, std::string* out);
// md5 of bytes, raw (16 bytes).
std::string md5(std::string_view bytes);

enum class AuthType { None, Basic, Md5, Unknown };
// "syncml:auth-basic" -> Basic, "syncml:auth-md5" -> Md5, "" -> None, else Unknown.
AuthType authType(std::string_view metaType);

// Whether an md5 credential (its Data, base64) proves the secret for nonce (the raw nonce bytes
// the server handed out). The user name of an md5 credential travels beside it (LocName); the
// check compares it too when given.
bool checkMd5(const Secret& secret, std::string_view nonce, std::string_view credData,
              std::string_view userName);
// Whether a basic credential (base64 of "user:password") proves the secret.
bool checkBasic(const Secret& secret, std::string_view credData);

// A fresh nonce of printable characters (letters and digits): clients treat the nonce as text.
std::string makeNonce();

// Constant-time comparison of two strings of equal length (false for different lengths).
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace vt::syncml
