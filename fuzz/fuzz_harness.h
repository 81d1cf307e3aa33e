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

/* Stops the process with a message when an invariant does not hold, so that libFuzzer
 * keeps the input. */
[[noreturn]] void fail(const char* file, int line, const std::string& what);

/* Bytes of a record that no member names: offset and size. */
struct ByteRange {
    size_t offset;
    size_t size;
};

/* The read action's document now. */
std::string read_document();

/* After a stored write of body: every number member of the read document that the body
 * names (as the write looks keys up: letter case ignored, the first one) holds the body's
 * value, fractions dropped toward zero. */
void check_numbers_applied(const char* body, const std::string& document);

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

/* One input of a write target. A refused write leaves the record as it was. A stored one
 * leaves the numbers the body named, bytes no member names untouched, and a record whose
 * read document, written back, is accepted and reads the same again: so every member the
 * write checks holds a value the write accepts. */
template <typename Record>
int test_one_input(const std::vector<std::string>& members, const std::vector<ByteRange>& unnamed,
                   const uint8_t* data, size_t size) {
    const Record before = cached<Record>();
    Request req = make_request(data, size);
    Reply reply = call(kWriteAction, QZ_HTTP_POST, req.buffer.data(), req.bodyLen);
    const bool stored = check_write_reply(req, reply, members);
    const Record after = cached<Record>();
    const auto* a = reinterpret_cast<const unsigned char*>(&before);
    const auto* b = reinterpret_cast<const unsigned char*>(&after);
    if (!stored) {
        FUZZ_CHECK(std::memcmp(a, b, sizeof before) == 0, "a refused write changed the record");
        return 0;
    }
    for (const ByteRange& r : unnamed) {
        FUZZ_CHECK(std::memcmp(a + r.offset, b + r.offset, r.size) == 0,
                   "unnamed bytes at " + std::to_string(r.offset) + " changed");
    }
    std::string document = read_document();
    check_numbers_applied(req.buffer.data(), document);
    reply = call(kWriteAction, QZ_HTTP_POST, &document[0], static_cast<int32_t>(document.size()));
    FUZZ_CHECK(reply.body == kReplyOk, "the read document was refused: " + reply.body);
    // The same settings, not the same bytes: a text written back leaves the bytes behind
    // its NUL as they were, and an order string may reset a text first.
    FUZZ_CHECK(read_document() == document, "the read document stored other settings: " + document);
    return 0;
}

}  // namespace lpr_fuzz

/* libFuzzer's two entry points of the write target of Record, with the names of the
 * members its refusals name and the bytes no member names. */
#define LPR_FUZZ_WRITE_TARGET(Record, readHandler, writeHandler, members, unnamed) \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                           \
        lpr_fuzz::start(readHandler, writeHandler);                                \
        return 0;                                                                  \
    }                                                                              \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {      \
        return lpr_fuzz::test_one_input<Record>(members, unnamed, data, size);     \
    }

#endif /* LPR_FUZZ_HARNESS_H */
