/*
 * The library's request path measured against the work it cannot avoid, in one run:
 * each action through lpr_cgi_handle + lpr_cgi_resp_free of the real liblprcgi.so, and
 * beside it its floor:
 *   - a read: building the same cJSON tree from the record and printing it unformatted
 *     (cJSON_PrintUnformatted, as the actions print);
 *   - a write: parsing the same body with cJSON and sending the record on a ZeroMQ PUB
 *     socket of our own (raw libzmq, ipc endpoint in the temp folder), with the same
 *     frames the bus client puts on the wire.
 * Action and floor run alternately in every iteration, so a busy machine slows both
 * alike; "ratio" is action time / floor time. Heap allocations of the calling thread
 * are counted for both (alloc_counter.h); "min_allocs" is what the design needs: the
 * floor's allocations plus the body string (one allocation for the shared string with
 * its share count, one for its characters) and the share holder handed to the host.
 *
 * Everything lives in a temp folder: the settings database, the bus endpoints
 * (LPR_ZMQ_IPC_DIR) and the floor's endpoint. The floor's publisher has a ZeroMQ context
 * (and so an I/O thread) of its own, as the bus client has. Nobody listens during the
 * runs, so a publish ends in the calling thread for action and floor alike. With
 * LPR_BENCH_SUBSCRIBER=1 a subscriber is connected to both publishers and drained by a
 * thread each, as the settings daemon listens on a camera, and the writes are named
 * write/.../subscribed: every publish then hands the message to ZeroMQ's I/O thread, and
 * whether that thread must be woken for it (a system call and an interrupt to the other
 * CPU) depends on where the scheduler has put the threads, not on the caller, so these
 * ratios move between runs of the same binary (docs/performance.md).
 */
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "alloc_counter.h"
#include "bench_documents.h"
#include "cgi/lpr_cgi.h"
#include "lpr_cgi_cache.h"
#include "settings_table.h"

namespace {

using Clock = std::chrono::steady_clock;

// How the host registers the actions for these runs: reads for GET with the read bit,
// writes for POST with the write bit.
constexpr uint32_t kPermRead = 0x1;
constexpr uint32_t kPermWrite = 0x2;
constexpr int kMaskGet = 1 << QZ_HTTP_GET;
constexpr int kMaskPost = 1 << QZ_HTTP_POST;
constexpr const char kGetAdvanced[] = "get_lpr_advanced";
constexpr const char kSetAdvanced[] = "set_lpr_advanced";
constexpr const char kGetCount[] = "get_vehicle_count";
constexpr const char kSetCount[] = "set_vehicle_count";
constexpr const char kEmpty[] = "bench_empty";
constexpr const char kReplyOk[] = "{\"code\":200,\"msg\":\"OK\"}";

// Allocations every reply with a body needs beyond the JSON work: the shared string
// (object and share count in one block), its characters, and the share holder.
constexpr uint64_t kReplyAllocs = 3;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "lpr_bench: %s\n", what.c_str());
    std::exit(1);
}

/* ---- ZeroMQ handles ---- */

struct ZmqCtxDeleter {
    void operator()(void* ctx) const { zmq_ctx_term(ctx); }
};
struct ZmqSocketDeleter {
    void operator()(void* sock) const { zmq_close(sock); }
};
using ZmqCtx = std::unique_ptr<void, ZmqCtxDeleter>;
using ZmqSocket = std::unique_ptr<void, ZmqSocketDeleter>;

ZmqSocket make_socket(void* ctx, int type) {
    ZmqSocket sock(zmq_socket(ctx, type));
    if (!sock) {
        die(std::string("zmq_socket: ") + zmq_strerror(zmq_errno()));
    }
    int linger = 0;
    zmq_setsockopt(sock.get(), ZMQ_LINGER, &linger, sizeof linger);
    return sock;
}

using Message = std::vector<std::string>;

/* One whole multipart message, or an empty one after timeoutMs without. */
Message receive_message(void* sock, int timeoutMs) {
    zmq_setsockopt(sock, ZMQ_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
    Message frames;
    int more = 1;
    while (more != 0) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, sock, 0) < 0) {
            zmq_msg_close(&msg);
            return Message();
        }
        frames.emplace_back(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        more = zmq_msg_more(&msg);
        zmq_msg_close(&msg);
    }
    return frames;
}

