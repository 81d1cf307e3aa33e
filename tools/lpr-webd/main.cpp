/*
 * lpr-webd: the camera's reference web server. Loads liblprcgi, registers the settings
 * actions and serves them as JSON over HTTP with Digest authentication.
 */
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cgi/lpr_cgi.h"
#include "change_log.h"
#include "options.h"
#include "routes.h"
#include "server.h"
#include "startup_check.h"
#include "status.h"
#include "users.h"
#include "write_ack.h"

namespace {

/* Echo off on a terminal while the password is typed; restored on scope exit. */
class EchoOff {
  public:
    EchoOff() : m_active(isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &m_saved) == 0) {
        if (m_active) {
            termios quiet = m_saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    ~EchoOff() {
        if (m_active) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
            std::fputc('\n', stderr);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    termios m_saved{};
    bool m_active;
};

int edit_users(const webd::Options& options) {
    std::string error;
    if (!options.removeUser.empty()) {
        if (!webd::remove_user(options.usersPath, options.removeUser, &error)) {
            std::fprintf(stderr, "lpr-webd: %s\n", error.c_str());
            return 1;
        }
        std::printf("lpr-webd: removed user %s from %s\n", options.removeUser.c_str(),
                    options.usersPath.c_str());
        return 0;
    }
    uint32_t permissions = 0;
    if (!webd::valid_user_name(options.addUser)) {
        std::fprintf(stderr, "lpr-webd: a user name is 1 to 32 of A-Z a-z 0-9 . _ -\n");
        return 1;
    }
    if (!webd::parse_permissions(options.permissions, &permissions)) {
        std::fprintf(stderr, "lpr-webd: --perm takes view, change, view,change or none\n");
        return 1;
    }
    if (isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "Password for %s: ", options.addUser.c_str());
    }
    std::string password;
    {
        EchoOff quiet;
        std::getline(std::cin, password);
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.size() < 8) {
        std::fprintf(stderr, "lpr-webd: the password needs at least 8 characters\n");
        return 1;
    }
    if (!webd::add_user(options.usersPath, options.realm, options.addUser, permissions, password,
                        options.digestMd5, &error)) {
        std::fprintf(stderr, "lpr-webd: %s\n", error.c_str());
        return 1;
    }
    std::printf("lpr-webd: user %s (%s%s) written to %s\n", options.addUser.c_str(),
                webd::permission_names(permissions).c_str(), options.digestMd5 ? ", with MD5" : "",
                options.usersPath.c_str());
    return 0;
}

/* The controlling terminal, write-only; -1 when the program has none. */
class Terminal {
  public:
    Terminal() : m_fd(::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC)) {}
    ~Terminal() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    bool open() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

  private:
    int m_fd;
};

/* First run: a users file with "admin" and a generated password. The password goes to
 * the terminal and nowhere else: standard output is often a log file (run.sh keeps
 * one), which would keep the password for anyone who may read logs. Without a terminal
 * nobody could learn the password, so no file is made and the program stops. */
bool create_first_users_file(const webd::Options& options) {
    Terminal terminal;
    const char* path = options.usersPath.c_str();
    if (!terminal.open()) {
        std::fprintf(stderr,
                     "lpr-webd: there is no users file %s, and no terminal to show a generated "
                     "admin password on; make the file with\n"
                     "lpr-webd:   lpr-webd --users %s --add-user admin --perm view,change\n",
                     path, path);
        return false;
    }
    std::string password;
    std::string error;
    if (!webd::create_users_file(options.usersPath, options.realm, options.digestMd5, &password,
                                 &error)) {
        std::fprintf(stderr, "lpr-webd: cannot create the users file %s\n", error.c_str());
        return false;
    }
    dprintf(terminal.fd(),
            "lpr-webd: created users file %s with user \"admin\", password \"%s\"\n"
            "lpr-webd: the password is shown only this once, only here; change it with\n"
            "lpr-webd:   lpr-webd --users %s --add-user admin --perm view,change\n",
            path, password.c_str(), path);
    std::printf(
        "lpr-webd: created users file %s with user \"admin\"; its password was shown "
        "on the terminal only\n",
        path);
    return true;
}

bool load_users(const webd::Options& options, webd::UserTable* users) {
    std::string error;
    if (access(options.usersPath.c_str(), F_OK) != 0 && !create_first_users_file(options)) {
        return false;
    }
    std::vector<std::string> warnings;
    bool ok = users->load(options.usersPath, options.realm, &error, &warnings);
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "lpr-webd: %s\n", warning.c_str());
    }
    if (!ok) {
        std::fprintf(stderr, "lpr-webd: %s\n", error.c_str());
        return false;
    }
    if (users->size() == 0) {
        std::fprintf(stderr, "lpr-webd: warning: no user of realm \"%s\" in %s\n",
                     options.realm.c_str(), options.usersPath.c_str());
    }
    for (const webd::User& user : users->users()) {
        if (options.digestMd5 && !user.hasMd5) {
            std::fprintf(stderr,
                         "lpr-webd: warning: user %s has no MD5 HA1 and cannot log in with "
                         "--digest-md5; add it again with --add-user %s --digest-md5\n",
                         user.name.c_str(), user.name.c_str());
        }
    }
    return true;
}

