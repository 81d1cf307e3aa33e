// The bus client's configuration, error handling and publishing, against real ZeroMQ sockets:
// defaults at their offsets, the calls of a client that is not running, refused configurations, the
// exact frames a plain SUB socket receives, concurrent publishers, another process on the endpoint,
// and a bounded stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lpr_bus_topics.h"
#include "lpr_zmq.h"
#include "test_support.h"

using namespace std::chrono_literals;
using lpr_test::BusListener;
using lpr_test::BusMessage;

namespace {

int32_t int_at(const lpr_zmq_config_t& cfg, size_t offset) {
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&cfg) + offset, sizeof v);
    return v;
}

// The header frame of a version 2 message, built byte by byte.
std::string header(uint16_t source, uint32_t session, uint64_t sequence) {
    std::string bytes = {
        'L', 'B', 2, 0, static_cast<char>(source & 0xff), static_cast<char>(source >> 8), 0, 0};
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<char>(session >> (8 * i)));
    }
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<char>(sequence >> (8 * i)));
    }
    return bytes;
}

// The calling thread's last publish, as the client reports it.
lpr_zmq_msg_info_t last_publish() {
    lpr_zmq_msg_info_t info{};
    EXPECT_EQ(lpr_zmq_last_publish(&info), LPR_ZMQ_OK);
    return info;
}

}  // namespace

TEST(BusConfig, defaults_fill_every_field_at_its_offset) {
    const std::string longName(70, 'a');
    const std::string cutInsideChar = std::string(62, 'b') + "\xC3\xA9";  // 'é' at 62..63
    struct Row {
        int role;
        const char* identity;
        int rc;
        std::string stored;
    } rows[] = {
        {LPR_ZMQ_ROLE_PUBSUB, "webserver", LPR_ZMQ_OK, "webserver"},
        {LPR_ZMQ_ROLE_PUBLISHER, nullptr, LPR_ZMQ_OK, ""},
        {LPR_ZMQ_ROLE_SUBSCRIBER, longName.c_str(), LPR_ZMQ_OK, std::string(63, 'a')},
        {LPR_ZMQ_ROLE_REQUESTER, cutInsideChar.c_str(), LPR_ZMQ_OK, std::string(62, 'b')},
        {LPR_ZMQ_ROLE_REPLIER, "r", LPR_ZMQ_OK, "r"},
        {99, "x", LPR_ZMQ_EINVAL, "x"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.role);
        lpr_zmq_config_t cfg;
        std::memset(&cfg, 0xAB, sizeof cfg);
        EXPECT_EQ(
            lpr_zmq_get_default_config(&cfg, static_cast<lpr_zmq_role_t>(row.role), row.identity),
            row.rc);
        EXPECT_EQ(int_at(cfg, 0), row.role);
        EXPECT_EQ(std::string(cfg.identity), row.stored);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cfg) + 4 + row.stored.size(),
                              64 - row.stored.size()),
                  std::string(64 - row.stored.size(), '\0'));
        EXPECT_EQ(std::string(cfg.pub_endpoint, 512), std::string(512, '\0'));  // both endpoints
        const int32_t expected[] = {1000, 1000, 0, 100, 100, 1, 100, 0, LPR_ZMQ_LOG_WARN};
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(int_at(cfg, 580 + 4 * i), expected[i]) << "offset " << 580 + 4 * i;
        }
    }
    EXPECT_EQ(lpr_zmq_get_default_config(nullptr, LPR_ZMQ_ROLE_PUBSUB, "x"), LPR_ZMQ_EINVAL);
}

