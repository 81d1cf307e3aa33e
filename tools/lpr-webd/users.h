/*
 * The users file of the web server: who may log in, with which Digest HA1 values, and
 * with which permission bits. Passwords are never stored, only
 * HA1 = H(user ":" realm ":" password) for SHA-256 and MD5.
 *
 * One user per line, fields separated by ':':
 *     name:realm:permissions:sha256-HA1:md5-HA1
 * permissions is a comma-separated list of "view" and "change" (or "none"); the HA1
 * values are lower-case hex (64 and 32 digits). The MD5 HA1 is empty unless the user
 * was added with MD5 on: MD5 is cheap to attack offline, so a file that leaks gives
 * away MD5 hashes only of the users that need them. Lines starting with '#' and blank
 * lines are ignored.
 */
#ifndef LPR_WEBD_USERS_H
#define LPR_WEBD_USERS_H

#include <nettle/nettle-meta.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace webd {

/* Permission bits handed to the library with each request. */
constexpr uint32_t kPermView = 0x1;   /* the read actions */
constexpr uint32_t kPermChange = 0x2; /* the write actions */

struct User {
    std::string name;
    std::string realm;
    uint32_t permissions = 0;
    std::array<uint8_t, 32> ha1Sha256{};
    std::array<uint8_t, 16> ha1Md5{};
    bool hasMd5 = false; /* added with MD5 on; without, the user cannot log in with MD5 */
};

/* "view,change", "view", "change" or "none". */
std::string permission_names(uint32_t permissions);
/* Parses a list of permission names; false on an unknown name. */
bool parse_permissions(const std::string& text, uint32_t* permissions);

/* 1 to 32 characters of [A-Za-z0-9._-]. */
bool valid_user_name(const std::string& name);
/* No ':', '"', '\\' or control characters, 1 to 64 characters. */
bool valid_realm(const std::string& realm);

/* Digest's H(): the lower-case hex digest of the parts joined, with hash (nettle_sha256
 * or nettle_md5: the context lives on the stack, sized for those two), at out (room for
 * kMaxHexDigest characters, no NUL); returns its length. Allocates nothing, so the
 * per-request Digest check uses it as it is. */
constexpr size_t kMaxHexDigest = 64;  // SHA-256's
size_t hex_digest(const nettle_hash& hash, std::initializer_list<std::string_view> parts,
                  char* out);
/* The same for one text, SHA-256 and MD5, as strings. */
std::string sha256_hex(const std::string& text);
std::string md5_hex(const std::string& text);

/* HA1 values as lower-case hex. */
std::string ha1_sha256_hex(const std::string& name, const std::string& realm,
                           const std::string& password);
std::string ha1_md5_hex(const std::string& name, const std::string& realm,
                        const std::string& password);

/* A random password of 20 characters from the system's random source. */
std::string generate_password();

class UserTable {
  public:
    /* Reads the file. Lines of another realm are skipped with a warning in *warnings.
     * false with *error on a malformed line or an unreadable file. */
    bool load(const std::string& path, const std::string& realm, std::string* error,
              std::vector<std::string>* warnings);

    const User* find(const std::string& name) const;
    size_t size() const { return m_users.size(); }
    const std::vector<User>& users() const { return m_users; }

  private:
    std::vector<User> m_users;
};

/* Creates a new users file (mode 0600, never over an existing file) holding one user
 * "admin" with every permission and a generated password, returned in *password; with
 * an MD5 HA1 only when withMd5. false with *error when the file exists or cannot be
 * made. */
bool create_users_file(const std::string& path, const std::string& realm, bool withMd5,
                       std::string* password, std::string* error);

/* Adds a user or replaces the line of a user of that name, with an MD5 HA1 only when
 * withMd5; the file is rewritten through a temporary file and a rename, so it is never
 * seen half-written. */
bool add_user(const std::string& path, const std::string& realm, const std::string& name,
              uint32_t permissions, const std::string& password, bool withMd5, std::string* error);

/* Removes a user's line; false with *error when there is none. */
bool remove_user(const std::string& path, const std::string& name, std::string* error);

}  // namespace webd

#endif /* LPR_WEBD_USERS_H */
