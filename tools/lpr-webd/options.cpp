#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "program_version.h"

namespace webd {
namespace {

const char kUsage[] =
    "Usage: lpr-webd [options]\n"
    "       lpr-webd --users FILE [--realm R] --add-user NAME [--perm LIST] [--digest-md5]\n"
    "                (password on stdin)\n"
    "       lpr-webd --users FILE --remove-user NAME\n"
    "\n"
    "The camera's reference web server: serves the settings actions of liblprcgi as\n"
    "JSON over HTTP under /api/v1/, with HTTP Digest authentication.\n"
    "\n"
    "Options:\n"
    "  --address ADDR          address to listen on (default 127.0.0.1; IPv4 or IPv6)\n"
    "  --port N                TCP port, 0 picks a free one (default 8080)\n"
    "  --db PATH               settings database (default /var/lib/lpr/settings.db)\n"
    "  --users PATH            users file (default /etc/lpr/webd-users); made with a\n"
    "                          generated admin password when missing\n"
    "  --realm TEXT            Digest realm (default lpr-camera); part of every HA1\n"
    "  --threads N             worker threads (default: one per CPU it may run on;\n"
    "                          1..16)\n"
    "  --max-connections N     connections in total (default 64)\n"
    "  --max-per-ip N          connections per client address (default 8)\n"
    "  --timeout S             idle connection timeout in seconds (default 15)\n"
    "  --request-timeout S     a request's line, headers and body must arrive within S\n"
    "                          seconds, however slowly they trickle in (default 5)\n"
    "  --connection-memory B   memory pool per connection for request line and\n"
    "                          headers, bytes (default 32768)\n"
    "  --max-body B            largest request body, bytes (default 65536; larger: 413)\n"
    "  --max-failed-logins N   failed logins from one address within the window that\n"
    "                          block it (default 5; 0 never blocks)\n"
    "  --failed-login-window S window of --max-failed-logins, seconds (default 60)\n"
    "  --login-block S         how long a blocked address gets 429, seconds (default 60)\n"
    "  --nonce-timeout S       lifetime of a Digest nonce, seconds (default 300)\n"
    "  --digest-md5            use MD5 instead of SHA-256 for Digest authentication, for\n"
    "                          old clients only; with --add-user: also store the user's\n"
    "                          MD5 HA1, which such a server needs\n"
    "  --ack-timeout MS        how long a write waits for the settings daemon to confirm\n"
    "                          that the database holds it (default 1000; then 503)\n"
    "  --db-wait S             how long the start waits for a settings database it cannot\n"
    "                          read, e.g. a hot journal the daemon rolls back (default 10)\n"
    "  --lenient               pass write bodies to the settings library as sent, under\n"
    "                          its own rules (unknown members and members of another type\n"
    "                          skipped, texts cut); default: strict, such writes get 400\n"
    "  --change-log PATH       log of every accepted write: who, from where, which members\n"
    "                          changed from what to what (default\n"
    "                          /var/log/lpr/webd-changes.log)\n"
    "  --change-log-size B     size at which the change log moves to PATH.1 and starts\n"
    "                          anew, bytes (default 1048576)\n"
    "  --add-user NAME         add or replace a user in the users file and exit\n"
    "  --perm LIST             permissions of --add-user: view, change, view,change or\n"
    "                          none (default view)\n"
    "  --remove-user NAME      remove a user from the users file and exit\n"
    "  -h, --help              this text\n"
    "  --version               program version\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM (or a users file command done), 1 could\n"
    "not start or the users file command failed (reason on standard error), 2 wrong\n"
    "command line.\n";

enum OptionId {
    kHelp = 'h', /* also -h */
    kAddress = 256,
    kPort,
    kDb,
    kUsers,
    kRealm,
    kThreads,
    kMaxConnections,
    kMaxPerIp,
    kTimeout,
    kRequestTimeout,
    kConnectionMemory,
    kMaxBody,
    kMaxFailedLogins,
    kFailedLoginWindow,
    kLoginBlock,
    kNonceTimeout,
    kDigestMd5,
    kAckTimeout,
    kDbWait,
    kLenient,
    kChangeLog,
    kChangeLogSize,
    kAddUser,
    kPerm,
    kRemoveUser,
    kVersion,
};

const option kLongOptions[] = {
    {"address", required_argument, nullptr, kAddress},
    {"port", required_argument, nullptr, kPort},
    {"db", required_argument, nullptr, kDb},
    {"users", required_argument, nullptr, kUsers},
    {"realm", required_argument, nullptr, kRealm},
    {"threads", required_argument, nullptr, kThreads},
    {"max-connections", required_argument, nullptr, kMaxConnections},
    {"max-per-ip", required_argument, nullptr, kMaxPerIp},
    {"timeout", required_argument, nullptr, kTimeout},
    {"request-timeout", required_argument, nullptr, kRequestTimeout},
    {"connection-memory", required_argument, nullptr, kConnectionMemory},
    {"max-body", required_argument, nullptr, kMaxBody},
    {"max-failed-logins", required_argument, nullptr, kMaxFailedLogins},
    {"failed-login-window", required_argument, nullptr, kFailedLoginWindow},
    {"login-block", required_argument, nullptr, kLoginBlock},
    {"nonce-timeout", required_argument, nullptr, kNonceTimeout},
    {"digest-md5", no_argument, nullptr, kDigestMd5},
    {"ack-timeout", required_argument, nullptr, kAckTimeout},
    {"db-wait", required_argument, nullptr, kDbWait},
    {"lenient", no_argument, nullptr, kLenient},
    {"change-log", required_argument, nullptr, kChangeLog},
    {"change-log-size", required_argument, nullptr, kChangeLogSize},
    {"add-user", required_argument, nullptr, kAddUser},
    {"perm", required_argument, nullptr, kPerm},
    {"remove-user", required_argument, nullptr, kRemoveUser},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

/* A whole decimal number within [lo, hi]. */
template <typename T>
bool parse_number(const char* name, const char* text, T lo, T hi, T* out) {
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value < lo || value > hi) {
        std::fprintf(stderr, "lpr-webd: --%s wants a number from %llu to %llu, not \"%s\"\n", name,
                     static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi),
                     text);
        return false;
    }
    *out = static_cast<T>(value);
    return true;
}

}  // namespace

