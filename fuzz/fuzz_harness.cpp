#include "fuzz_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Database.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_json.h"

namespace lpr_fuzz {

namespace {

std::string s_dataDir;
std::string s_ipcDir;

std::string make_temp_dir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string path =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    FUZZ_CHECK(mkdtemp(&path[0]) != nullptr, "mkdtemp " + path);  // fills in the X's in place
    return path;
}

void stop_at_exit() {
    lpr_cgi_uninit();
    std::error_code ec;
    std::filesystem::remove_all(s_dataDir, ec);
    std::filesystem::remove_all(s_ipcDir, ec);
}

std::string envelope(int code, const std::string& msg) {
    return "{\"code\":" + std::to_string(code) + ",\"msg\":\"" + msg + "\"}";
}

// Compact view of a body for failure messages.
std::string shown(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 300)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return text.size() > 300 ? out + "..." : out;
}

}  // namespace

void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "INVARIANT BROKEN at %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

void start(LprCgiHandler readHandler, LprCgiHandler writeHandler) {
    s_dataDir = make_temp_dir("lprfuzz-db");
    s_ipcDir = make_temp_dir("lprfuzz-ipc");
    setenv("LPR_ZMQ_IPC_DIR", s_ipcDir.c_str(), 1);
    const std::string db = s_dataDir + "/settings.db";
    FUZZ_CHECK(Database::create_default(db.c_str()) == 0, db);
    FUZZ_CHECK(lpr_cgi_init(db.c_str()) == 0, db);
    FUZZ_CHECK(lpr_cgi_register_action(kReadAction, readHandler, 1, 1 << QZ_HTTP_GET) == 0, "");
    FUZZ_CHECK(lpr_cgi_register_action(kWriteAction, writeHandler, 1, 1 << QZ_HTTP_POST) == 0, "");
    std::atexit(stop_at_exit);
}

void copy_cached(lpr_advanced_t* record) {
    lpr::LprCgiCache::get_instance().get_lpr_advanced(*record);
}

void copy_cached(VEHICLE_COUNT_SETTING* record) {
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(*record);
}

Request make_request(const uint8_t* data, size_t size) {
    Request req;
    uint8_t control = size > 0 ? data[0] : 0x20;
    if (size > 0) {
        req.buffer.assign(reinterpret_cast<const char*>(data) + 1,
                          reinterpret_cast<const char*>(data) + size);
    }
    const int32_t n = static_cast<int32_t>(req.buffer.size());
    req.buffer.push_back('\0');
    switch (control & 3) {
        case 0:  // the real length
            req.bodyLen = n;
            break;
        case 1:  // no body
            req.bodyLen = 0;
            break;
        case 2:  // a negative length, down to the lowest one
            req.bodyLen = (control >> 2) == 63 ? INT32_MIN : -1 - (control >> 2) * 0x01000000;
            break;
        default:  // a shorter length: only the empty-body test reads it
            req.bodyLen = n == 0 ? 0 : 1 + (control >> 2) % n;
            break;
    }
    return req;
}

Reply call(const char* action, int32_t method, char* body, int32_t bodyLen) {
    LprCgiCtx ctx{action, method, body, bodyLen, 1, "fuzz", "127.0.0.1"};
    LprCgiResp resp;
    std::memset(&resp, 0xA5, sizeof resp);
    Reply reply;
    reply.result = lpr_cgi_handle(&ctx, &resp);
    reply.code = resp.code;
    if (resp.body != nullptr) {
        FUZZ_CHECK(resp.bodyLen >= 0, std::to_string(resp.bodyLen));
        FUZZ_CHECK(resp._priv != nullptr, "a body without an owner");
        FUZZ_CHECK(resp.body[resp.bodyLen] == '\0', "body not NUL-terminated at bodyLen");
        reply.body.assign(resp.body, static_cast<size_t>(resp.bodyLen));
        FUZZ_CHECK(std::strlen(resp.body) == reply.body.size(), "NUL inside the body");
    } else {
        FUZZ_CHECK(resp.bodyLen == 0 && resp._priv == nullptr, "record without body not cleared");
    }
    lpr_cgi_resp_free(&resp);
    FUZZ_CHECK(resp.body == nullptr && resp._priv == nullptr && resp.bodyLen == 0 && resp.code == 0,
               "record not cleared by lpr_cgi_resp_free");
    return reply;
}

bool check_write_reply(const Request& req, const Reply& reply,
                       const std::vector<std::string>& fieldNames) {
    const std::string what = "code " + std::to_string(reply.code) + " body " + shown(reply.body) +
                             " for bodyLen " + std::to_string(req.bodyLen) + " body " +
                             shown(std::string(req.buffer.data()));
    FUZZ_CHECK(reply.result == 0, what);
    if (req.bodyLen <= 0) {
        FUZZ_CHECK(reply.code == 400 && reply.body == envelope(400, "Empty body"), what);
        return false;
    }
    const bool parses = static_cast<bool>(lpr::parse_json(req.buffer.data()));
    if (!parses) {
        FUZZ_CHECK(reply.code == 400 && reply.body == envelope(400, "Invalid JSON"), what);
        return false;
    }
    if (reply.code == 200) {
        FUZZ_CHECK(reply.body == kReplyOk, what);
        return true;
    }
    FUZZ_CHECK(reply.code == 400, what);
    bool known = false;
    for (const std::string& name : fieldNames) {
        known = known || reply.body == envelope(400, "Invalid parameter: " + name);
    }
    FUZZ_CHECK(known, what);
    return false;
}

std::string read_document() {
    static char noBody[] = "";
    Reply reply = call(kReadAction, QZ_HTTP_GET, noBody, 0);
    FUZZ_CHECK(reply.result == 0 && reply.code == 200 && lpr::parse_json(reply.body.c_str()),
               "read answered " + std::to_string(reply.code) + " " + shown(reply.body));
    return reply.body;
}

void check_numbers_applied(const char* body, const std::string& document) {
    lpr::CJsonPtr sent = lpr::parse_json(body);
    lpr::CJsonPtr read = lpr::parse_json(document.c_str());
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, read.get()) {
        const cJSON* value = cJSON_GetObjectItem(sent.get(), member->string);
        if (cJSON_IsNumber(member) && cJSON_IsNumber(value)) {
            FUZZ_CHECK(member->valuedouble == value->valueint,
                       std::string(member->string) + " reads " + shown(document));
        }
    }
}

}  // namespace lpr_fuzz