/* A subscriber to every topic of one endpoint, read by its own thread while running. */
class Drain {
  public:
    Drain(void* ctx, const std::string& endpoint) : m_sock(make_socket(ctx, ZMQ_SUB)) {
        zmq_setsockopt(m_sock.get(), ZMQ_SUBSCRIBE, "", 0);
        if (zmq_connect(m_sock.get(), endpoint.c_str()) != 0) {
            die("cannot connect to " + endpoint);
        }
    }
    ~Drain() { stop(); }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;

    void* socket() const { return m_sock.get(); }

    void start() {
        m_thread = std::thread([this] {
            while (!m_stop.load(std::memory_order_relaxed)) {
                receive_message(m_sock.get(), 50);
            }
        });
    }

    void stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    ZmqSocket m_sock;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/* Standard output goes to /dev/null while it lives: the library logs start-up there. */
class QuietStdout {
  public:
    QuietStdout() : m_saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int m_saved;
};

/* ---- The process under test ---- */

struct Env {
    std::filesystem::path dir;
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    std::string advancedDoc;  // the read document, also the write body
    std::string countDoc;
    bool subscriber = false;  // LPR_BENCH_SUBSCRIBER=1
    ZmqCtx floorCtx;
    ZmqCtx drainCtx;
    ZmqSocket floorPub;
    std::unique_ptr<Drain> libraryDrain;
    std::unique_ptr<Drain> floorDrain;
    Message countFrames;  // the bus client's frames for a vehicle-count record
    Message advancedFrames;
    const settings::Document* advancedTable = nullptr;  // the writes' members
    const settings::Document* countTable = nullptr;
};

Env* g_env = nullptr;

int32_t empty_handler(const LprCgiCtx* /*ctx*/, LprCgiRespInternal* /*resp*/) {
    return 0;
}

LprCgiCtx make_ctx(const char* action, int32_t method, uint32_t perm, std::string* body) {
    LprCgiCtx ctx;
    ctx.action = action;
    ctx.method = method;
    ctx.body = body != nullptr ? body->data() : nullptr;
    ctx.bodyLen = body != nullptr ? static_cast<int32_t>(body->size()) : 0;
    ctx.lprPermission = perm;
    ctx.userId = "admin";
    ctx.remoteIp = "127.0.0.1";
    return ctx;
}

/* One request as a host makes it: handle, read the reply, free it. */
int request(const LprCgiCtx& ctx, std::string* reply = nullptr, int* code = nullptr) {
    LprCgiResp resp;
    int rc = lpr_cgi_handle(&ctx, &resp);
    benchmark::DoNotOptimize(resp.body);
    if (reply != nullptr) {
        reply->assign(resp.body != nullptr ? resp.body : "", static_cast<size_t>(resp.bodyLen));
    }
    if (code != nullptr) {
        *code = resp.code;
    }
    lpr_cgi_resp_free(&resp);
    return rc;
}

std::string print_and_free(cJSON* tree) {
    char* text = cJSON_PrintUnformatted(tree);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    cJSON_Delete(tree);
    return out;
}

/* The measured request. Kept out of line and called only by the benchmarks, so that a
 * profile (scripts/bench.sh instructions) sees exactly the measured calls under it. */
__attribute__((noinline)) void run_action(const LprCgiCtx& ctx) {
    LprCgiResp resp;
    int rc = lpr_cgi_handle(&ctx, &resp);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(resp.body);
    lpr_cgi_resp_free(&resp);
}

/* ---- Floors ---- */

__attribute__((noinline)) void floor_read_advanced() {
    cJSON* tree = lpr_bench::build_advanced_document(g_env->adv);
    char* text = cJSON_PrintUnformatted(tree);
    benchmark::DoNotOptimize(text);
    cJSON_free(text);
    cJSON_Delete(tree);
}

__attribute__((noinline)) void floor_read_count() {
    cJSON* tree = lpr_bench::build_vehicle_count_document(g_env->vcs);
    char* text = cJSON_PrintUnformatted(tree);
    benchmark::DoNotOptimize(text);
    cJSON_free(text);
    cJSON_Delete(tree);
}

/* The frames of frames but the last, then the record: what the bus client sends. */
void send_record(const Message& frames, const void* record, size_t size) {
    void* pub = g_env->floorPub.get();
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        zmq_send(pub, frames[i].data(), frames[i].size(), ZMQ_SNDMORE);
    }
    zmq_send(pub, record, size, 0);
}

