/*
 * Command line of lpr-webd.
 */
#ifndef LPR_WEBD_OPTIONS_H
#define LPR_WEBD_OPTIONS_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace webd {

/* The CPUs this process may run on (its affinity mask, as nproc counts them; all online
 * CPUs when the mask cannot be read), at most 16: the default number of worker threads.
 * More threads than CPUs only time-share a core, and a request whose connection belongs
 * to a thread that is not running waits for that thread's turn (docs/performance.md). */
unsigned usable_cpus();

struct Options {
    std::string address = "127.0.0.1";
    unsigned port = 8080;
    std::string dbPath = "/var/lib/lpr/settings.db";
    std::string usersPath = "/etc/lpr/webd-users";
    std::string realm = "lpr-camera";
    unsigned threads = usable_cpus();
    unsigned maxConnections = 64;
    unsigned maxPerIp = 8;
    unsigned timeoutSeconds = 15;
    unsigned requestTimeoutSeconds = 5;
    size_t connectionMemory = 32 * 1024;
    size_t maxBody = 64 * 1024;
    unsigned maxFailedLogins = 5;
    unsigned failedLoginWindow = 60;
    unsigned loginBlockSeconds = 60;
    unsigned nonceTimeout = 300;
    bool digestMd5 = false;
    /* Acknowledged writes (write_ack.h) and the start-up check (startup_check.h). */
    unsigned ackTimeoutMs = 1000;
    unsigned dbWaitSeconds = 10;
    /* Writes go to the library as sent, under its own rules, instead of being checked
     * against the settings table first (strict_check.h). */
    bool lenient = false;
    /* The change log (change_log.h): one line per accepted write; rotated at this size. */
    std::string changeLogPath = "/var/log/lpr/webd-changes.log";
    size_t changeLogBytes = 1024 * 1024;

    /* Users file commands: the program edits the file and exits (--digest-md5 there
     * adds the user's MD5 HA1). */
    std::string addUser;
    std::string removeUser;
    std::string permissions = "view";
};

enum class ParseResult { kRun, kExitOk, kExitError };

/* Parses argv into *options; prints --help, --version or the error itself. */
ParseResult parse_options(int argc, char** argv, Options* options);

/* The address and port the server listens on, parsed once from --address and --port. */
struct ListenAddress {
    sockaddr_storage address{};
    bool v6 = false;
};

/* false when text is neither an IPv4 nor an IPv6 address. */
bool parse_listen_address(const std::string& text, unsigned port, ListenAddress* listen);

}  // namespace webd

#endif /* LPR_WEBD_OPTIONS_H */
