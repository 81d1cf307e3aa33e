/*
 * Shared part of the libFuzzer targets: starts the real library once per process on a
 * real settings database, runs requests through lpr_cgi_handle and checks the reply
 * of a write action against what its body and length allow.
 *
 * Input layout of every target: byte 0 chooses the body length that the request
 * reports, the rest is the body. A leading blank (0x20) reports the real length, so a
 * seed file is a blank followed by a readable JSON text.
 */
#ifndef LPR_FUZZ_HARNESS_H
#define LPR_FUZZ_HARNESS_H

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/lpr_cgi.h"
#include "lpr_cgi_json.h"
#include "lpr_defs.h"

namespace lpr_fuzz {

/* Action names under which start() registers the two handlers. */
constexpr const char kReadAction[] = "settings.get";
constexpr const char kWriteAction[] = "settings.set";

/* The fixed confirmation of a successful write. */
constexpr const char kReplyOk[] = "{\"code\":200,\"msg\":\"OK\"}";

/* Starts the library on a settings database made with Database::create_default in a
 * private temporary folder, with the bus endpoints in another private folder, and
 * registers the read and write handlers. Aborts on any failure. The folders are
 * removed at exit. */
void start(LprCgiHandler readHandler, LprCgiHandler writeHandler);

/* A request as the host would pass it: the body bytes followed by a NUL, and the
 * length that the request reports (0 or negative: no body; never above the body). */
struct Request {
    std::vector<char> buffer;
    int32_t bodyLen = 0;
};

/* Splits a fuzzer input into a request (see the layout above). */
Request make_request(const uint8_t* data, size_t size);

/* One reply, copied out of the host record before it was released. */
struct Reply {
    int32_t result = 0;
    int32_t code = 0;
    std::string body;
};

/* Runs one request through lpr_cgi_handle and checks the host record (body
 * NUL-terminated at bodyLen, no NUL inside), then releases it. */
Reply call(const char* action, int32_t method, char* body, int32_t bodyLen);

/* Checks the reply of a write: result 0; "Empty body" exactly when the request has no
 * body; "Invalid JSON" exactly when the body does not parse; otherwise the success
 * body, or the invalid-parameter reply for one of fieldNames. Returns true for the
 * success reply. */
bool check_write_reply(const Request& req, const Reply& reply,
                       const std::vector<std::string>& fieldNames);

/* Reads the record back through the read action and checks that the reply is code
 * 200 with exactly the document that `expected` prints to. */
void check_read_document(const lpr::CJsonPtr& expected);

/* Stops the process with a message when an invariant does not hold, so that libFuzzer
 * keeps the input. */
[[noreturn]] void fail(const char* file, int line, const std::string& what);

/* Fields of a record that must keep their bytes: offset and size. */
struct ByteRange {
    size_t offset;
    size_t size;
};
void check_same_bytes(const void* before, const void* after, const std::vector<ByteRange>& ranges,
                      const char* record);

/* Text field rules: NUL within the array; returns the text. */
std::string text_of(const char* field, size_t size, const char* name);

/* An order string of field codes: 0-9 and a-k, none twice except the line break 9
 * when lineBreakAllowed; empty only when emptyAllowed. */
bool valid_order(const std::string& order, bool lineBreakAllowed, bool emptyAllowed);

}  // namespace lpr_fuzz

#define FUZZ_CHECK(cond, what)                                                    \
    do {                                                                          \
        if (!(cond)) {                                                            \
            lpr_fuzz::fail(__FILE__, __LINE__, std::string(#cond ": ") + (what)); \
        }                                                                         \
    } while (0)

namespace lpr_fuzz {

/* The cache's public copy of a settings record. */
void copy_cached(lpr_advanced_t* record);
void copy_cached(VEHICLE_COUNT_SETTING* record);

template <typename Record>
Record cached() {
    Record record;
    std::memset(&record, 0, sizeof record);
    copy_cached(&record);
    return record;
}

/* What a write target knows of its record: the two handlers, the members the write action
 * names in its refusals, and the checks of a record. */
template <typename Record>
struct Target {
    LprCgiHandler readHandler;
    LprCgiHandler writeHandler;
    const std::vector<std::string>& members;
    void (*checkValid)(const Record& record);
    void (*checkApplied)(const char* body, const Record& before, const Record& after);
    lpr::CJsonPtr (*documentOf)(const Record& record);
};

/* Starts the library and checks the record the database gave, now in *initial. */
template <typename Record>
void initialize(const Target<Record>& t, Record* initial) {
    start(t.readHandler, t.writeHandler);
    *initial = cached<Record>();
    t.checkValid(*initial);
    check_read_document(t.documentOf(*initial));
}

/* One input: a refused write leaves the record as it was; a stored one leaves a valid
 * record that holds the body's values and that the read action reports. */
template <typename Record>
int test_one_input(const Target<Record>& t, const uint8_t* data, size_t size) {
    const Record before = cached<Record>();
    Request req = make_request(data, size);
    Reply reply = call(kWriteAction, QZ_HTTP_POST, req.buffer.data(), req.bodyLen);
    const bool stored = check_write_reply(req, reply, t.members);
    const Record after = cached<Record>();
    if (!stored) {
        FUZZ_CHECK(std::memcmp(&before, &after, sizeof before) == 0,
                   "a refused write changed the cached record");
        return 0;
    }
    t.checkValid(after);
    t.checkApplied(req.buffer.data(), before, after);
    check_read_document(t.documentOf(after));
    return 0;
}

}  // namespace lpr_fuzz

/* libFuzzer's two entry points of the write target of Record. The target's file defines, in
 * an unnamed namespace: kMembers, s_initial (the record the database gave), and check_valid,
 * check_applied and document_of as Target names them. */
#define LPR_FUZZ_WRITE_TARGET(Record, readHandler, writeHandler)                        \
    namespace {                                                                         \
    const lpr_fuzz::Target<Record> kTarget = {readHandler, writeHandler,  kMembers,     \
                                              check_valid, check_applied, document_of}; \
    }                                                                                   \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                \
        lpr_fuzz::initialize(kTarget, &s_initial);                                      \
        return 0;                                                                       \
    }                                                                                   \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {           \
        return lpr_fuzz::test_one_input(kTarget, data, size);                           \
    }

#endif /* LPR_FUZZ_HARNESS_H */