/*
 * The lookups a write is bound to: its contract has it find every member of its table
 * with cJSON_GetObjectItem (case-insensitive, first of duplicates), one call per key in
 * the table's order, and inside a nested object or the elements of a list the members it
 * reads there. The keys come from the settings table (tools/common/settings_table.h),
 * whose rows are the write's members in its order: every row, and in a list's elements
 * every field but the position (the write does not read "index"), in at most the list's
 * most elements. A key's cost is a walk over the members before it, so the order of the
 * calls does not matter; set_up checks that every lookup finds its member in the body.
 */
struct Lookups {
    int made = 0;
    int found = 0;
};

void look_up(const cJSON* object, const settings::Member* members, size_t count, Lookups* lookups) {
    for (size_t i = 0; i < count; ++i) {
        const settings::Member& m = members[i];
        if (m.isPosition) {
            continue;
        }
        const cJSON* item = cJSON_GetObjectItem(object, m.name);
        benchmark::DoNotOptimize(item);
        ++lookups->made;
        if (item == nullptr) {
            continue;
        }
        ++lookups->found;
        if (m.type == settings::Type::kObject) {
            look_up(item, m.fields, m.fieldCount, lookups);
        } else if (m.type == settings::Type::kArray) {
            size_t elements = 0;
            const cJSON* element = nullptr;
            cJSON_ArrayForEach(element, item) {
                if (elements++ == m.maxItems) {
                    break;
                }
                look_up(element, m.fields, m.fieldCount, lookups);
            }
        }
    }
}

Lookups look_up_members(const cJSON* root, const settings::Document* table) {
    Lookups lookups;
    look_up(root, table->members, table->memberCount, &lookups);
    return lookups;
}

/* The parse floor: the body parsed and freed, the record sent. With a table, the floor
 * also looks the members up as the write must (the verdict's floor). */
void floor_write(const std::string& body, const Message& frames, const void* record, size_t size,
                 const settings::Document* table) {
    cJSON* tree = cJSON_Parse(body.c_str());
    benchmark::DoNotOptimize(tree);
    if (table != nullptr) {
        benchmark::DoNotOptimize(look_up_members(tree, table));
    }
    cJSON_Delete(tree);
    send_record(frames, record, size);
}

__attribute__((noinline)) void floor_write_advanced() {
    floor_write(g_env->advancedDoc, g_env->advancedFrames, &g_env->adv, sizeof g_env->adv,
                g_env->advancedTable);
}

__attribute__((noinline)) void floor_write_count() {
    floor_write(g_env->countDoc, g_env->countFrames, &g_env->vcs, sizeof g_env->vcs,
                g_env->countTable);
}

__attribute__((noinline)) void parse_floor_write_advanced() {
    floor_write(g_env->advancedDoc, g_env->advancedFrames, &g_env->adv, sizeof g_env->adv, nullptr);
}

__attribute__((noinline)) void parse_floor_write_count() {
    floor_write(g_env->countDoc, g_env->countFrames, &g_env->vcs, sizeof g_env->vcs, nullptr);
}

/* ---- Measurement ---- */

template <typename Fn>
Clock::duration timed(Fn& fn, uint64_t* allocs) {
    const uint64_t before = lpr_bench::alloc_stats().allocs;
    const Clock::time_point t0 = Clock::now();
    fn();
    const Clock::time_point t1 = Clock::now();
    *allocs += lpr_bench::alloc_stats().allocs - before;
    return t1 - t0;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double>& samples) {
    if (samples.empty()) {
        return 0;
    }
    auto mid = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), mid, samples.end());
    return *mid;
}

