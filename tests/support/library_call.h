/*
 * The one way the tests of the library send a request (through the host entry point, the
 * reply copied out before it is released), and the library started as a host starts it.
 * Header only: only the tests that link the library's objects use it.
 */
#ifndef LPR_TEST_LIBRARY_CALL_H
#define LPR_TEST_LIBRARY_CALL_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Database.h"
#include "cached_record.h"
#include "cgi/lpr_cgi.h"
#include "lpr_bus_topics.h"
#include "test_support.h"

namespace lpr_test {

struct Reply {
    int32_t rc;
    int32_t code;
    std::string body; /* "<null>" when the reply had none */
};

/* body: null, or a text passed NUL-terminated with the length len (which a host may
 * report wrongly); permission: the user's bits. */
inline Reply call(const char* action, int32_t method, const char* body, int32_t len,
                  uint32_t permission = 1) {
    std::vector<char> copy;
    if (body != nullptr) {
        copy.assign(body, body + std::strlen(body) + 1);
    }
    LprCgiCtx ctx{action,  method, body != nullptr ? copy.data() : nullptr, len, permission,
                  nullptr, nullptr};
    LprCgiResp resp{};
    Reply reply{lpr_cgi_handle(&ctx, &resp), resp.code,
                resp.body != nullptr ? std::string(resp.body, resp.bodyLen) : "<null>"};
    lpr_cgi_resp_free(&resp);
    return reply;
}

inline Reply post(const char* action, const std::string& body, uint32_t permission = 1) {
    return call(action, QZ_HTTP_POST, body.c_str(), static_cast<int32_t>(body.size()), permission);
}

inline Reply get(const char* action, uint32_t permission = 1) {
    return call(action, QZ_HTTP_GET, nullptr, 0, permission);
}

inline constexpr char kOk[] = R"({"code":200,"msg":"OK"})";

inline std::string refused(const std::string& msg) {
    return R"({"code":400,"msg":")" + msg + "\"}";
}

inline std::string invalid_reply(const std::string& member) {
    return refused("Invalid parameter: " + member);
}

/* The library started on a new settings database, with the actions "advanced.get",
 * "advanced.set", "count.get" and "count.set" (permission bit 1), and stopped when the
 * object goes. */
class SettingsLibrary {
  public:
    SettingsLibrary() {
        logged([this] { EXPECT_EQ(lpr_cgi_init(m_file.path.c_str()), 0); });
        EXPECT_EQ(lpr_cgi_register_action("advanced.get", get_lpr_advanced_handler, 1, 1), 0);
        EXPECT_EQ(lpr_cgi_register_action("advanced.set", set_lpr_advanced_handler, 1, 2), 0);
        EXPECT_EQ(lpr_cgi_register_action("count.get", get_vehicle_count_handler, 1, 1), 0);
        EXPECT_EQ(lpr_cgi_register_action("count.set", set_vehicle_count_handler, 1, 2), 0);
    }
    ~SettingsLibrary() {
        logged([] { lpr_cgi_uninit(); });
    }
    SettingsLibrary(const SettingsLibrary&) = delete;
    SettingsLibrary& operator=(const SettingsLibrary&) = delete;

    /* Listens to what the library publishes; false when the listener did not connect. */
    bool listen() {
        m_bus = std::make_unique<BusListener>(LPR_BUS_ENDPOINT_WEBSERVER);
        return m_bus->wait_connected([] { lpr_zmq_publish_to("marker", 1, "m", 1); });
    }

    /* The messages published since the last call: a marker published after them on the
     * same bus client arrives after them. */
    std::vector<BusMessage> published() {
        lpr_zmq_publish_to("marker", LPR_ZMQ_TARGET_BUS, "m", 1);
        std::vector<BusMessage> seen;
        BusMessage msg;
        while (m_bus->receive(&msg) && msg.topic() != "marker") {
            seen.push_back(msg);
        }
        EXPECT_EQ(msg.topic(), "marker");
        return seen;
    }

    /* A write of body (len bytes reported) answers reply and leaves want in the cache; a
     * success publishes exactly that record under topic, a refusal publishes nothing. */
    template <typename Record>
    void expect_write(const char* action, const char* body, int32_t len, const std::string& reply,
                      const Record& want, const char* topic) {
        Reply r = call(action, QZ_HTTP_POST, body, len);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.code, reply == kOk ? 200 : 400);
        EXPECT_EQ(r.body, reply);
        EXPECT_EQ(bytes_of(cached<Record>()), bytes_of(want));
        const std::vector<BusMessage> sent = published();
        ASSERT_EQ(sent.size(), reply == kOk ? 1u : 0u);
        if (!sent.empty()) {
            EXPECT_EQ(sent[0].frames.front(), topic);
            EXPECT_EQ(sent[0].payload(), bytes_of(want));
        }
    }

  private:
    SettingsFile m_file;
    std::unique_ptr<BusListener> m_bus;
};

}  // namespace lpr_test

#endif /* LPR_TEST_LIBRARY_CALL_H */
