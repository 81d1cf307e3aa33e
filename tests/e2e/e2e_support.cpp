#include "e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <nettle/base16.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "Database.h"

namespace e2e {

using std::chrono::steady_clock;

const Credentials kAdmin = {"admin", "admin-secret-1"};
const Credentials kViewer = {"viewer", "viewer-secret-2"};
const Credentials kNobody = {"nobody", "nobody-secret-3"};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

ChildSetup in_session(Session session) {
    ChildSetup setup;
    setup.session = session;
    return setup;
}

namespace {

/* In the child: dir becomes read-only for this process and its children. A new user
 * namespace gives the rights to a mount namespace of its own; the bind mount keeps the
 * flags that the original mount locks, else the kernel refuses the remount. */
bool make_read_only(const std::string& dir) {
    struct statvfs st;
    if (statvfs(dir.c_str(), &st) != 0)
        return false;
    const unsigned long kept[][2] = {{ST_NOSUID, MS_NOSUID},         {ST_NODEV, MS_NODEV},
                                     {ST_NOEXEC, MS_NOEXEC},         {ST_NOATIME, MS_NOATIME},
                                     {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    for (const auto& k : kept)
        flags |= (st.f_flag & k[0]) != 0 ? k[1] : 0;
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, dir.c_str(), nullptr, flags, nullptr) == 0;
}

/* Forks and execs argv, in a cross build behind the emulator's words (LPR_TOOL_EMULATOR),
 * with in as standard input, out as standard output and error, the setup, and the
 * pseudo-terminal terminal (if named) as controlling terminal. */
pid_t spawn(const std::vector<std::string>& argv, int in, int out, const ChildSetup& setup,
            const std::string& terminal = "") {
    std::vector<std::string> cmd;
    std::istringstream words(LPR_TOOL_EMULATOR);
    for (std::string word; words >> word;)
        cmd.push_back(word);
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& arg : cmd)
        args.push_back(&arg[0]);
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setup.session != Session::kInherit)
        setsid();
    if (!terminal.empty())  // a session leader's first terminal becomes its controlling one
        ioctl(::open(terminal.c_str(), O_RDWR | O_CLOEXEC), TIOCSCTTY, 0);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (const std::string& assignment : setup.env)  // the child's copy lives until execv
        putenv(const_cast<char*>(assignment.c_str()));
    if (!setup.readOnlyDir.empty() && !make_read_only(setup.readOnlyDir)) {
        std::fprintf(stderr, "test: cannot make %s read-only: %s\n", setup.readOnlyDir.c_str(),
                     std::strerror(errno));
        _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
}

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool read_only_folders_work() {
    static const bool works = [] {
        lpr_test::TempDir dir;
        const pid_t pid = fork();
        if (pid == 0)
            _exit(make_read_only(dir.path()) ? 0 : 1);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && exit_status(status) == 0;
    }();
    return works;
}

Process::Process(const std::vector<std::string>& argv, const std::string& logPath,
                 const ChildSetup& setup)
    : m_logPath(logPath) {
    tools::UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    tools::UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::string terminal;
    if (setup.session == Session::kTerminal) {
        m_terminal.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (m_terminal.valid() && grantpt(m_terminal.get()) == 0 && unlockpt(m_terminal.get()) == 0)
            terminal = ptsname(m_terminal.get());
    }
    m_pid = spawn(argv, null.get(), log.get(), setup, terminal);
}

std::string Process::terminal_output() const {
    std::string text;
    char buffer[4096];
    pollfd p{m_terminal.get(), POLLIN, 0};
    for (ssize_t n; m_terminal.valid() && ::poll(&p, 1, 0) > 0 &&
                    (n = ::read(m_terminal.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

bool Process::wait_for_log(const std::string& needle, milliseconds timeout, size_t count) const {
    return eventually(timeout, [&] { return count_of(log(), needle) >= count; });
}

int Process::stop(int sig, milliseconds timeout) {
    if (m_pid > 0)
        ::kill(m_pid, sig);
    return wait(timeout);
}

int Process::wait(milliseconds timeout) {
    int status = 0;
    if (m_pid <= 0)
        return -1;
    if (!eventually(timeout, [&] { return ::waitpid(m_pid, &status, WNOHANG) != 0; })) {
        kill_now();
        return -1;
    }
    m_pid = -1;
    return exit_status(status);
}

void Process::kill_now() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

int run_program(const std::vector<std::string>& argv, const std::string& input, std::string* output,
                const ChildSetup& setup) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return -1;
    ChildSetup sameSession = setup;  // the session applies to Process only
    sameSession.session = Session::kInherit;
    const pid_t pid = spawn(argv, in[0], out[1], sameSession);
    ::close(in[0]);
    ::close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0)
        output->append("(stdin write failed)");
    ::close(in[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        output->append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return exit_status(status);
}

namespace {

template <typename Record>
bool read_any_record(const std::string& dbPath, Record* record, std::string* integrity) {
    Database::Connection conn;
    if (conn.open_rw(dbPath.c_str()) != 0 ||
        (integrity != nullptr && Database::check_integrity(conn.get(), integrity) != 0))
        return false;
    std::memset(record, 0, sizeof *record);
    if constexpr (std::is_same<Record, lpr_advanced_t>::value)
        return Database::get_instance().get_lpr_advanced(record, conn.get()) == 0;
    else
        return Database::get_instance().get_lpr_vehicle_count(record, conn.get()) == 0;
}

size_t collect_body(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t collect_header(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    const std::string line(data, size * count);
    if (line.compare(0, 5, "HTTP/") == 0)
        headers->clear();  // a new response (after a 401 challenge, for example)
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n ") + 1);
        (*headers)[name] = value;
    }
    return size * count;
}

/* Waits for bytes on fd until deadline and appends them: 1; 0 when the peer closed; -1 at
 * the deadline. */
int receive(int fd, std::string* text, steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        return -1;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0)
        text->append(buffer, static_cast<size_t>(n));
    return n > 0 ? 1 : 0;
}

std::string sha256_hex(const std::string& text) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    std::string hex(BASE16_ENCODE_LENGTH(sizeof digest), '\0');
    base16_encode_update(&hex[0], sizeof digest, digest);
    return hex;
}

}  // namespace

bool read_record(const std::string& dbPath, lpr_advanced_t* record, std::string* integrity) {
    return read_any_record(dbPath, record, integrity);
}

bool read_record(const std::string& dbPath, VEHICLE_COUNT_SETTING* record, std::string* integrity) {
    return read_any_record(dbPath, record, integrity);
}

std::string settings_db_get(const std::string& dbPath, const std::string& key) {
    std::string output;
    if (run_program({LPR_SETTINGS_DB_BIN, "get", dbPath, key}, "", &output) != 0)
        return "(lpr-settings-db failed: " + output + ")";
    if (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

HttpClient::HttpClient() {
    static const struct CurlGlobal {
        CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
        ~CurlGlobal() { curl_global_cleanup(); }
    } global;
    m_curl.reset(curl_easy_init());
    curl_easy_setopt(m_curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl.get(), CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(m_curl.get(), CURLOPT_WRITEFUNCTION, &collect_body);
    curl_easy_setopt(m_curl.get(), CURLOPT_HEADERFUNCTION, &collect_header);
}

void HttpClient::set_fresh_connections(bool fresh) {
    curl_easy_setopt(m_curl.get(), CURLOPT_FORBID_REUSE, fresh ? 1L : 0L);
}

void HttpClient::set_credentials(const std::string& user, const std::string& password) {
    curl_easy_setopt(m_curl.get(), CURLOPT_HTTPAUTH,
                     user.empty() ? CURLAUTH_NONE : CURLAUTH_DIGEST);
    if (user.empty())
        return;
    curl_easy_setopt(m_curl.get(), CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(m_curl.get(), CURLOPT_PASSWORD, password.c_str());
}

HttpReply HttpClient::request(const std::string& method, const std::string& url,
                              const std::string* body, const std::vector<std::string>& headers) {
    CURL* curl = m_curl.get();
    HttpReply reply;
    tools::CHandle<curl_slist, curl_slist_free_all> list;
    for (const std::string& header : headers)
        list.reset(curl_slist_append(list.release(), header.c_str()));
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (body != nullptr) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST,
                     method == "GET" || method == "POST" ? nullptr : method.c_str());
    const CURLcode rc = curl_easy_perform(curl);
    reply.ok = rc == CURLE_OK;
    reply.error = reply.ok ? "" : curl_easy_strerror(rc);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    m_connects += connects;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    return reply;
}

RawConnection::RawConnection(unsigned port, const char* from)
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if ((from != nullptr &&
         (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
          ::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) ||
        ::connect(m_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        m_fd.reset();
}

bool RawConnection::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            ::send(m_fd.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string RawConnection::read_until_closed(milliseconds timeout, bool* closed) {
    std::string text;
    const auto deadline = steady_clock::now() + timeout;
    int got;
    while ((got = receive(m_fd.get(), &text, deadline)) > 0) {
    }
    if (closed != nullptr)
        *closed = got == 0;
    return text;
}

bool RawConnection::peer_closed() {
    char byte;
    const ssize_t n = ::recv(m_fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

HttpReply RawConnection::exchange(const std::string& request, milliseconds timeout) {
    const bool head = request.compare(0, 5, "HEAD ") == 0;
    HttpReply reply;
    if (!send(request)) {
        reply.error = "the request could not be sent";
        return reply;
    }
    std::string text;
    const auto deadline = steady_clock::now() + timeout;
    reply = parse_response(text, head);
    while (!reply.ok && receive(m_fd.get(), &text, deadline) > 0)
        reply = parse_response(text, head);
    return reply;
}

HttpReply parse_response(const std::string& bytes, bool head) {
    HttpReply reply;
    const size_t end = bytes.find("\r\n\r\n");
    if (bytes.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) {
        reply.error = "no status line and headers";
        return reply;
    }
    reply.status = std::strtol(bytes.c_str() + 9, nullptr, 10);
    std::istringstream lines(bytes.substr(0, end + 2));
    for (std::string line; std::getline(lines, line);)
        collect_header(&line[0], 1, line.size(), &reply.headers);
    const auto length = reply.headers.find("content-length");
    const size_t size = head || length == reply.headers.end() ? 0 : std::stoul(length->second);
    const size_t after = end + 4 + size;
    if (length == reply.headers.end())
        reply.error = "no Content-Length";
    else if (bytes.size() < after)
        reply.error = "a body shorter than its Content-Length";
    else if (bytes.size() > after)
        reply.error = std::to_string(bytes.size() - after) + " bytes after the response";
    else
        reply.body = bytes.substr(end + 4, size);
    reply.ok = reply.error.empty();
    return reply;
}

std::string digest_authorization(const std::string& user, const std::string& password,
                                 const std::string& method, const std::string& uri,
                                 const std::string& nonce, unsigned nc, const std::string& realm) {
    char counter[9];
    std::snprintf(counter, sizeof counter, "%08x", nc);
    const std::string cnonce = "e2e-cnonce";
    const std::string response =
        sha256_hex(sha256_hex(user + ":" + realm + ":" + password) + ":" + nonce + ":" + counter +
                   ":" + cnonce + ":auth:" + sha256_hex(method + ":" + uri));
    return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", cnonce=\"" + cnonce + "\", nc=" + counter +
           ", qop=auth, response=\"" + response + "\", algorithm=SHA-256";
}

std::string challenge_nonce(const std::string& challenge) {
    std::smatch match;
    return std::regex_search(challenge, match, std::regex("nonce=\"([^\"]*)\"")) ? match.str(1)
                                                                                 : "";
}

Camera::Camera(const std::string& base)
    : m_dir(base), m_dbPath(m_dir.file("settings.db")), m_usersPath(m_dir.file("webd-users")) {}

Camera::~Camera() {
    for (Process* p : {m_webd.get(), m_settingsd.get()})
        if (p != nullptr)
            p->stop(SIGTERM);
}

void Camera::start_settingsd(const ChildSetup& setup) {
    const std::string log = file("settingsd-" + std::to_string(++m_settingsdRuns) + ".log");
    m_settingsd = std::make_unique<Process>(settingsd_argv(), log, setup);
    ASSERT_TRUE(m_settingsd->wait_for_log("settingsd: ready", milliseconds(10000)))
        << m_settingsd->log();
}

void Camera::write_users() {
    const struct {
        Credentials who;
        const char* perm;
        bool md5;
    } users[] = {{kAdmin, "view,change", false}, {kViewer, "view", true}, {kNobody, "none", false}};
    for (const auto& u : users) {
        std::vector<std::string> argv = {LPR_WEBD_BIN, "--users", m_usersPath, "--add-user",
                                         u.who.user,   "--perm",  u.perm};
        if (u.md5)
            argv.push_back("--digest-md5");
        std::string output;
        ASSERT_EQ(run_program(argv, std::string(u.who.password) + "\n", &output), 0) << output;
    }
}

void Camera::start_webd(const std::vector<std::string>& extra, const ChildSetup& setup) {
    ASSERT_NO_FATAL_FAILURE(launch_webd(extra, setup));
    ASSERT_NO_FATAL_FAILURE(wait_webd_listening());
}

std::vector<std::string> Camera::webd_argv(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {m_webdProgram, "--port",       "0",
                                     "--db",        m_dbPath,       "--users",
                                     m_usersPath,   "--change-log", change_log_path()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

void Camera::launch_webd(const std::vector<std::string>& extra, const ChildSetup& setup) {
    // Without the daemon, the test makes the database the daemon would make.
    if (::access(m_dbPath.c_str(), F_OK) != 0) {
        ASSERT_EQ(Database::create_default(m_dbPath.c_str()), 0) << Database::last_error();
    }
    const std::string log = file("webd-" + std::to_string(++m_webdRuns) + ".log");
    m_webd = std::make_unique<Process>(webd_argv(extra), log, setup);
}

void Camera::wait_webd_listening() {
    ASSERT_TRUE(m_webd->wait_for_log("lpr-webd: listening on", milliseconds(10000)))
        << m_webd->log();
    std::smatch match;
    const std::string text = m_webd->log();
    ASSERT_TRUE(
        std::regex_search(text, match, std::regex("listening on http://127\\.0\\.0\\.1:(\\d+)/")))
        << text;
    m_port = static_cast<unsigned>(std::stoul(match[1]));
}

}  // namespace e2e