/* Runs action, floor and (for the writes) the parse floor in turn, the one that goes
 * first rotating from iteration to iteration; the reported time is the action's.
 * "ratio" compares the means, "ratio_med" the medians of the single requests, which a
 * request preempted by another process on a busy machine does not move; "parse_ratio_med"
 * is the action's median against the parse floor's. */
void against_floor(benchmark::State& state, const std::function<void()>& action, void (*floor)(),
                   void (*parseFloor)() = nullptr) {
    struct Side {
        std::function<void()> run;
        std::vector<double> samples;
        uint64_t allocs = 0;
    };
    std::vector<Side> sides;
    sides.push_back(Side{action, {}, 0});
    sides.push_back(Side{floor, {}, 0});
    if (parseFloor != nullptr) {
        sides.push_back(Side{parseFloor, {}, 0});
    }
    for (Side& side : sides) {
        side.samples.reserve(static_cast<size_t>(state.max_iterations));
    }
    size_t first = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < sides.size(); ++k) {
            Side& side = sides[(first + k) % sides.size()];
            side.samples.push_back(seconds(timed(side.run, &side.allocs)));
        }
        first = (first + 1) % sides.size();
        state.SetIterationTime(sides[0].samples.back());
    }
    const double n = static_cast<double>(state.iterations());
    auto total = [](const Side& side) {
        double sum = 0;
        for (double sample : side.samples) {
            sum += sample;
        }
        return sum;
    };
    const double actionTotal = total(sides[0]);
    const double floorTotal = total(sides[1]);
    const double actionMedian = median(sides[0].samples);
    const double floorMedian = median(sides[1].samples);
    using benchmark::Counter;
    state.counters["floor_us"] = Counter(floorTotal * 1e6 / n);
    state.counters["ratio"] = Counter(actionTotal / floorTotal);
    state.counters["med_us"] = Counter(actionMedian * 1e6);
    state.counters["floor_med_us"] = Counter(floorMedian * 1e6);
    state.counters["ratio_med"] = Counter(actionMedian / floorMedian);
    if (parseFloor != nullptr) {
        const double parseMedian = median(sides[2].samples);
        state.counters["parse_floor_med_us"] = Counter(parseMedian * 1e6);
        state.counters["parse_ratio_med"] = Counter(actionMedian / parseMedian);
    }
    const double floorAllocs = static_cast<double>(sides[1].allocs) / n;
    state.counters["allocs"] = Counter(static_cast<double>(sides[0].allocs) / n);
    state.counters["floor_allocs"] = Counter(floorAllocs);
    state.counters["min_allocs"] = Counter(floorAllocs + kReplyAllocs);
}

/* A request without a floor: dispatch refusals and the empty handler. */
void alone(benchmark::State& state, LprCgiCtx ctx, uint64_t minAllocs) {
    const uint64_t before = lpr_bench::alloc_stats().allocs;
    for (auto _ : state) {
        run_action(ctx);
    }
    const double n = static_cast<double>(state.iterations());
    using benchmark::Counter;
    state.counters["allocs"] =
        Counter(static_cast<double>(lpr_bench::alloc_stats().allocs - before) / n);
    state.counters["min_allocs"] = Counter(static_cast<double>(minAllocs));
}

/* ---- Set-up and checks ---- */

void check_read(const char* action, const std::string& expected) {
    std::string reply;
    int code = 0;
    int rc = request(make_ctx(action, QZ_HTTP_GET, kPermRead, nullptr), &reply, &code);
    if (rc != 0 || code != 200 || reply != expected) {
        die(std::string(action) + " answered rc " + std::to_string(rc) + " code " +
            std::to_string(code) + " with\n  " + reply + "\nexpected the floor's\n  " + expected);
    }
}

/* Writes body through the action until the subscriber sees the record (the first
 * messages after connecting may be lost); returns the frames seen. */