unsigned usable_cpus() {
    constexpr long kMostThreads = 16;
    long count = 0;
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
        count = CPU_COUNT(&cpus);
    } else {
        count = sysconf(_SC_NPROCESSORS_ONLN);
    }
    return static_cast<unsigned>(std::clamp(count, 1L, kMostThreads));
}

ParseResult parse_options(int argc, char** argv, Options* o) {
    const unsigned kDay = 86400;
    int id;
    bool ok = true;
    opterr = 1;
    while (ok && (id = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1) {
        switch (id) {
            case kAddress:
                o->address = optarg;
                break;
            case kPort:
                ok = parse_number<unsigned>("port", optarg, 0, 65535, &o->port);
                break;
            case kDb:
                o->dbPath = optarg;
                break;
            case kUsers:
                o->usersPath = optarg;
                break;
            case kRealm:
                o->realm = optarg;
                break;
            case kThreads:
                ok = parse_number<unsigned>("threads", optarg, 1, 16, &o->threads);
                break;
            case kMaxConnections:
                ok =
                    parse_number<unsigned>("max-connections", optarg, 1, 10000, &o->maxConnections);
                break;
            case kMaxPerIp:
                ok = parse_number<unsigned>("max-per-ip", optarg, 1, 10000, &o->maxPerIp);
                break;
            case kTimeout:
                ok = parse_number<unsigned>("timeout", optarg, 1, 3600, &o->timeoutSeconds);
                break;
            case kRequestTimeout:
                ok = parse_number<unsigned>("request-timeout", optarg, 1, 3600,
                                            &o->requestTimeoutSeconds);
                break;
            case kConnectionMemory:
                ok = parse_number<size_t>("connection-memory", optarg, 4096, 1024 * 1024,
                                          &o->connectionMemory);
                break;
            case kMaxBody:
                ok = parse_number<size_t>("max-body", optarg, 1, 16 * 1024 * 1024, &o->maxBody);
                break;
            case kMaxFailedLogins:
                ok = parse_number<unsigned>("max-failed-logins", optarg, 0, 1000,
                                            &o->maxFailedLogins);
                break;
            case kFailedLoginWindow:
                ok = parse_number<unsigned>("failed-login-window", optarg, 1, kDay,
                                            &o->failedLoginWindow);
                break;
            case kLoginBlock:
                ok = parse_number<unsigned>("login-block", optarg, 1, kDay, &o->loginBlockSeconds);
                break;
            case kNonceTimeout:
                ok = parse_number<unsigned>("nonce-timeout", optarg, 10, kDay, &o->nonceTimeout);
                break;
            case kDigestMd5:
                o->digestMd5 = true;
                break;
            case kAckTimeout:
                ok = parse_number<unsigned>("ack-timeout", optarg, 1, 60000, &o->ackTimeoutMs);
                break;
            case kDbWait:
                ok = parse_number<unsigned>("db-wait", optarg, 0, 600, &o->dbWaitSeconds);
                break;
            case kLenient:
                o->lenient = true;
                break;
            case kChangeLog:
                o->changeLogPath = optarg;
                break;
            case kChangeLogSize:
                ok = parse_number<size_t>("change-log-size", optarg, 4096, size_t{1} << 30,
                                          &o->changeLogBytes);
                break;
            case kAddUser:
                o->addUser = optarg;
                break;
            case kPerm:
                o->permissions = optarg;
                break;
            case kRemoveUser:
                o->removeUser = optarg;
                break;
            case kHelp:
                std::fputs(kUsage, stdout);
                return ParseResult::kExitOk;
            case kVersion:
                std::puts("lpr-webd " LPR_PROGRAM_VERSION);
                return ParseResult::kExitOk;
            default:
                std::fputs("Try lpr-webd --help\n", stderr);
                return ParseResult::kExitError;
        }
    }
    if (!ok) {
        return ParseResult::kExitError;
    }
    if (optind < argc) {
        std::fprintf(stderr, "lpr-webd: unexpected argument \"%s\"; try --help\n", argv[optind]);
        return ParseResult::kExitError;
    }
    return ParseResult::kRun;
}

bool parse_listen_address(const std::string& text, unsigned port, ListenAddress* listen) {
    // Filled in place: sockaddr_storage has room and alignment for either family.
    auto* v4 = reinterpret_cast<sockaddr_in*>(&listen->address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&listen->address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        listen->v6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        listen->v6 = true;
        return true;
    }
    return false;
}

}  // namespace webd
