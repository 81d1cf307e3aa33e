#include "test_support.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <zmq_addon.hpp>

#include "Database.h"

namespace lpr_test {

namespace {

std::string make_temp_dir(std::string base = "") {
    const char* tmp = std::getenv("TMPDIR");
    if (base.empty()) {
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string path = base + "/lprtest-XXXXXX";
    if (mkdtemp(&path[0]) == nullptr) {  // fills in the X's in place
        std::perror("mkdtemp");
        std::abort();
    }
    return path;
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

TempDir::TempDir(const std::string& base) : m_path(make_temp_dir(base)) {}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

SettingsFile::SettingsFile() {
    EXPECT_EQ(Database::create_default(path.c_str()), 0) << Database::last_error();
}

void SettingsFile::exec(const std::string& sql) const {
    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const std::string all = "PRAGMA ignore_check_constraints = ON; " + sql;
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(conn, all.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << sql << ": " << (err != nullptr ? err : "");
    sqlite3_free(err);
    sqlite3_close(conn);
}

lpr_zmq_config_t bus_config(lpr_zmq_role_t role, const char* pub, const char* sub) {
    lpr_zmq_config_t cfg;
    lpr_zmq_get_default_config(&cfg, role, "bustest");
    std::strcpy(cfg.pub_endpoint, pub);
    std::strcpy(cfg.sub_endpoint, sub);
    return cfg;
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
    if (endpoint.rfind("ipc://", 0) != 0) {
        return endpoint;
    }
    return "ipc://" + ipc_dir() + "/" + endpoint.substr(endpoint.rfind('/') + 1);
}

std::vector<std::string> log_lines(const std::string& captured) {
    std::vector<std::string> lines;
    std::istringstream in(captured);
    for (std::string line; std::getline(in, line);) {
        const auto head = line.find("] ");
        lines.push_back(line.rfind('[', 0) == 0 && head != std::string::npos ? line.substr(head + 2)
                                                                             : line);
    }
    return lines;
}

BusListener::BusListener(const std::string& endpoint) {
    m_sock.set(zmq::sockopt::linger, 0);
    m_sock.set(zmq::sockopt::subscribe, "");
    m_sock.connect(resolve_endpoint(endpoint));
}

bool BusListener::receive(BusMessage* msg, std::chrono::milliseconds timeout) {
    msg->frames.clear();
    m_sock.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
    std::vector<zmq::message_t> parts;
    if (!zmq::recv_multipart(m_sock, std::back_inserter(parts))) {
        return false;
    }
    for (const zmq::message_t& part : parts) {
        msg->frames.push_back(part.to_string());
    }
    return true;
}

std::vector<BusMessage> BusListener::drain(std::chrono::milliseconds quiet) {
    std::vector<BusMessage> all;
    for (BusMessage msg; receive(&msg, quiet);) {
        all.push_back(msg);
    }
    return all;
}

}  // namespace lpr_test