Message check_write(const char* action, std::string body, const void* record, size_t size) {
    const std::string expected(static_cast<const char*>(record), size);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string reply;
        int code = 0;
        int rc = request(make_ctx(action, QZ_HTTP_POST, kPermWrite, &body), &reply, &code);
        if (rc != 0 || code != 200 || reply != kReplyOk) {
            die(std::string(action) + " answered rc " + std::to_string(rc) + " code " +
                std::to_string(code) + " with " + reply);
        }
        Message frames = receive_message(g_env->libraryDrain->socket(), 50);
        if (!frames.empty()) {
            if (frames.back() != expected) {
                die(std::string(action) + " published a payload that is not the record");
            }
            return frames;
        }
    }
    die(std::string(action) + ": nothing arrived on the bus");
}

void check_floor_bus(const Message& frames, const void* record, size_t size) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        send_record(frames, record, size);
        Message got = receive_message(g_env->floorDrain->socket(), 50);
        if (!got.empty()) {
            if (got.size() != frames.size() ||
                got.back() != std::string(static_cast<const char*>(record), size)) {
                die("the floor's message differs from the bus client's");
            }
            return;
        }
    }
    die("the floor's publisher is not reachable");
}

/* The members of the write of action, from the settings table; every lookup of its floor
 * must find its member in the body it sends. */
const settings::Document* write_table(const char* action, const std::string& body) {
    const settings::Document* table = settings::document_for_action(action);
    if (table == nullptr) {
        die(std::string("no settings table for ") + action);
    }
    cJSON* tree = cJSON_Parse(body.c_str());
    const Lookups lookups = look_up_members(tree, table);
    cJSON_Delete(tree);
    if (lookups.found != lookups.made) {
        die(std::string(action) + ": the floor's lookups found " + std::to_string(lookups.found) +
            " of " + std::to_string(lookups.made) + " members in the body");
    }
    return table;
}

