#include "lpr_cgi_ws_sub.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "lpr_cgi_internal.h"
#include "lpr_zmq.h"

namespace {

// Bus target and ignored source passed with every (un)subscription: messages come
// from the bus, and messages that this process sent itself (source 2) are not
// delivered back to it.
constexpr int kSubTarget = LPR_ZMQ_TARGET_BUS;
constexpr int kSubIgnoreSource = 2;

struct WsSubEntry {
    lpr_zmq_msg_callback_t callback;
    void* userData;  // passed to the bus client; never read or freed here
};

std::unordered_map<std::string, WsSubEntry> s_wsSubMap;
std::mutex s_wsSubMutex;

}  // namespace

int lpr_cgi_ws_sub_add(const char* topic, lpr_zmq_msg_callback_t callback, void* userData) {
    if (topic == nullptr || callback == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(s_wsSubMutex);
    bool inserted = s_wsSubMap.emplace(topic, WsSubEntry{callback, userData}).second;
    return inserted ? 0 : -1;
}

void lpr_cgi_ws_sub_init(const char* /*dbPath*/) {
    std::lock_guard<std::mutex> guard(s_wsSubMutex);
    for (const auto& entry : s_wsSubMap) {
        lpr_zmq_subscribe(entry.first.c_str(), kSubTarget, kSubIgnoreSource, entry.second.callback,
                          entry.second.userData);
    }
}

void lpr_cgi_ws_sub_uninit() {
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> guard(s_wsSubMutex);
        topics.reserve(s_wsSubMap.size());
        for (const auto& entry : s_wsSubMap) {
            topics.push_back(entry.first);
        }
    }
    // The bus client may wait for its receive thread, which may be inside a callback;
    // the registry's lock is therefore not held across the unsubscribes.
    for (const auto& topic : topics) {
        lpr_zmq_unsubscribe(topic.c_str(), kSubTarget, kSubIgnoreSource);
    }
    std::lock_guard<std::mutex> guard(s_wsSubMutex);
    s_wsSubMap.clear();
}
