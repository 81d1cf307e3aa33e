/*
 * Helpers shared by the test programs. Every test process moves the bus's ipc endpoints
 * into a private folder (LPR_ZMQ_IPC_DIR, set before any test runs), so test programs
 * and cases run side by side under ctest -j.
 */
#ifndef LPR_TEST_SUPPORT_H
#define LPR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>
#include <zmq.hpp>

#include "lpr_zmq.h"

namespace lpr_test {

/* A fresh folder under base (default $TMPDIR, or /tmp), removed with its contents. */
class TempDir {
  public:
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

/* A settings database made with the defaults in a folder of its own, and plain SQLite
 * access to it that bypasses the schema's checks, to change or damage it as another tool
 * could. */
struct SettingsFile {
    TempDir dir;
    std::string path = dir.file("settings.db");
    SettingsFile();
    void exec(const std::string& sql) const;
};

/* Sets an environment variable for the life of the object, then restores it. */
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value)
        : m_name(name), m_had(std::getenv(name) != nullptr), m_old(m_had ? std::getenv(name) : "") {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { m_had ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* m_name;
    bool m_had;
    std::string m_old;
};

/* The defaults for role and the identity "bustest", with the endpoints pub and sub. */
lpr_zmq_config_t bus_config(lpr_zmq_role_t role, const char* pub, const char* sub);

/* The private ipc folder of this test process. */
const std::string& ipc_dir();

/* The endpoint that the bus client uses for endpoint, after relocation. */
std::string resolve_endpoint(const std::string& endpoint);

/* What step wrote to standard output (printf included). */
template <typename Step>
std::string captured(Step step) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    step();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

/* Log lines with the variable head "[<time> <pid>] " removed: "tag: msg==func:..". */
std::vector<std::string> log_lines(const std::string& captured);
template <typename Step>
std::vector<std::string> logged(Step step) {
    return log_lines(captured(step));
}

/* One bus message as it travels: all frames, first the topic, last the payload. */
struct BusMessage {
    std::vector<std::string> frames;
    const std::string& topic() const { return frames.front(); }
    const std::string& payload() const { return frames.back(); }
};

/* A plain ZeroMQ SUB socket on an endpoint (relocated like the bus client's),
 * subscribed to every topic. */
class BusListener {
  public:
    explicit BusListener(const std::string& endpoint);

    /* Waits until the subscription is live: sends probes with send_probe until one
     * arrives (probes are dropped from later receive calls). */
    template <typename Probe>
    bool wait_connected(Probe send_probe,
                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        for (auto end = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < end;) {
            send_probe();
            BusMessage msg;
            if (receive(&msg, std::chrono::milliseconds(50))) {
                drain(std::chrono::milliseconds(100));
                return true;
            }
        }
        return false;
    }

    /* Next message, or false after timeout. */
    bool receive(BusMessage* msg, std::chrono::milliseconds timeout = std::chrono::seconds(2));

    /* Every message that arrives within quiet (none more after it). */
    std::vector<BusMessage> drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));

  private:
    zmq::context_t m_ctx;
    zmq::socket_t m_sock{m_ctx, zmq::socket_type::sub};
};

/* Bytes of a record as a string, for comparisons that print differences. */
template <typename T>
std::string bytes_of(const T& record) {
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

}  // namespace lpr_test

#endif /* LPR_TEST_SUPPORT_H */