/* Stops the library when main leaves, after the HTTP side has stopped. */
class LibraryRun {
  public:
    explicit LibraryRun(const char* dbPath) : m_started(lpr_cgi_init(dbPath) == 0) {}
    ~LibraryRun() {
        if (m_started) {
            lpr_cgi_uninit();
        }
    }
    LibraryRun(const LibraryRun&) = delete;
    LibraryRun& operator=(const LibraryRun&) = delete;
    bool started() const { return m_started; }

  private:
    bool m_started;
};

}  // namespace

int main(int argc, char** argv) {
    // The library logs with printf: one line at a time, also into a pipe or file.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    webd::Options options;
    switch (webd::parse_options(argc, argv, &options)) {
        case webd::ParseResult::kExitOk:
            return 0;
        case webd::ParseResult::kExitError:
            return 2;
        case webd::ParseResult::kRun:
            break;
    }
    if (!webd::valid_realm(options.realm)) {
        std::fprintf(stderr, "lpr-webd: --realm must be 1 to 64 characters without : \" \\\n");
        return 2;
    }
    if (!options.addUser.empty() || !options.removeUser.empty()) {
        return edit_users(options);
    }
    webd::ListenAddress listen;
    if (!webd::parse_listen_address(options.address, options.port, &listen)) {
        std::fprintf(stderr, "lpr-webd: --address %s is not an IPv4 or IPv6 address\n",
                     options.address.c_str());
        return 2;
    }
    // The library starts on a missing database too, with empty settings: refuse that.
    if (access(options.dbPath.c_str(), R_OK) != 0) {
        std::fprintf(stderr,
                     "lpr-webd: no readable settings database at %s (lpr-settingsd makes one, "
                     "as does lpr-settings-db create)\n",
                     options.dbPath.c_str());
        return 1;
    }
    webd::UserTable users;
    if (!load_users(options, &users)) {
        return 1;
    }

    // Every thread started from here on (HTTP workers, bus client) inherits a mask
    // without SIGINT and SIGTERM; only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    {
        LibraryRun library(options.dbPath.c_str());
        if (!library.started()) {
            std::fprintf(stderr, "lpr-webd: the settings library did not start (database %s)\n",
                         options.dbPath.c_str());
            return 1;
        }
        // Nothing is served unless the library can publish and its cache holds the
        // database's records (startup_check.h).
        std::string error;
        if (!webd::bus_started(&error) ||
            !webd::cache_matches_database(options.dbPath,
                                          std::chrono::seconds(options.dbWaitSeconds), &error)) {
            std::fprintf(stderr, "lpr-webd: cannot serve: %s\n", error.c_str());
            return 1;
        }
        if (!webd::register_library_actions()) {
            return 1;
        }
        // Reads the documents through the actions: after they are registered.
        webd::ChangeLog changes(options.changeLogPath, options.changeLogBytes);
        if (!changes.open(&error)) {
            std::fprintf(stderr, "lpr-webd: cannot serve: %s\n", error.c_str());
            return 1;
        }
        webd::WriteAcks acks(std::chrono::milliseconds(options.ackTimeoutMs));
        if (!acks.start(&error)) {
            std::fprintf(stderr, "lpr-webd: cannot serve: %s\n", error.c_str());
            return 1;
        }
        const auto pingLimit = std::chrono::milliseconds(2 * options.ackTimeoutMs);
        if (acks.ping_daemon(pingLimit)) {
            std::printf("lpr-webd: the settings daemon answers\n");
        } else {
            std::printf(
                "lpr-webd: warning: the settings daemon did not answer within %lld ms; "
                "writes get 503 until it does\n",
                static_cast<long long>(pingLimit.count()));
        }
        webd::ServerStatus status(options, acks, changes);
        webd::Server server(options, listen, std::move(users), acks, status, changes);
        if (!server.start()) {
            return 1;
        }
        const bool v6 = listen.v6;
        std::printf(
            "lpr-webd: listening on http://%s%s%s:%u/api/v1/ (realm \"%s\", %s, %s writes, %u "
            "worker thread%s)\n",
            v6 ? "[" : "", options.address.c_str(), v6 ? "]" : "", server.port(),
            options.realm.c_str(), options.digestMd5 ? "MD5" : "SHA-256",
            options.lenient ? "lenient" : "strict", options.threads,
            options.threads == 1 ? "" : "s");

        int signo = 0;
        sigwait(&stopSignals, &signo);
        std::printf("lpr-webd: %s, stopping\n", signo == SIGINT ? "SIGINT" : "SIGTERM");
        acks.stop();    // the HTTP server must not stop with suspended connections
        server.stop();  // no request runs any more when the library stops
    }
    std::printf("lpr-webd: stopped\n");
    return 0;
}
