/*
 * Shared part of the libFuzzer targets: the real library started once per process on a
 * real settings database, requests through lpr_cgi_handle, and the invariants of a write.
 * Input layout: byte 0 chooses the body length that the request reports, the rest is the
 * body; a leading blank (0x20) reports the real length, so a seed is a blank and JSON.
 */
#ifndef LPR_FUZZ_HARNESS_H
#define LPR_FUZZ_HARNESS_H

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cached_record.h"
#include "cgi/lpr_cgi.h"
#include "lpr_cgi_json.h"
#include "lpr_defs.h"

namespace lpr_fuzz {

/* The action under which start() registers the write handler. */
constexpr const char kWriteAction[] = "settings.set";

/* Starts the library on a new settings database in a private folder, with the bus
 * endpoints in another, and registers the two handlers; aborts on any failure. The
 * folders are removed at exit. */
void start(LprCgiHandler readHandler, LprCgiHandler writeHandler);

/* One reply, copied out of the host record before it was released. */
struct Reply {
    int32_t result = 0;
    int32_t code = 0;
    std::string body;
};

/* Runs one request through lpr_cgi_handle, checks the host record (body NUL-terminated
 * at bodyLen, no NUL inside) and that the release clears it. */
Reply call(const char* action, int32_t method, char* body, int32_t bodyLen);

/* Stops the process with a message, so that libFuzzer keeps the input. */
[[noreturn]] void fail(const char* file, int line, const std::string& what);

/* Bytes of a record that no member names: offset and size. */
struct ByteRange {
    size_t offset;
    size_t size;
};

/* The bytes of the cache's copy of Record. */
template <typename Record>
std::string cached_bytes() {
    const Record r = lpr_test::cached<Record>();
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

/* One input of a write target. The reply is "Empty body" exactly when the request has
 * no body, "Invalid JSON" exactly when the body does not parse, else success or the
 * invalid-parameter reply naming one of members. A refused write leaves the record as it
 * was. A stored one leaves the numbers the body named (keys looked up as the write does,
 * fractions dropped toward zero) and the unnamed bytes untouched, and its read document,
 * written back, is accepted and reads the same again: so every member holds a value the
 * write accepts. */
int test_one_input(const std::vector<std::string>& members, const std::vector<ByteRange>& unnamed,
                   std::string (*cached)(), const uint8_t* data, size_t size);

}  // namespace lpr_fuzz

#define FUZZ_CHECK(cond, what)                                                    \
    do {                                                                          \
        if (!(cond)) {                                                            \
            lpr_fuzz::fail(__FILE__, __LINE__, std::string(#cond ": ") + (what)); \
        }                                                                         \
    } while (0)

/* libFuzzer's two entry points of the write target of Record. */
#define LPR_FUZZ_WRITE_TARGET(Record, readHandler, writeHandler, members, unnamed)              \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                        \
        lpr_fuzz::start(readHandler, writeHandler);                                             \
        return 0;                                                                               \
    }                                                                                           \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {                   \
        return lpr_fuzz::test_one_input(members, unnamed, lpr_fuzz::cached_bytes<Record>, data, \
                                        size);                                                  \
    }

#endif /* LPR_FUZZ_HARNESS_H */
