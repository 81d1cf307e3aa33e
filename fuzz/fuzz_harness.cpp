#include "fuzz_harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Database.h"

namespace lpr_fuzz {

namespace {

constexpr const char kReadAction[] = "settings.get";
constexpr const char kOk[] = R"({"code":200,"msg":"OK"})";
std::string s_dataDir, s_ipcDir;

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

std::string refusal(const std::string& msg) {
    return R"({"code":400,"msg":")" + msg + "\"}";
}

// The body bytes and a NUL, and the length the request reports (0 or negative: no body;
// never above the body).
struct Request {
    std::vector<char> buffer;
    int32_t bodyLen = 0;
};

Request make_request(const uint8_t* data, size_t size) {
    Request req;
    const uint8_t control = size > 0 ? data[0] : 0x20;
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

// True for the success reply; see test_one_input for what else a write may answer.
bool check_write_reply(const Request& req, const Reply& reply,
                       const std::vector<std::string>& members) {
    const std::string what = "code " + std::to_string(reply.code) + " body " + reply.body +
                             " for bodyLen " + std::to_string(req.bodyLen) + " body " +
                             std::string(req.buffer.data()).substr(0, 300);
    FUZZ_CHECK(reply.result == 0, what);
    if (req.bodyLen <= 0 || !lpr::parse_json(req.buffer.data())) {
        FUZZ_CHECK(reply.body == refusal(req.bodyLen <= 0 ? "Empty body" : "Invalid JSON"), what);
        FUZZ_CHECK(reply.code == 400, what);
        return false;
    }
    if (reply.code == 200) {
        FUZZ_CHECK(reply.body == kOk, what);
        return true;
    }
    bool known = false;
    for (const std::string& name : members) {
        known = known || reply.body == refusal("Invalid parameter: " + name);
    }
    FUZZ_CHECK(reply.code == 400 && known, what);
    return false;
}

std::string read_document() {
    static char noBody[] = "";
    Reply reply = call(kReadAction, QZ_HTTP_GET, noBody, 0);
    FUZZ_CHECK(reply.result == 0 && reply.code == 200 && lpr::parse_json(reply.body.c_str()),
               "read answered " + std::to_string(reply.code) + " " + reply.body);
    return reply.body;
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

int test_one_input(const std::vector<std::string>& members, const std::vector<ByteRange>& unnamed,
                   std::string (*cached)(), const uint8_t* data, size_t size) {
    const std::string before = cached();
    Request req = make_request(data, size);
    Reply reply = call(kWriteAction, QZ_HTTP_POST, req.buffer.data(), req.bodyLen);
    const bool stored = check_write_reply(req, reply, members);
    const std::string after = cached();
    if (!stored) {
        FUZZ_CHECK(before == after, "a refused write changed the record");
        return 0;
    }
    for (const ByteRange& r : unnamed) {
        FUZZ_CHECK(before.compare(r.offset, r.size, after, r.offset, r.size) == 0,
                   "unnamed bytes at " + std::to_string(r.offset) + " changed");
    }
    std::string document = read_document();
    lpr::CJsonPtr sent = lpr::parse_json(req.buffer.data());
    lpr::CJsonPtr read = lpr::parse_json(document.c_str());
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, read.get()) {
        const cJSON* value = cJSON_GetObjectItem(sent.get(), member->string);
        FUZZ_CHECK(!cJSON_IsNumber(member) || !cJSON_IsNumber(value) ||
                       member->valuedouble == value->valueint,
                   std::string(member->string) + " reads " + document);
    }
    reply = call(kWriteAction, QZ_HTTP_POST, &document[0], static_cast<int32_t>(document.size()));
    FUZZ_CHECK(reply.body == kOk, "the read document was refused: " + reply.body);
    // The same settings, not the same bytes: a text written back leaves the bytes behind
    // its NUL as they were, and an order string may reset a text first.
    FUZZ_CHECK(read_document() == document, "the read document stored other settings: " + document);
    return 0;
}

}  // namespace lpr_fuzz