TEST(BusConfig, every_error_code_has_its_text) {
    const std::pair<int, const char*> rows[] = {
        {LPR_ZMQ_OK, "success"},
        {LPR_ZMQ_EINVAL, "invalid argument"},
        {LPR_ZMQ_ENOTINIT, "bus client not started"},
        {LPR_ZMQ_EALREADY, "bus client already started"},
        {LPR_ZMQ_EROLE, "role does not support this"},
        {LPR_ZMQ_EENDPOINT, "endpoint not usable"},
        {LPR_ZMQ_EADDRINUSE, "another process publishes on the endpoint"},
        {LPR_ZMQ_EZMQ, "ZeroMQ refused the operation"},
        {LPR_ZMQ_EAGAIN, "message dropped: send queue full"},
        {LPR_ZMQ_ENOMEM, "out of memory"},
        {LPR_ZMQ_ENOENT, "topic not subscribed"},
        {LPR_ZMQ_ETHREAD, "receive thread could not start"},
        {LPR_ZMQ_ECALLBACK, "not allowed inside a message callback"},
        {LPR_ZMQ_ENOMSG, "no such message"},
        {1, "unknown bus client error"},
        {-14, "unknown bus client error"},
        {123456, "unknown bus client error"},
    };
    for (const auto& row : rows) {
        ASSERT_NE(lpr_zmq_strerror(row.first), nullptr);
        EXPECT_STREQ(lpr_zmq_strerror(row.first), row.second) << row.first;
    }
}

namespace {

void ignore_message(const char*, const void*, size_t, void*) {}

// Every call that needs a running client gives ENOTINIT, whatever its arguments.
void expect_not_started(const char* when) {
    SCOPED_TRACE(when);
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"set_source", [] { return lpr_zmq_set_source(2); }},
        {"set_source out of range", [] { return lpr_zmq_set_source(-1); }},
        {"publish", [] { return lpr_zmq_publish_to(LPR_BUS_TOPIC_COUNT, 1, "x", 1); }},
        {"publish bad target", [] { return lpr_zmq_publish_to("t", 7, nullptr, 3); }},
        {"subscribe", [] { return lpr_zmq_subscribe("t", 1, 2, ignore_message, nullptr); }},
        {"subscribe null", [] { return lpr_zmq_subscribe(nullptr, 0, -1, nullptr, nullptr); }},
        {"unsubscribe", [] { return lpr_zmq_unsubscribe("t", 1, 2); }},
        {"uninit", [] { return lpr_zmq_uninit(); }},
        {"last publish",
         [] {
             lpr_zmq_msg_info_t info;
             return lpr_zmq_last_publish(&info);
         }},
        {"current message",
         [] {
             lpr_zmq_msg_info_t info;
             return lpr_zmq_current_message(&info);
         }},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call.second(), LPR_ZMQ_ENOTINIT) << call.first;
    }
    EXPECT_EQ(lpr_zmq_is_running(), 0);
}

}  // namespace

TEST(BusClient, calls_of_a_client_that_does_not_run_fail_harmlessly) {
    expect_not_started("before any start");
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_REQUESTER, "ipc:///var/run/a.ipc", "");
    EXPECT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_EROLE);
    expect_not_started("after a failed start");
    cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, "ipc:///var/run/a.ipc", "ipc:///var/run/b.ipc");
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_EALREADY);
    EXPECT_EQ(lpr_zmq_publish_to("t", 1, "x", 1),
              LPR_ZMQ_OK);  // the first start still runs
    ASSERT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
    expect_not_started("after a stop");
}

