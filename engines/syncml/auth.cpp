#include "engines/syncml/auth.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <stdexcept>

namespace vt::syncml {

namespace {

gnutls_datum_t datum(std::string_view bytes) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                          static_cast<unsigned int>(bytes.size())};
}

std::string takeDatum(gnutls_datum_t* d) {
    std::string s(reinterpret_cast<const char*>(d->data), d->size);
    gnutls_free(d->data);
    return s;
}

}  // namespace

std::string base64(std::string_view bytes) {
    if (bytes.empty()) return {};
    gnutls_datum_t in = datum(bytes), out{};
    if (gnutls_base64_encode2(&in, &out) < 0) throw std::bad_alloc();
    return takeDatum(&out);
}

bool unbase64(std::string_view text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() > (1u << 24)) return false;
    gnutls_datum_t in = datum(text), res{};
    if (gnutls_base64_decode2(&in, &res) < 0) return false;
    *out = takeDatum(&res);
    return true;
}

std::string md5(std::string_view bytes) {
    unsigned char digest[16];
    if (gnutls_hash_fast(GNUTLS_DIG_MD5, bytes.data(), bytes.size(), digest) < 0)
        throw std::runtime_error("md5 is not available");
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

Secret makeSecret(std::string_view user, std::string_view password) {
    std::string joined(user);
    joined += ':';
    joined += password;
    return Secret{std::string(user), base64(md5(joined))};
}

AuthType authType(std::string_view metaType) {
    if (metaType.empty()) return AuthType::None;
    if (metaType == "syncml:auth-basic") return AuthType::Basic;
    if (metaType == "syncml:auth-md5") return AuthType::Md5;
    return AuthType::Unknown;
}

bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

bool checkMd5(const Secret& secret, std::string_view nonce, std::string_view credData,
              std::string_view userName) {
    if (!userName.empty() && userName != secret.user) return false;
    std::string joined = secret.hash;
    joined += ':';
    joined += nonce;
    return sameSecret(base64(md5(joined)), credData);
}

bool checkBasic(const Secret& secret, std::string_view credData) {
    std::string plain;
    if (!unbase64(credData, &plain)) return false;
    const size_t colon = plain.find(':');
    if (colon == std::string::npos) return false;
    const std::string_view user = std::string_view(plain).substr(0, colon);
    if (user != secret.user) return false;
    return sameSecret(base64(md5(plain)), secret.hash);
}

std::string makeNonce() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[24];
    if (gnutls_rnd(GNUTLS_RND_NONCE, random, sizeof random) < 0)
        throw std::runtime_error("no random numbers");
    std::string nonce;
    for (unsigned char r : random) nonce += kChars[r % (sizeof kChars - 1)];
    return nonce;
}

}  // namespace vt::syncml
