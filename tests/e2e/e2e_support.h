/*
 * Helpers of the end-to-end tests: the real programs as child processes (inheriting this
 * process's private LPR_ZMQ_IPC_DIR), libcurl, and raw TCP for clients that misbehave.
 */
#ifndef LPR_E2E_SUPPORT_H
#define LPR_E2E_SUPPORT_H

#include <curl/curl.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "c_handle.h"
#include "lpr_defs.h"
#include "test_support.h"
#include "unique_fd.h"

namespace e2e {

using std::chrono::milliseconds;

/* Polls done every period until it holds (true) or timeout passes (false). */
template <typename Done>
bool eventually(milliseconds timeout, Done done, milliseconds period = milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(period);
    }
    return true;
}

inline long long millis_since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - begin)
        .count();
}

std::string read_file(const std::string& path);
/* How often needle occurs in text, not overlapping. */
size_t count_of(const std::string& text, const std::string& needle);

/* Where a child's controlling terminal comes from. */
enum class Session {
    kInherit,    /* this process's, if any (Ctrl-C reaches the child too) */
    kNoTerminal, /* a session of its own without a terminal */
    kTerminal,   /* a session of its own whose terminal is a pseudo-terminal of the test */
};

/* How a child program starts, besides its command line. */
struct ChildSetup {
    std::vector<std::string> env; /* NAME=VALUE, set in the child only */
    /* A folder the child sees read-only, as on a read-only mount (a private user and mount
     * namespace with a read-only bind mount; file modes would not stop root). */
    std::string readOnlyDir;
    Session session = Session::kInherit;
};

/* Whether ChildSetup::readOnlyDir works here: not where user namespaces are off, nor under
 * qemu-user, which does not pass the remount on. */
bool read_only_folders_work();
ChildSetup in_session(Session session);