TEST(BusClient, refused_configurations_leave_the_client_stopped) {
    lpr_test::TempDir scratch;
    const std::string tooLong = "ipc:///var/run/" + std::string(120, 'x') + ".ipc";
    struct Row {
        const char* name;
        std::function<void(lpr_zmq_config_t&)> change;
        int rc;
        const char* ipcDir = nullptr;  // LPR_ZMQ_IPC_DIR for this row (else the test's)
    } rows[] = {
        {"requester role", [](lpr_zmq_config_t& c) { c.role = LPR_ZMQ_ROLE_REQUESTER; },
         LPR_ZMQ_EROLE},
        {"replier role", [](lpr_zmq_config_t& c) { c.role = LPR_ZMQ_ROLE_REPLIER; }, LPR_ZMQ_EROLE},
        {"role 0", [](lpr_zmq_config_t& c) { c.role = static_cast<lpr_zmq_role_t>(0); },
         LPR_ZMQ_EROLE},
        {"identity without NUL", [](lpr_zmq_config_t& c) { std::memset(c.identity, 'i', 64); },
         LPR_ZMQ_EINVAL},
        {"log level 5",
         [](lpr_zmq_config_t& c) { c.log_level = static_cast<lpr_zmq_log_level_t>(5); },
         LPR_ZMQ_EINVAL},
        {"infinite linger", [](lpr_zmq_config_t& c) { c.linger_ms = -1; }, LPR_ZMQ_EINVAL},
        {"blocking send", [](lpr_zmq_config_t& c) { c.send_timeout_ms = -1; }, LPR_ZMQ_EINVAL},
        {"poll period 0", [](lpr_zmq_config_t& c) { c.recv_timeout_ms = 0; }, LPR_ZMQ_EINVAL},
        {"no io thread", [](lpr_zmq_config_t& c) { c.io_threads = 0; }, LPR_ZMQ_EINVAL},
        {"negative hwm", [](lpr_zmq_config_t& c) { c.recv_hwm = -5; }, LPR_ZMQ_EINVAL},
        {"empty pub endpoint", [](lpr_zmq_config_t& c) { c.pub_endpoint[0] = '\0'; },
         LPR_ZMQ_EENDPOINT},
        {"empty sub endpoint", [](lpr_zmq_config_t& c) { c.sub_endpoint[0] = '\0'; },
         LPR_ZMQ_EENDPOINT},
        {"endpoint without NUL", [](lpr_zmq_config_t& c) { std::memset(c.sub_endpoint, 'e', 256); },
         LPR_ZMQ_EENDPOINT},
        {"unknown transport", [](lpr_zmq_config_t& c) { std::strcpy(c.pub_endpoint, "foo://x"); },
         LPR_ZMQ_EENDPOINT},
        {"socket path too long",
         [&](lpr_zmq_config_t& c) { std::strcpy(c.pub_endpoint, tooLong.c_str()); },
         LPR_ZMQ_EENDPOINT},
        {"missing folder", [](lpr_zmq_config_t&) {}, LPR_ZMQ_EENDPOINT, "/nonexistent/lpr"},
        {"missing folder, subscriber only",
         [](lpr_zmq_config_t& c) { c.role = LPR_ZMQ_ROLE_SUBSCRIBER; }, LPR_ZMQ_EENDPOINT,
         "/nonexistent/lpr"},
        {"unused empty endpoint",
         [](lpr_zmq_config_t& c) {
             c.role = LPR_ZMQ_ROLE_PUBLISHER;
             c.sub_endpoint[0] = '\0';
         },
         LPR_ZMQ_OK},
    };
    EXPECT_EQ(lpr_zmq_init(nullptr), LPR_ZMQ_EINVAL);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, "ipc:///var/run/r_pub.ipc",
                                                    "ipc:///var/run/r_sub.ipc");
        cfg.log_level = LPR_ZMQ_LOG_ERROR;
        row.change(cfg);
        lpr_test::ScopedEnv env("LPR_ZMQ_IPC_DIR",
                                row.ipcDir != nullptr ? row.ipcDir : lpr_test::ipc_dir());
        EXPECT_EQ(lpr_zmq_init(&cfg), row.rc);
        EXPECT_EQ(lpr_zmq_set_source(1), row.rc == LPR_ZMQ_OK ? LPR_ZMQ_OK : LPR_ZMQ_ENOTINIT);
        EXPECT_EQ(lpr_zmq_is_running(), row.rc == LPR_ZMQ_OK ? 1 : 0);
        // The reason stays available to whoever did not start the client itself.
        char reason[128];
        EXPECT_EQ(lpr_zmq_last_init_error(reason, sizeof reason), row.rc);
        EXPECT_EQ(reason[0] == '\0', row.rc == LPR_ZMQ_OK) << reason;
        if (row.ipcDir != nullptr) {
            EXPECT_EQ(std::string(reason),
                      std::string("no folder for the socket ") + row.ipcDir +
                          (cfg.role == LPR_ZMQ_ROLE_SUBSCRIBER ? "/r_sub.ipc" : "/r_pub.ipc"));
        }
        lpr_zmq_uninit();
    }
}

