// The bus client against real ZeroMQ sockets: its configuration, the exact frames a plain SUB
// socket receives, subscriptions (exact topics, ignored sources, unsubscribe waiting for a
// running callback), another process on the endpoint, and a bounded stop.
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
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
    std::string bytes = {'L', 'B', 2, 0, char(source & 0xff), char(source >> 8), 0, 0};
    bytes.append(reinterpret_cast<const char*>(&session), 4);  // little-endian, as the host
    return bytes.append(reinterpret_cast<const char*>(&sequence), 8);
}

// The calling thread's last publish, as the client reports it.
lpr_zmq_msg_info_t last_publish() {
    lpr_zmq_msg_info_t info{};
    EXPECT_EQ(lpr_zmq_last_publish(&info), LPR_ZMQ_OK);
    return info;
}

// Messages delivered to callbacks, as "topic=payload".
class Inbox {
  public:
    static void on_message(const char* topic, const void* data, size_t len, void* self) {
        static_cast<Inbox*>(self)->add(std::string(topic) + "=" +
                                       std::string(static_cast<const char*>(data), len));
    }
    void add(const std::string& item) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_items.push_back(item);
        m_changed.notify_all();
    }
    // Waits for item; returns (and forgets) everything received up to and including it.
    std::vector<std::string> until(const std::string& item, std::chrono::milliseconds limit = 3s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto at = m_items.end();
        if (!m_changed.wait_for(lock, limit, [&] {
                return (at = std::find(m_items.begin(), m_items.end(), item)) != m_items.end();
            })) {
            return {};
        }
        std::vector<std::string> got(m_items.begin(), at + 1);
        m_items.erase(m_items.begin(), at + 1);
        return got;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_items.clear();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_items;
};

// Publishes topic=payload until the inbox has it: the subscription has reached the publisher. Then
// forgets what came in.
bool published_until_seen(Inbox& inbox, const char* topic, const char* payload) {
    const std::string item = std::string(topic) + "=" + payload;
    for (int i = 0; i < 100; ++i) {
        lpr_zmq_publish_to(topic, 1, payload, std::strlen(payload));
        if (!inbox.until(item, 50ms).empty()) {
            std::this_thread::sleep_for(50ms);
            inbox.clear();
            return true;
        }
    }
    return false;
}

// A client that publishes into its own subscriptions.
const char* const kLoop = "ipc:///var/run/loop.ipc";

void ignore_message(const char*, const void*, size_t, void*) {}

// A callback that takes its time.
struct Slow {
    std::atomic<bool> started{false}, finished{false};
    static void on_message(const char*, const void*, size_t, void* self) {
        static_cast<Slow*>(self)->started = true;
        std::this_thread::sleep_for(300ms);
        static_cast<Slow*>(self)->finished = true;
    }
};

}  // namespace