/* A program started with fork/exec, standard output and error into logPath; killed
 * (SIGKILL) and reaped when the object goes, if still running. */
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::string& logPath,
            const ChildSetup& setup = {});
    ~Process() { kill_now(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    std::string log() const { return read_file(m_logPath); }
    /* Waits until the log holds needle at least count times. */
    bool wait_for_log(const std::string& needle, milliseconds timeout, size_t count = 1) const;
    /* The exit status, or -1 when it ended by a signal or not in time (it is then killed). */
    int wait(milliseconds timeout = milliseconds(10000));
    int stop(int sig, milliseconds timeout = milliseconds(10000));
    void kill_now();
    /* What the child wrote to its terminal since the last call (Session::kTerminal). */
    std::string terminal_output() const;

  private:
    pid_t m_pid = -1;
    tools::UniqueFd m_terminal; /* the pseudo-terminal's master side */
    std::string m_logPath;
};

/* Runs a program to its end with input on its standard input; its exit status, with
 * standard output and error in *output. */
int run_program(const std::vector<std::string>& argv, const std::string& input, std::string* output,
                const ChildSetup& setup = {});

/* A record as the settings database holds it now, read through a read-write connection so
 * that a journal left by a killed writer is rolled back first; integrity (if not null)
 * receives the integrity check's report. */
bool read_record(const std::string& dbPath, lpr_advanced_t* record,
                 std::string* integrity = nullptr);
bool read_record(const std::string& dbPath, VEHICLE_COUNT_SETTING* record,
                 std::string* integrity = nullptr);
/* The value of one key, as `lpr-settings-db get` prints it. */
std::string settings_db_get(const std::string& dbPath, const std::string& key);

struct HttpReply {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case, last response
    bool ok = false;                             // the transfer itself worked
    std::string error;
};

/* One libcurl handle: keeps its connection alive between requests, as a browser does. */
class HttpClient {
  public:
    HttpClient();
    /* HTTP Digest with these credentials from now on; empty user: none. */
    void set_credentials(const std::string& user, const std::string& password);
    /* A new connection for every request from now on (the Digest session goes on). */
    void set_fresh_connections(bool fresh);
    HttpReply request(const std::string& method, const std::string& url,
                      const std::string* body = nullptr,
                      const std::vector<std::string>& headers = {});
    HttpReply get(const std::string& url) { return request("GET", url); }
    HttpReply post(const std::string& url, const std::string& body) {
        return request("POST", url, &body);
    }
    long connects() const { return m_connects; } /* opened so far */

  private:
    tools::CHandle<CURL, curl_easy_cleanup> m_curl;
    long m_connects = 0;
};

/* A plain TCP connection to 127.0.0.1:port, from the loopback address from when given. */
class RawConnection {
  public:
    explicit RawConnection(unsigned port, const char* from = nullptr);
    bool connected() const { return m_fd.valid(); }
    /* Sends everything; false when the peer has gone. */
    bool send(const std::string& bytes);
    /* Reads until the peer closes or timeout passes; what arrived. */
    std::string read_until_closed(milliseconds timeout, bool* closed = nullptr);
    /* Whether the peer has closed the connection, without waiting. */
    bool peer_closed();
    /* Sends a request and reads one whole response (see parse_response). */
    HttpReply exchange(const std::string& request, milliseconds timeout = milliseconds(5000));

  private:
    tools::UniqueFd m_fd;
};

/* Parses bytes that should be exactly one HTTP response: ok only when the status line,
 * the headers and a body of the announced Content-Length (none after HEAD) are there and
 * nothing follows; error tells what is wrong. */
HttpReply parse_response(const std::string& bytes, bool head = false);

/* A Digest Authorization header (SHA-256, qop=auth) for a nonce of the server's. */
std::string digest_authorization(const std::string& user, const std::string& password,
                                 const std::string& method, const std::string& uri,
                                 const std::string& nonce, unsigned nc,
                                 const std::string& realm = "lpr-camera");
/* The nonce of a WWW-Authenticate challenge, or "". */
std::string challenge_nonce(const std::string& challenge);

struct Credentials {
    const char* user;
    const char* password;
};
extern const Credentials kAdmin;  /* view,change */
extern const Credentials kViewer; /* view; the only one added with an MD5 HA1 */
extern const Credentials kNobody; /* none */

/* A camera on this machine: settings daemon and web server on a temporary database, in a
 * fresh folder under base (default: the test's temporary folder). */
class Camera {
  public:
    explicit Camera(const std::string& base = "");
    ~Camera();

    const std::string& db_path() const { return m_dbPath; }
    const std::string& users_path() const { return m_usersPath; }
    std::string change_log_path() const { return file("changes.log"); }
    const std::string& dir() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }

    /* Starts lpr-settingsd and waits for its "ready" line. */
    void start_settingsd(const ChildSetup& setup = {});
    std::vector<std::string> settingsd_argv() const {
        return {LPR_SETTINGSD_BIN, "--db", m_dbPath};
    }
    int stop_settingsd() { return m_settingsd->stop(SIGTERM); }
    Process* settingsd() { return m_settingsd.get(); }

    /* Writes the users file with kAdmin, kViewer and kNobody through lpr-webd --add-user. */
    void write_users();
    /* Starts lpr-webd on a free port (--port 0) and waits until its log names the port. */
    void start_webd(const std::vector<std::string>& extra = {}, const ChildSetup& setup = {});
    void launch_webd(const std::vector<std::string>& extra = {}, const ChildSetup& setup = {});
    void wait_webd_listening();
    /* The command line that start_webd runs; program: LPR_WEBD_BIN unless set here. */
    std::vector<std::string> webd_argv(const std::vector<std::string>& extra = {}) const;
    void set_webd_program(const std::string& program) { m_webdProgram = program; }
    int stop_webd() { return m_webd->stop(SIGTERM); }
    Process* webd() { return m_webd.get(); }
    unsigned port() const { return m_port; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

  private:
    lpr_test::TempDir m_dir;
    std::string m_dbPath;
    std::string m_usersPath;
    std::unique_ptr<Process> m_settingsd;
    std::unique_ptr<Process> m_webd;
    std::string m_webdProgram = LPR_WEBD_BIN;
    unsigned m_port = 0;
    int m_webdRuns = 0;
    int m_settingsdRuns = 0;
};

}  // namespace e2e

#endif /* LPR_E2E_SUPPORT_H */