TEST(BusPublish, a_plain_sub_socket_receives_topic_header_and_payload) {
    lpr_zmq_config_t cfg =
        lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, LPR_BUS_ENDPOINT_WEBSERVER, "");
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    BusListener listener(LPR_BUS_ENDPOINT_WEBSERVER);
    ASSERT_TRUE(listener.wait_connected([] { lpr_zmq_publish_to("probe", 1, "", 0); }));

    std::string record(3596, '\0');
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<char>(i * 7);
    }
    struct Row {
        int source;
        const char* topic;
        std::string payload;
    } rows[] = {
        {0, LPR_BUS_TOPIC_COUNT, record},
        {2, LPR_BUS_TOPIC_ADVANCED, std::string(608, '\x5A')},
        {0x1234, "t", ""},
        {65535, "a b", std::string("x\0y", 3)},
    };
    // Each publish is numbered one higher than the one before, within one session.
    const lpr_zmq_msg_info_t before = last_publish();
    EXPECT_NE(before.session, 0u);
    for (const Row& row : rows) {
        ASSERT_EQ(lpr_zmq_set_source(row.source), LPR_ZMQ_OK);
        std::string copy = row.payload;
        ASSERT_EQ(lpr_zmq_publish_to(row.topic, 1, copy.data(), copy.size()), LPR_ZMQ_OK);
        copy.assign(copy.size(), '\xFF');  // the client took its own copy
        const lpr_zmq_msg_info_t info = last_publish();
        EXPECT_EQ(std::string(info.topic), row.topic);
        EXPECT_EQ(info.source, row.source);
        EXPECT_EQ(info.session, before.session);
        EXPECT_EQ(info.sequence, before.sequence + 1 + static_cast<uint64_t>(&row - rows));
    }
    for (const Row& row : rows) {
        BusMessage msg;
        ASSERT_TRUE(listener.receive(&msg));
        const uint64_t sequence = before.sequence + 1 + static_cast<uint64_t>(&row - rows);
        EXPECT_EQ(msg.frames, (std::vector<std::string>{row.topic,
                                                        header(static_cast<uint16_t>(row.source),
                                                               before.session, sequence),
                                                        row.payload}));
    }

    // Refused publishes send nothing.
    const struct {
        const char* topic;
        int target;
        const void* data;
        size_t len;
        int rc;
    } calls[] = {
        {nullptr, 1, "x", 1, LPR_ZMQ_EINVAL}, {"", 1, "x", 1, LPR_ZMQ_EINVAL},
        {"t", 0, "x", 1, LPR_ZMQ_EINVAL},     {"t", 2, "x", 1, LPR_ZMQ_EINVAL},
        {"t", 3, "x", 1, LPR_ZMQ_EINVAL},     {"t", 1, nullptr, 1, LPR_ZMQ_EINVAL},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(lpr_zmq_publish_to(c.topic, c.target, c.data, c.len), c.rc);
    }
    EXPECT_EQ(lpr_zmq_set_source(-1), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_set_source(65536), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_subscribe("t", 1, 0, ignore_message, nullptr), LPR_ZMQ_EROLE);
    EXPECT_EQ(lpr_zmq_publish_to("end", 1, nullptr, 0), LPR_ZMQ_OK);
    BusMessage msg;
    ASSERT_TRUE(listener.receive(&msg));
    // Refused publishes took no number; another thread has published nothing yet.
    const uint64_t endSequence = before.sequence + 1 + std::size(rows);
    EXPECT_EQ(msg.frames,
              (std::vector<std::string>{"end", header(65535, before.session, endSequence), ""}));
    std::thread([] {
        lpr_zmq_msg_info_t info;
        EXPECT_EQ(lpr_zmq_last_publish(&info), LPR_ZMQ_ENOMSG);
    }).join();
    EXPECT_EQ(lpr_zmq_last_publish(nullptr), LPR_ZMQ_EINVAL);
    lpr_zmq_msg_info_t info;
    EXPECT_EQ(lpr_zmq_current_message(&info), LPR_ZMQ_ENOMSG);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);

    // A new start is a new session: this thread's earlier publish no longer counts.
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_last_publish(&info), LPR_ZMQ_ENOMSG);
    ASSERT_EQ(lpr_zmq_publish_to("t", 1, "", 0), LPR_ZMQ_OK);
    EXPECT_EQ(last_publish().sequence, 1u);
    EXPECT_NE(last_publish().session, before.session);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusPublish, publishes_from_several_threads_all_arrive_intact) {
    lpr_zmq_config_t cfg =
        lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, "ipc:///var/run/mt_pub.ipc", "");
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    ASSERT_EQ(lpr_zmq_set_source(2), LPR_ZMQ_OK);
    BusListener listener("ipc:///var/run/mt_pub.ipc");
    ASSERT_TRUE(listener.wait_connected([] { lpr_zmq_publish_to("probe", 1, "", 0); }));

    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    auto payload = [](int t, int i) {
        return std::to_string(t) + "/" + std::to_string(i) + std::string(3596, char('a' + t));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &payload] {
            for (int i = 0; i < kEach; ++i) {
                std::string p = payload(t, i);
                EXPECT_EQ(lpr_zmq_publish_to(("topic." + std::to_string(t)).c_str(), 1, p.data(),
                                             p.size()),
                          LPR_ZMQ_OK);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::vector<int> next(kThreads, 0);  // each thread's messages arrive in its order
    uint64_t lastSequence = 0;           // and the numbers rise in the order of the socket
    BusMessage m;
    for (int n = 0; n < kThreads * kEach && listener.receive(&m, 5s); ++n) {
        ASSERT_EQ(m.frames.size(), 3u);
        int t = m.topic().back() - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << m.topic();
        ASSERT_EQ(m.frames[1].size(), 20u);
        EXPECT_EQ(m.frames[1].substr(0, 8), header(2, 0, 0).substr(0, 8));
        uint64_t sequence = 0;
        std::memcpy(&sequence, m.frames[1].data() + 12, sizeof sequence);
        EXPECT_GT(sequence, lastSequence);
        lastSequence = sequence;
        EXPECT_EQ(m.payload(), payload(t, next[t]));
        ++next[t];
    }
    EXPECT_TRUE(listener.drain(100ms).empty());
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusEndpoint, a_live_publisher_keeps_its_endpoint_and_a_dead_ones_is_taken_over) {
    const char* endpoint = LPR_BUS_ENDPOINT_MAIN;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed early
        lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, endpoint, "");
        char ok = lpr_zmq_init(&cfg) == LPR_ZMQ_OK ? 'y' : 'n';
        lpr_zmq_set_source(7);
        (void)!write(ready[1], &ok, 1);
        for (int i = 0; i < 6000; ++i) {  // at most a minute
            lpr_zmq_publish_to("child", 1, "alive", 5);
            usleep(10000);
        }
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 'y');

    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, endpoint, "");
    cfg.log_level = LPR_ZMQ_LOG_ERROR;
    EXPECT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_EADDRINUSE);
    {
        BusListener listener(endpoint);  // the child's socket still answers
        BusMessage msg;
        ASSERT_TRUE(listener.receive(&msg, 5s));
        ASSERT_EQ(msg.frames.size(), 3u);
        EXPECT_EQ(msg.topic(), "child");
        EXPECT_EQ(msg.frames[1].substr(0, 8), header(7, 0, 0).substr(0, 8));
        EXPECT_EQ(msg.payload(), "alive");
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // The dead child left its socket file and lock file behind.
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    BusListener listener(endpoint);
    EXPECT_TRUE(listener.wait_connected([] { lpr_zmq_publish_to("mine", 1, "", 0); }));
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusEndpoint, left_over_files_are_replaced_but_a_held_lock_or_live_socket_is_not) {
    const char* endpoint = "ipc:///var/run/stale_pub.ipc";
    const std::string path = lpr_test::ipc_dir() + "/stale_pub.ipc";
    struct Row {
        const char* name;
        bool staleSocket;  // a socket file whose process is gone: bound, closed, left
        bool lockHeld;     // the lock file beside it is locked by someone else
        bool foreignPub;   // a plain ZeroMQ publisher, which takes no lock, listens there
        int rc;
    } rows[] = {
        {"stale socket file", true, false, false, LPR_ZMQ_OK},
        {"stale socket, lock file held", true, true, false, LPR_ZMQ_EADDRINUSE},
        {"live socket of a foreign publisher", false, false, true, LPR_ZMQ_EADDRINUSE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(path.c_str());
        if (row.staleSocket) {
            int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            struct sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, path.c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
            close(fd);
        }
        // flock() locks belong to the open file, so a second open in this process stands in for
        // another process.
        int lockFd = open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(lockFd, 0);
        ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
        if (!row.lockHeld) {
            close(lockFd);
        }
        void* ctx = zmq_ctx_new();
        void* pub = zmq_socket(ctx, ZMQ_PUB);
        if (row.foreignPub) {
            ASSERT_EQ(zmq_bind(pub, ("ipc://" + path).c_str()), 0);
        }

        lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, endpoint, "");
        cfg.log_level = LPR_ZMQ_LOG_ERROR;
        EXPECT_EQ(lpr_zmq_init(&cfg), row.rc);
        if (row.rc == LPR_ZMQ_OK) {
            BusListener listener(endpoint);
            EXPECT_TRUE(listener.wait_connected([] { lpr_zmq_publish_to("p", 1, "", 0); }));
            EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
        } else {
            EXPECT_EQ(access(path.c_str(), F_OK), 0);  // the file was left alone
        }
        if (row.lockHeld) {
            close(lockFd);
        }
        zmq_close(pub);
        zmq_ctx_term(ctx);
    }
}

