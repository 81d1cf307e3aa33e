#include "users.h"

#include <fcntl.h>
#include <nettle/md5.h>
#include <nettle/sha2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "hex.h"
#include "unique_fd.h"

namespace webd {
namespace {

std::string digest_hex(const nettle_hash& hash, const std::string& text) {
    char hex[kMaxHexDigest];
    return std::string(hex, hex_digest(hash, {text}, hex));
}

using tools::UniqueFd;

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        std::string::size_type pos = text.find(sep, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string user_line(const std::string& name, const std::string& realm, uint32_t permissions,
                      const std::string& password, bool withMd5) {
    return name + ":" + realm + ":" + permission_names(permissions) + ":" +
           ha1_sha256_hex(name, realm, password) + ":" +
           (withMd5 ? ha1_md5_hex(name, realm, password) : "") + "\n";
}

const char kFileHeader[] =
    "# lpr-webd users: name:realm:permissions:sha256-HA1:md5-HA1 (MD5 only when added with\n"
    "# --digest-md5)\n"
    "# permissions: view (read actions), change (write actions), or none.\n"
    "# Edit with: lpr-webd --users FILE --add-user NAME --perm view,change\n";

/* Writes text into a new file at path (O_EXCL) with mode 0600 and syncs it. */
bool write_new_file(const std::string& path, const std::string& text, std::string* error) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || !fd.close()) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

/* Replaces the file at path with text: a temporary file beside it, then rename. */
bool replace_file(const std::string& path, const std::string& text, std::string* error) {
    std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    if (!write_new_file(tmp, text, error)) {
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool read_lines(const std::string& path, std::vector<std::string>* lines, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        lines->push_back(line);
    }
    return true;
}

bool is_user_line(const std::string& line) {
    return !line.empty() && line[0] != '#' && line.find_first_not_of(" \t\r") != std::string::npos;
}

}  // namespace

std::string permission_names(uint32_t permissions) {
    std::string names;
    if (permissions & kPermView) {
        names = "view";
    }
    if (permissions & kPermChange) {
        names += names.empty() ? "change" : ",change";
    }
    return names.empty() ? "none" : names;
}

bool parse_permissions(const std::string& text, uint32_t* permissions) {
    uint32_t bits = 0;
    if (!text.empty() && text != "none") {
        for (const std::string& name : split(text, ',')) {
            if (name == "view") {
                bits |= kPermView;
            } else if (name == "change") {
                bits |= kPermChange;
            } else {
                return false;
            }
        }
    }
    *permissions = bits;
    return true;
}

bool valid_user_name(const std::string& name) {
    if (name.empty() || name.size() > 32) {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool valid_realm(const std::string& realm) {
    if (realm.empty() || realm.size() > 64) {
        return false;
    }
    for (char c : realm) {
        if (c == ':' || c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
            c == 0x7f) {
            return false;
        }
    }
    return true;
}

size_t hex_digest(const nettle_hash& hash, std::initializer_list<std::string_view> parts,
                  char* out) {
    union {
        sha256_ctx sha256;
        md5_ctx md5;
    } ctx;
    static_assert(2 * SHA256_DIGEST_SIZE == kMaxHexDigest, "the largest digest is SHA-256's");
    hash.init(&ctx);
    for (std::string_view part : parts) {
        hash.update(&ctx, part.size(), reinterpret_cast<const uint8_t*>(part.data()));
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    hash.digest(&ctx, hash.digest_size, digest);
    put_hex(digest, hash.digest_size, out);
    return 2 * hash.digest_size;
}

std::string sha256_hex(const std::string& text) {
    return digest_hex(nettle_sha256, text);
}

std::string md5_hex(const std::string& text) {
    return digest_hex(nettle_md5, text);
}

std::string ha1_sha256_hex(const std::string& name, const std::string& realm,
                           const std::string& password) {
    return sha256_hex(name + ":" + realm + ":" + password);
}

std::string ha1_md5_hex(const std::string& name, const std::string& realm,
                        const std::string& password) {
    return md5_hex(name + ":" + realm + ":" + password);
}

std::string generate_password() {
    // No look-alike characters (0/O, 1/l/I), so it can be read off a screen.
    static const char kAlphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    const size_t count = sizeof kAlphabet - 1;
    const unsigned limit = 256 - 256 % count;  // rejection keeps the choice uniform
    std::string password;
    while (password.size() < 20) {
        uint8_t bytes[32];
        ssize_t n = getrandom(bytes, sizeof bytes, 0);
        for (ssize_t i = 0; i < n && password.size() < 20; ++i) {
            if (bytes[i] < limit) {
                password.push_back(kAlphabet[bytes[i] % count]);
            }
        }
    }
    return password;
}

bool UserTable::load(const std::string& path, const std::string& realm, std::string* error,
                     std::vector<std::string>* warnings) {
    std::vector<std::string> lines;
    if (!read_lines(path, &lines, error)) {
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0077) != 0) {
        warnings->push_back(path + " can be read by other users; chmod 600 it");
    }
    m_users.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!is_user_line(line)) {
            continue;
        }
        std::string where = path + " line " + std::to_string(i + 1);
        std::vector<std::string> f = split(line, ':');
        User user;
        if (f.size() != 5) {
            *error = where + ": expected name:realm:permissions:sha256-HA1:md5-HA1";
            return false;
        }
        user.name = f[0];
        user.realm = f[1];
        if (!valid_user_name(user.name)) {
            *error = where + ": bad user name";
            return false;
        }
        if (!parse_permissions(f[2], &user.permissions)) {
            *error = where + ": unknown permission in \"" + f[2] + "\"";
            return false;
        }
        user.hasMd5 = !f[4].empty();
        if (!from_hex(f[3], user.ha1Sha256.data(), user.ha1Sha256.size()) ||
            (user.hasMd5 && !from_hex(f[4], user.ha1Md5.data(), user.ha1Md5.size()))) {
            *error = where + ": HA1 values must be 64 and 32 (or no) hex digits";
            return false;
        }
        if (user.realm != realm) {
            warnings->push_back(where + ": user " + user.name + " belongs to realm \"" +
                                user.realm + "\", not \"" + realm + "\"; skipped");
            continue;
        }
        if (find(user.name) != nullptr) {
            *error = where + ": user " + user.name + " appears twice";
            return false;
        }
        m_users.push_back(user);
    }
    return true;
}

const User* UserTable::find(const std::string& name) const {
    for (const User& user : m_users) {
        if (user.name == name) {
            return &user;
        }
    }
    return nullptr;
}

bool create_users_file(const std::string& path, const std::string& realm, bool withMd5,
                       std::string* password, std::string* error) {
    *password = generate_password();
    return write_new_file(
        path, kFileHeader + user_line("admin", realm, kPermView | kPermChange, *password, withMd5),
        error);
}

bool add_user(const std::string& path, const std::string& realm, const std::string& name,
              uint32_t permissions, const std::string& password, bool withMd5, std::string* error) {
    std::vector<std::string> lines;
    if (::access(path.c_str(), F_OK) == 0) {
        if (!read_lines(path, &lines, error)) {
            return false;
        }
    } else {
        std::istringstream header(kFileHeader);
        std::string line;
        while (std::getline(header, line)) {
            lines.push_back(line);
        }
    }
    std::string text;
    bool replaced = false;
    for (const std::string& line : lines) {
        if (is_user_line(line) && line.compare(0, name.size() + 1, name + ":") == 0) {
            if (!replaced) {
                text += user_line(name, realm, permissions, password, withMd5);
                replaced = true;
            }
            continue;
        }
        text += line + "\n";
    }
    if (!replaced) {
        text += user_line(name, realm, permissions, password, withMd5);
    }
    return replace_file(path, text, error);
}

bool remove_user(const std::string& path, const std::string& name, std::string* error) {
    std::vector<std::string> lines;
    if (!read_lines(path, &lines, error)) {
        return false;
    }
    std::string text;
    bool removed = false;
    for (const std::string& line : lines) {
        if (is_user_line(line) && line.compare(0, name.size() + 1, name + ":") == 0) {
            removed = true;
            continue;
        }
        text += line + "\n";
    }
    if (!removed) {
        *error = "no user " + name + " in " + path;
        return false;
    }
    return replace_file(path, text, error);
}

}  // namespace webd