void set_up(Env& env) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lpr-bench-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        die("mkdtemp failed");
    }
    env.dir = buf.data();
    setenv("LPR_ZMQ_IPC_DIR", env.dir.c_str(), 1);

    const std::string db = (env.dir / "settings.db").string();
    if (Database::create_default(db.c_str()) != 0) {
        die("cannot create the settings database " + db);
    }
    {
        QuietStdout quiet;
        if (lpr_cgi_init(db.c_str()) != 0) {
            die("lpr_cgi_init failed");
        }
    }
    lpr_cgi_register_action(kGetAdvanced, get_lpr_advanced_handler, kPermRead, kMaskGet);
    lpr_cgi_register_action(kSetAdvanced, set_lpr_advanced_handler, kPermWrite, kMaskPost);
    lpr_cgi_register_action(kGetCount, get_vehicle_count_handler, kPermRead, kMaskGet);
    lpr_cgi_register_action(kSetCount, set_vehicle_count_handler, kPermWrite, kMaskPost);
    lpr_cgi_register_action(kEmpty, empty_handler, kPermRead, kMaskGet);

    env.adv = lpr_bench::realistic_advanced();
    env.vcs = lpr_bench::realistic_vehicle_count();
    lpr::LprCgiCache::get_instance().set_lpr_advanced(env.adv);
    lpr::LprCgiCache::get_instance().set_vehicle_count_setting(env.vcs);
    env.advancedDoc = print_and_free(lpr_bench::build_advanced_document(env.adv));
    env.countDoc = print_and_free(lpr_bench::build_vehicle_count_document(env.vcs));

    env.floorCtx.reset(zmq_ctx_new());
    env.drainCtx.reset(zmq_ctx_new());
    env.floorPub = make_socket(env.floorCtx.get(), ZMQ_PUB);
    const std::string floorEndpoint = "ipc://" + (env.dir / "floor_pub.ipc").string();
    if (zmq_bind(env.floorPub.get(), floorEndpoint.c_str()) != 0) {
        die("cannot bind " + floorEndpoint);
    }
    env.libraryDrain =
        std::make_unique<Drain>(env.drainCtx.get(), "ipc://" + (env.dir / "ws_pub.ipc").string());
    env.floorDrain = std::make_unique<Drain>(env.drainCtx.get(), floorEndpoint);

    // The figures mean something only if the action does what its floor does.
    check_read(kGetAdvanced, env.advancedDoc);
    check_read(kGetCount, env.countDoc);
    env.advancedFrames = check_write(kSetAdvanced, env.advancedDoc, &env.adv, sizeof env.adv);
    env.countFrames = check_write(kSetCount, env.countDoc, &env.vcs, sizeof env.vcs);
    check_floor_bus(env.advancedFrames, &env.adv, sizeof env.adv);
    check_floor_bus(env.countFrames, &env.vcs, sizeof env.vcs);
    env.advancedTable = write_table(kSetAdvanced, env.advancedDoc);
    env.countTable = write_table(kSetCount, env.countDoc);
    // Sending the read document back leaves the cached records as they were.
    check_read(kGetAdvanced, env.advancedDoc);
    check_read(kGetCount, env.countDoc);

    const char* subscriber = std::getenv("LPR_BENCH_SUBSCRIBER");
    env.subscriber = subscriber != nullptr && std::strcmp(subscriber, "1") == 0;
    if (env.subscriber) {
        env.libraryDrain->start();
        env.floorDrain->start();
    } else {
        env.libraryDrain.reset();
        env.floorDrain.reset();
        // Both publishers notice the closed connections on their I/O threads.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

void tear_down(Env& env) {
    env.libraryDrain.reset();
    env.floorDrain.reset();
    env.floorPub.reset();
    env.floorCtx.reset();
    env.drainCtx.reset();
    {
        QuietStdout quiet;
        lpr_cgi_uninit();
    }
    std::error_code ec;
    std::filesystem::remove_all(env.dir, ec);
}

void register_benchmarks(Env& env) {
    using benchmark::RegisterBenchmark;
    static std::string advancedBody = env.advancedDoc;
    static std::string countBody = env.countDoc;
    const LprCgiCtx getAdvanced = make_ctx(kGetAdvanced, QZ_HTTP_GET, kPermRead, nullptr);
    const LprCgiCtx getCount = make_ctx(kGetCount, QZ_HTTP_GET, kPermRead, nullptr);
    const LprCgiCtx setAdvanced = make_ctx(kSetAdvanced, QZ_HTTP_POST, kPermWrite, &advancedBody);
    const LprCgiCtx setCount = make_ctx(kSetCount, QZ_HTTP_POST, kPermWrite, &countBody);

    auto pair = [](const char* name, LprCgiCtx ctx, void (*floor)(),
                   void (*parseFloor)() = nullptr) {
        RegisterBenchmark(name,
                          [ctx, floor, parseFloor](benchmark::State& state) {
                              against_floor(
                                  state, [&ctx] { run_action(ctx); }, floor, parseFloor);
                          })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    };
    pair("read/advanced", getAdvanced, floor_read_advanced);
    pair("read/vehicle_count", getCount, floor_read_count);
    static const std::string writeAdvanced =
        std::string("write/advanced") + (env.subscriber ? "/subscribed" : "");
    static const std::string writeCount =
        std::string("write/vehicle_count") + (env.subscriber ? "/subscribed" : "");
    pair(writeAdvanced.c_str(), setAdvanced, floor_write_advanced, parse_floor_write_advanced);
    pair(writeCount.c_str(), setCount, floor_write_count, parse_floor_write_count);

    auto single = [](const char* name, LprCgiCtx ctx, uint64_t minAllocs) {
        RegisterBenchmark(name, [ctx, minAllocs](benchmark::State& state) {
            alone(state, ctx, minAllocs);
        })->Unit(benchmark::kNanosecond);
    };
    // A reader asking to write: refused on permission, before the method test.
    single("refuse/403", make_ctx(kSetAdvanced, QZ_HTTP_POST, kPermRead, &advancedBody),
           kReplyAllocs);
    single("refuse/405", make_ctx(kGetCount, QZ_HTTP_POST, kPermRead, nullptr), kReplyAllocs);
    // Not registered: the whole registry is walked, nothing is allocated.
    single("refuse/unknown_action", make_ctx("get_lpr_unknown", QZ_HTTP_GET, kPermRead, nullptr),
           0);
    // Dispatch to a handler that sets nothing: the framework's own cost.
    single("dispatch/empty_handler", make_ctx(kEmpty, QZ_HTTP_GET, kPermRead, nullptr), 0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Env env;
    g_env = &env;
    set_up(env);
    register_benchmarks(env);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tear_down(env);
    return 0;
}