TEST(BusClient, uninit_while_messages_flow_returns_within_the_linger) {
    const char* endpoint = "ipc:///var/run/flow.ipc";
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, endpoint, endpoint);
    for (int round = 0; round < 2; ++round) {  // and the client starts again afterwards
        SCOPED_TRACE(round);
        ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
        std::atomic<long> delivered{0};
        ASSERT_EQ(lpr_zmq_subscribe(
                      "flood", 1, 0,
                      [](const char*, const void*, size_t, void* n) {
                          ++*static_cast<std::atomic<long>*>(n);
                      },
                      &delivered),
                  LPR_ZMQ_OK);
        BusListener stuck(endpoint);  // connected, never reads: its queue fills up
        std::vector<std::thread> publishers;
        for (int t = 0; t < 2; ++t) {
            publishers.emplace_back([] {
                std::string payload(3596, 'p');
                while (lpr_zmq_publish_to("flood", 1, payload.data(), payload.size()) ==
                       LPR_ZMQ_OK) {
                    std::this_thread::sleep_for(50us);
                }
            });
        }
        for (int i = 0; i < 1000 && delivered < 50; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_GE(delivered.load(), 50);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, 1s);
        for (auto& th : publishers) {
            th.join();  // each saw LPR_ZMQ_ENOTINIT
        }
        long after = delivered;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(delivered.load(), after);  // no callback after uninit returned
    }
}
