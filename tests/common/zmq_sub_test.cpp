// The bus client's subscriptions, against real ZeroMQ sockets: exact topics, ignored sources,
// messages from foreign publishers, callbacks that use the client, the guarantee that unsubscribe
// waits for a running callback, a client in another process, and the client's own log lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpr_bus_topics.h"
#include "lpr_zmq.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

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
        std::vector<std::string> got;
        m_changed.wait_for(lock, limit, [&] {
            for (size_t i = 0; i < m_items.size(); ++i) {
                if (m_items[i] == item) {
                    got.assign(m_items.begin(), m_items.begin() + static_cast<long>(i) + 1);
                    m_items.erase(m_items.begin(), m_items.begin() + static_cast<long>(i) + 1);
                    return true;
                }
            }
            return false;
        });
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

}  // namespace

TEST(BusSubscribe, topics_match_exactly_and_unsubscribe_stops_delivery) {
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

    const struct {
        const char* topic;
        int target;
        int ignore;
        lpr_zmq_msg_callback_t cb;
    } bad[] = {
        {nullptr, 1, 0, Inbox::on_message},
        {"", 1, 0, Inbox::on_message},
        {"t", 0, 0, Inbox::on_message},
        {"t", 2, 0, Inbox::on_message},
        {"t", 1, -1, Inbox::on_message},
        {"t", 1, 65536, Inbox::on_message},
        {"t", 1, 0, nullptr},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(lpr_zmq_subscribe(b.topic, b.target, b.ignore, b.cb, &inbox), LPR_ZMQ_EINVAL);
    }
    EXPECT_EQ(lpr_zmq_unsubscribe("cfg", 2, 0), LPR_ZMQ_EINVAL);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);

    // A new start forgets the old subscriptions.
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_unsubscribe("cfg", 1, 0), LPR_ZMQ_ENOENT);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusSubscribe, messages_of_the_ignored_source_are_not_delivered) {
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, kLoop, kLoop);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    Inbox inbox;
    ASSERT_EQ(lpr_zmq_subscribe("mark", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_EQ(lpr_zmq_subscribe("evt", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_TRUE(published_until_seen(inbox, "evt", "sync"));
    const struct {
        int ignore;
        int source;
        bool delivered;
    } rows[] = {{0, 0, true}, {0, 9, true},          {9, 9, false}, {9, 7, true},
                {9, 0, true}, {65535, 65535, false}, {2, 2, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "ignore " << row.ignore << " source " << row.source);
        // Subscribing again replaces the ignored source.
        ASSERT_EQ(lpr_zmq_subscribe("evt", 1, row.ignore, Inbox::on_message, &inbox), LPR_ZMQ_OK);
        ASSERT_EQ(lpr_zmq_set_source(row.source), LPR_ZMQ_OK);
        lpr_zmq_publish_to("evt", 1, "x", 1);
        lpr_zmq_publish_to("mark", 1, "m", 1);
        std::vector<std::string> expected{"mark=m"};
        if (row.delivered) {
            expected.insert(expected.begin(), "evt=x");
        }
        EXPECT_EQ(inbox.until("mark=m"), expected);
    }
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusSubscribe, messages_from_a_plain_zeromq_publisher_are_read_by_their_frames) {
    const std::string hdr5("LB\x01\x00\x05\x00\x00\x00", 8);
    const std::string hdr6("LB\x01\x00\x06\x00\x00\x00", 8);
    // Version 2: session 0x04030201, sequence 0x0807060504030201.
    const std::string hdr9v2(
        "LB\x02\x00\x09\x00\x00\x00\x01\x02\x03\x04"
        "\x01\x02\x03\x04\x05\x06\x07\x08",
        20);
    struct Row {
        const char* name;
        std::vector<std::string> frames;
        bool delivered;
        const char* header;  // source/session/sequence as lpr_zmq_current_message gives them
    } rows[] = {
        {"topic and payload only", {"t", "p1"}, true, "0/0/0"},
        {"ignored source", {"t", hdr5, "p2"}, false, ""},
        {"other source", {"t", hdr6, "p3"}, true, "6/0/0"},
        {"foreign middle frame", {"t", "xxxxxxxx", "p4"}, true, "0/0/0"},
        {"header cut short", {"t", hdr5.substr(0, 5), "p5"}, true, "0/0/0"},
        {"extra frames", {"t", hdr6, "extra", "p6"}, true, "6/0/0"},
        {"topic only", {"t"}, false, ""},
        {"longer topic", {"tt", hdr6, "p7"}, false, ""},
        {"empty payload", {"t", hdr6, ""}, true, "6/0/0"},
        {"payload with NUL", {"t", std::string("a\0b", 3)}, true, "0/0/0"},
        {"numbered", {"t", hdr9v2, "p8"}, true, "9/67305985/578437695752307201"},
        {"numbered, cut short", {"t", hdr9v2.substr(0, 19), "p9"}, true, "9/0/0"},
    };
    void* ctx = zmq_ctx_new();
    void* pub = zmq_socket(ctx, ZMQ_PUB);
    ASSERT_EQ(zmq_bind(pub, lpr_test::resolve_endpoint("ipc:///var/run/raw.ipc").c_str()), 0);
    auto send = [pub](const std::vector<std::string>& frames) {
        for (size_t i = 0; i < frames.size(); ++i) {
            zmq_send(pub, frames[i].data(), frames[i].size(),
                     i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
        }
    };
    lpr_zmq_config_t cfg =
        lpr_test::bus_config(LPR_ZMQ_ROLE_SUBSCRIBER, "", "ipc:///var/run/raw.ipc");
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_zmq_publish_to("t", 1, "x", 1), LPR_ZMQ_EROLE);
    std::vector<std::string> got;
    std::mutex mutex;
    auto record = [](const char* topic, const void* data, size_t len, void* self) {
        auto* out = static_cast<std::pair<std::mutex*, std::vector<std::string>*>*>(self);
        lpr_zmq_msg_info_t info{};
        std::string header = "(none)";
        if (lpr_zmq_current_message(&info) == LPR_ZMQ_OK && std::string(info.topic) == topic) {
            header = std::to_string(info.source) + "/" + std::to_string(info.session) + "/" +
                     std::to_string(info.sequence);
        }
        std::lock_guard<std::mutex> guard(*out->first);
        out->second->push_back(std::string(topic) + "=" +
                               std::string(static_cast<const char*>(data), len) + " " + header);
    };
    std::pair<std::mutex*, std::vector<std::string>*> sink{&mutex, &got};
    Inbox marks;
    ASSERT_EQ(lpr_zmq_subscribe("t", 1, 5, record, &sink), LPR_ZMQ_OK);
    ASSERT_EQ(lpr_zmq_subscribe("mark", 1, 0, Inbox::on_message, &marks), LPR_ZMQ_OK);
    bool live = false;
    for (int i = 0; i < 100 && !live; ++i) {
        send({"mark", "m"});
        live = !marks.until("mark=m", 50ms).empty();
    }
    ASSERT_TRUE(live);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        {
            std::lock_guard<std::mutex> guard(mutex);
            got.clear();
        }
        send(row.frames);
        send({"mark", "end"});
        ASSERT_FALSE(marks.until("mark=end").empty());
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> expected;
        if (row.delivered) {
            expected.push_back(row.frames.front() + "=" + row.frames.back() + " " + row.header);
        }
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
    zmq_close(pub);
    zmq_ctx_term(ctx);
}

namespace {

struct CallbackCalls {
    lpr_zmq_config_t cfg;
    std::atomic<int> initResult{0};
    std::atomic<int> uninitResult{0};
    std::atomic<int> unsubscribeResult{1};
    std::atomic<int> calls{0};
};

// On "ping": answers with "pong" carrying the same payload, tries to start and to stop the
// client, and removes its own subscription.
void on_ping(const char*, const void* data, size_t len, void* user) {
    auto* c = static_cast<CallbackCalls*>(user);
    ++c->calls;
    lpr_zmq_publish_to("pong", 1, data, len);
    c->initResult = lpr_zmq_init(&c->cfg);
    c->uninitResult = lpr_zmq_uninit();
    c->unsubscribeResult = lpr_zmq_unsubscribe("ping", 1, 0);
}

}  // namespace

TEST(BusSubscribe, a_callback_may_publish_and_unsubscribe_but_not_start_or_stop_the_client) {
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, kLoop, kLoop);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    Inbox inbox;
    CallbackCalls calls;
    calls.cfg = cfg;
    ASSERT_EQ(lpr_zmq_subscribe("pong", 1, 0, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    ASSERT_EQ(lpr_zmq_subscribe("ping", 1, 0, on_ping, &calls), LPR_ZMQ_OK);
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        lpr_zmq_publish_to("ping", 1, "hello", 5);
        answered = !inbox.until("pong=hello", 50ms).empty();
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(calls.initResult, LPR_ZMQ_ECALLBACK);
    EXPECT_EQ(calls.uninitResult, LPR_ZMQ_ECALLBACK);
    EXPECT_EQ(calls.unsubscribeResult, LPR_ZMQ_OK);
    std::this_thread::sleep_for(200ms);  // pings still in flight are not delivered
    EXPECT_EQ(calls.calls, 1);
    EXPECT_EQ(lpr_zmq_unsubscribe("ping", 1, 0), LPR_ZMQ_ENOENT);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusSubscribe, unsubscribe_returns_only_after_the_running_callback) {
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBSUB, kLoop, kLoop);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    struct Slow {
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
    } slow;
    ASSERT_EQ(lpr_zmq_subscribe(
                  "slow", 1, 0,
                  [](const char*, const void*, size_t, void* user) {
                      auto* s = static_cast<Slow*>(user);
                      s->started = true;
                      std::this_thread::sleep_for(300ms);
                      s->finished = true;
                  },
                  &slow),
              LPR_ZMQ_OK);
    for (int i = 0; i < 100 && !slow.started; ++i) {
        lpr_zmq_publish_to("slow", 1, "", 0);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(slow.started);
    EXPECT_EQ(lpr_zmq_unsubscribe("slow", 1, 0), LPR_ZMQ_OK);
    EXPECT_TRUE(slow.finished);
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
}

TEST(BusSubscribe, a_client_in_another_process_is_heard_except_for_the_ignored_source) {
    const char* endpoint = "ipc:///var/run/mainserver_pub.ipc";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed early
        lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, endpoint, "");
        if (lpr_zmq_init(&cfg) != LPR_ZMQ_OK) {
            _exit(3);
        }
        for (int i = 0; i < 12000; ++i) {  // at most a minute
            lpr_zmq_set_source(i % 2 == 0 ? 7 : 2);
            lpr_zmq_publish_to(LPR_BUS_TOPIC_COUNT, 1, i % 2 == 0 ? "main" : "echo", 4);
            usleep(5000);
        }
        _exit(0);
    }
    lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_SUBSCRIBER, "", endpoint);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    Inbox inbox;
    ASSERT_EQ(lpr_zmq_subscribe(LPR_BUS_TOPIC_COUNT, 1, 2, Inbox::on_message, &inbox), LPR_ZMQ_OK);
    const std::string fromMain = std::string(LPR_BUS_TOPIC_COUNT) + "=main";
    std::vector<std::string> got = inbox.until(fromMain, 5s);
    ASSERT_FALSE(got.empty());
    std::this_thread::sleep_for(100ms);
    for (const auto& m : inbox.until(fromMain)) {
        got.push_back(m);
    }
    EXPECT_GE(got.size(), 2u);
    for (const auto& m : got) {
        EXPECT_EQ(m, fromMain);
    }
    EXPECT_EQ(lpr_zmq_uninit(), LPR_ZMQ_OK);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
}

TEST(BusLog, lines_on_standard_error_follow_the_configured_level) {
    const std::string dir = lpr_test::ipc_dir();
    struct Row {
        lpr_zmq_log_level_t level;
        const char* pub;
        int rc;
        std::vector<std::string> lines;
    } rows[] = {
        {LPR_ZMQ_LOG_WARN, "ipc:///var/run/log.ipc", LPR_ZMQ_OK, {}},
        {LPR_ZMQ_LOG_INFO,
         "ipc:///var/run/log.ipc",
         LPR_ZMQ_OK,
         {"lpr_zmq[bustest] INFO: started: publishes on ipc://" + dir +
              "/log.ipc, subscribes to (none)",
          "lpr_zmq[bustest] INFO: stopped"}},
        {LPR_ZMQ_LOG_ERROR,
         "foo://x",
         LPR_ZMQ_EENDPOINT,
         {"lpr_zmq[bustest] ERROR: cannot bind foo://x: Protocol not supported"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        lpr_zmq_config_t cfg = lpr_test::bus_config(LPR_ZMQ_ROLE_PUBLISHER, row.pub, "");
        cfg.log_level = row.level;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lpr_zmq_init(&cfg), row.rc);
        lpr_zmq_uninit();
        EXPECT_EQ(lpr_test::log_lines(testing::internal::GetCapturedStderr()), row.lines);
    }
}
