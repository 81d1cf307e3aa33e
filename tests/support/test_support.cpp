#include "test_support.h"

#include <zmq.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace lpr_test {

namespace {

std::string make_temp_dir(const std::string& parent = "") {
    const char* base = std::getenv("TMPDIR");
    if (!parent.empty()) {
        base = parent.c_str();
    }
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lprtest-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return std::string(buf.data());
}

// Gives every test process its own ipc folder before the first test runs.
class IpcEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ipc_dir(); }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(ipc_dir(), ec);
    }
};

const bool s_registered = [] {
    ::testing::AddGlobalTestEnvironment(new IpcEnvironment);  // gtest takes ownership
    return true;
}();

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    m_old = m_had ? old : "";
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        setenv(m_name, m_old.c_str(), 1);
    } else {
        unsetenv(m_name);
    }
}

lpr_zmq_config_t bus_config(lpr_zmq_role_t role, const char* pub, const char* sub) {
    lpr_zmq_config_t cfg;
    lpr_zmq_get_default_config(&cfg, role, "bustest");
    std::strcpy(cfg.pub_endpoint, pub);
    std::strcpy(cfg.sub_endpoint, sub);
    return cfg;
}

TempDir::TempDir(const std::string& base) : m_path(make_temp_dir(base)) {}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

const std::string& ipc_dir() {
    static const std::string dir = [] {
        std::string d = make_temp_dir();
        setenv("LPR_ZMQ_IPC_DIR", d.c_str(), 1);
        return d;
    }();
    return dir;
}

std::string resolve_endpoint(const std::string& endpoint) {
    const std::string scheme = "ipc://";
    if (endpoint.compare(0, scheme.size(), scheme) != 0) {
        return endpoint;
    }
    std::string path = endpoint.substr(scheme.size());
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return scheme + ipc_dir() + "/" + name;
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture() {
    text();
}

std::string StdoutCapture::text() {
    if (m_active) {
        std::fflush(stdout);
        m_text = ::testing::internal::GetCapturedStdout();
        m_active = false;
    }
    return m_text;
}

std::vector<std::string> log_lines(const std::string& captured) {
    std::vector<std::string> lines;
    std::istringstream in(captured);
    std::string line;
    while (std::getline(in, line)) {
        auto head = line.find("] ");
        if (line.rfind('[', 0) == 0 && head != std::string::npos) {
            lines.push_back(line.substr(head + 2));
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

BusListener::BusListener(const std::string& endpoint) {
    m_ctx = zmq_ctx_new();
    m_sock = zmq_socket(m_ctx, ZMQ_SUB);
    int linger = 0;
    zmq_setsockopt(m_sock, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(m_sock, ZMQ_SUBSCRIBE, "", 0);
    std::string resolved = resolve_endpoint(endpoint);
    if (zmq_connect(m_sock, resolved.c_str()) != 0) {
        ADD_FAILURE() << "cannot connect to " << resolved << ": " << zmq_strerror(zmq_errno());
    }
}

BusListener::~BusListener() {
    zmq_close(m_sock);
    zmq_ctx_term(m_ctx);
}

bool BusListener::receive(BusMessage* msg, std::chrono::milliseconds timeout) {
    msg->frames.clear();
    zmq_pollitem_t item = {m_sock, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, static_cast<long>(timeout.count())) <= 0) {
        return false;
    }
    int more = 1;
    while (more != 0) {
        zmq_msg_t part;
        zmq_msg_init(&part);
        if (zmq_msg_recv(&part, m_sock, 0) < 0) {
            zmq_msg_close(&part);
            return false;
        }
        msg->frames.emplace_back(static_cast<const char*>(zmq_msg_data(&part)),
                                 zmq_msg_size(&part));
        more = zmq_msg_more(&part);
        zmq_msg_close(&part);
    }
    return true;
}

std::vector<BusMessage> BusListener::drain(std::chrono::milliseconds quiet) {
    std::vector<BusMessage> all;
    BusMessage msg;
    while (receive(&msg, quiet)) {
        all.push_back(msg);
    }
    return all;
}

}  // namespace lpr_test
