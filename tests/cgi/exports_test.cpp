// liblprcgi.so exports exactly its interface: the host entry points under plain C
// names, the rest under C++ names, and nothing else (no cJSON, no std templates).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace {

// Defined dynamic symbols, demangled, one name a line.
std::set<std::string> exported_symbols(const std::string& path) {
    std::set<std::string> names;
    const std::string cmd = "nm -D --defined-only -C --format=just-symbols '" + path + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        names.insert(std::string(line, std::strcspn(line, "\n")));
    }
    return names;
}

}  // namespace

TEST(Exports, library_exports_exactly_its_interface) {
    // clang-format off
    const std::set<std::string> expected = {
        "lpr_cgi_init", "lpr_cgi_uninit", "lpr_cgi_handle", "lpr_cgi_resp_free",
        "lpr_cgi_list_actions", "load_lpr_param(char*, int)",
        "lpr_cgi_register_action(char const*, int (*)(LprCgiCtx const*, LprCgiRespInternal*), "
        "unsigned int, int)",
        "lpr_cgi_ws_sub_init(char const*)", "lpr_cgi_ws_sub_uninit()",
        "lpr::LprCgiCache::get_instance()", "lpr::LprCgiCache::load(char const*)",
        "lpr::LprCgiCache::lock()",
        "lpr::LprCgiCache::set_lpr_advanced(lpr_advanced_s const&)",
        "lpr::LprCgiCache::get_lpr_advanced(lpr_advanced_s&)",
        "lpr::LprCgiCache::set_vehicle_count_setting(VehicleCountSetting const&)",
        "lpr::LprCgiCache::get_vehicle_count_setting(VehicleCountSetting&)",
        "get_lpr_advanced_handler(LprCgiCtx const*, LprCgiRespInternal*)",
        "set_lpr_advanced_handler(LprCgiCtx const*, LprCgiRespInternal*)",
        "get_vehicle_count_handler(LprCgiCtx const*, LprCgiRespInternal*)",
        "set_vehicle_count_handler(LprCgiCtx const*, LprCgiRespInternal*)",
    };
    // clang-format on
    EXPECT_EQ(exported_symbols(LPRCGI_SO), expected);
}