TEST(BusConfig, defaults_fill_every_field_at_its_offset) {
    const std::string cutInsideChar = std::string(62, 'b') + "\xC3\xA9";  // 'é' at 62..63
    struct Row {
        int role;
        const char* identity;
        int rc;
        std::string stored;
    } rows[] = {
        // clang-format off
        {LPR_ZMQ_ROLE_PUBSUB, "webserver", LPR_ZMQ_OK, "webserver"}, {99, "x", LPR_ZMQ_EINVAL, "x"},
        {LPR_ZMQ_ROLE_PUBLISHER, nullptr, LPR_ZMQ_OK, ""},
        {LPR_ZMQ_ROLE_REQUESTER, cutInsideChar.c_str(), LPR_ZMQ_OK, std::string(62, 'b')},
        // clang-format on
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

TEST(BusClient, refused_configurations_leave_the_client_stopped) {
    // clang-format off
    struct Row {
        const char* name;
        std::function<void(lpr_zmq_config_t&)> change;
        int rc;
        const char* ipcDir = nullptr;  // LPR_ZMQ_IPC_DIR for this row (else the test's)
    } rows[] = {
        {"requester role", [](lpr_zmq_config_t& c) { c.role = LPR_ZMQ_ROLE_REQUESTER; }, LPR_ZMQ_EROLE},
        {"identity without NUL", [](lpr_zmq_config_t& c) { std::memset(c.identity, 'i', 64); }, LPR_ZMQ_EINVAL},
        {"blocking send", [](lpr_zmq_config_t& c) { c.send_timeout_ms = -1; }, LPR_ZMQ_EINVAL},
        {"unknown transport", [](lpr_zmq_config_t& c) { std::strcpy(c.pub_endpoint, "foo://x"); },
         LPR_ZMQ_EENDPOINT},
        {"missing folder, subscriber only", [](lpr_zmq_config_t& c) { c.role = LPR_ZMQ_ROLE_SUBSCRIBER; },
         LPR_ZMQ_EENDPOINT, "/nonexistent/lpr"},
    };
    // clang-format on
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
    const std::string longest(sizeof(lpr_zmq_msg_info_t{}.topic) - 1, 'L');  // kept whole
    struct Row {
        int source;
        const char* topic;
        std::string payload;
    } rows[] = {
        // clang-format off
        {0, LPR_BUS_TOPIC_COUNT, record}, {2, LPR_BUS_TOPIC_ADVANCED, std::string(608, '\x5A')},
        {0x1234, "t", ""}, {7, longest.c_str(), "x"}, {65535, "a b", std::string("x\0y", 3)},
        // clang-format on
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
        const std::string head = header(static_cast<uint16_t>(row.source), before.session,
                                        before.sequence + 1 + static_cast<uint64_t>(&row - rows));
        EXPECT_EQ(msg.frames, (std::vector<std::string>{row.topic, head, row.payload}));
    }

    // Refused publishes send nothing.
    EXPECT_EQ(lpr_zmq_publish_to(nullptr, 1, "x", 1), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_publish_to("", 1, "x", 1), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_publish_to("t", 2, "x", 1), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_publish_to("t", 1, nullptr, 1), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_set_source(65536), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_subscribe("t", 1, 0, ignore_message, nullptr), LPR_ZMQ_EROLE);
    EXPECT_EQ(lpr_zmq_publish_to("end", 1, nullptr, 0), LPR_ZMQ_OK);
    BusMessage msg;
    ASSERT_TRUE(listener.receive(&msg));
    // Refused publishes took no number; another thread has published nothing yet.
    const uint64_t endSequence = before.sequence + 1 + std::size(rows);
    EXPECT_EQ(msg.frames,
              (std::vector<std::string>{"end", header(65535, before.session, endSequence), ""}));
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

TEST(BusSubscribe, topics_match_exactly_sources_are_ignored_and_unsubscribe_waits_for_callbacks) {
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, kLoop, kLoop);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    Inbox inbox;
    ASSERT_EQ(lpr_zmq_subscribe("cfg.a", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_TRUE(published_until_seen(inbox, "cfg.a", "sync"));
    for (const char* topic : {"cfg.ab", "cfg", "cfg.a.x", "CFG.A", "cfg.a"}) {
        lpr_zmq_publish_to(topic, 1, "1", 1);
    }
    EXPECT_EQ(inbox.until("cfg.a=1"), (std::vector<std::string>{"cfg.a=1"}));

    EXPECT_EQ(lpr_zmq_subscribe("cfg", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_TRUE(published_until_seen(inbox, "cfg", "sync"));
    EXPECT_EQ(lpr_zmq_unsubscribe("cfg.a", 1, 0), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_unsubscribe("cfg.a", 1, 0), LPR_ZMQ_ENOENT);
    lpr_zmq_publish_to("cfg.a", 1, "2", 1);
    lpr_zmq_publish_to("cfg", 1, "end", 3);
    EXPECT_EQ(inbox.until("cfg=end"), (std::vector<std::string>{"cfg=end"}));

    EXPECT_EQ(lpr_zmq_subscribe("", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_subscribe("t", 1, 65536, Inbox::on_message, &inbox), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_subscribe("t", 1, 0, nullptr, &inbox), LPR_ZMQ_EINVAL);

    // Messages of the ignored source are not delivered.
    ASSERT_EQ(lpr_zmq_subscribe("evt", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_TRUE(published_until_seen(inbox, "evt", "sync"));
    const struct {
        int ignore;
        int source;
        bool delivered;
    } rows[] = {{0, 0, true}, {9, 9, false}, {9, 7, true}, {65535, 65535, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "ignore " << row.ignore << " source " << row.source);
        // Subscribing again replaces the ignored source.
        ASSERT_EQ(lpr_zmq_subscribe("evt", 1, row.ignore, Inbox::on_message, &inbox), LPR_ZMQ_OK);
        ASSERT_EQ(lpr_zmq_set_source(row.source), LPR_ZMQ_OK);
        lpr_zmq_publish_to("evt", 1, "x", 1);
        lpr_zmq_publish_to("cfg", 1, "m", 1);
        std::vector<std::string> expected{"cfg=m"};
        if (row.delivered) {
            expected.insert(expected.begin(), "evt=x");
        }
        EXPECT_EQ(inbox.until("cfg=m"), expected);
    }

    // Unsubscribe returns only after the running callback.
    Slow slow;
    ASSERT_EQ(lpr_zmq_subscribe("slow", 1, 0, Slow::on_message, &slow), LPR_ZMQ_OK);
    for (int i = 0; i < 100 && !slow.started; ++i) {
        lpr_zmq_publish_to("slow", 1, "", 0);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(slow.started);
    EXPECT_EQ(lpr_zmq_unsubscribe("slow", 1, 0), LPR_ZMQ_OK);
    EXPECT_TRUE(slow.finished);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);

    // A new start forgets the old subscriptions.
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_unsubscribe("cfg", 1, 0), LPR_ZMQ_ENOENT);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusClient, uninit_while_messages_flow_returns_within_the_linger) {
    const char* endpoint = "ipc:///var/run/flow.ipc";
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, endpoint, endpoint);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    std::atomic<long> delivered{0};
    auto count = [](const char*, const void*, size_t, void* n) {
        ++*static_cast<std::atomic<long>*>(n);
    };
    ASSERT_EQ(lpr_zmq_subscribe("flood", 1, 0, count, &delivered), LPR_ZMQ_OK);
    BusListener stuck(endpoint);  // connected, never reads: its queue fills up
    std::thread publisher([] {
        std::string payload(3596, 'p');
        while (lpr_zmq_publish_to("flood", 1, payload.data(), payload.size()) == LPR_ZMQ_OK) {
            std::this_thread::sleep_for(50us);
        }
    });
    for (int i = 0; i < 1000 && delivered == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(delivered.load(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
    // The bound is the linger (100 ms) and the poll period, with room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    publisher.join();  // it saw LPR_ZMQ_ENOTINIT
    long after = delivered;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(delivered.load(), after);         // no callback after uninit returned
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);  // and the client starts again
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}
