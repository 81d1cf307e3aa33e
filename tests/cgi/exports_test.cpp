// liblprcgi.so exports exactly its interface: the host entry points under plain C
// names, the rest under C++ names, and nothing else (no cJSON, no std templates).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> exported_symbols(const std::string& path) {
    std::set<std::string> names;
    // Defined dynamic symbols, demangled.
    std::string cmd = "nm -D --defined-only -C --format=posix '" + path + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        // "<name> <type> <value> [<size>]": the name may hold blanks when demangled;
        // the type letter is the first single character field after the name.
        std::size_t pos = 0;
        while ((pos = text.find(' ', pos)) != std::string::npos) {
            if (pos + 2 < text.size() && text[pos + 2] == ' ' && std::isalpha(text[pos + 1])) {
                names.insert(text.substr(0, pos));
                break;
            }
            ++pos;
        }
    }
    pclose(pipe);
    return names;
}

}  // namespace

TEST(Exports, library_exports_exactly_its_interface) {
    std::set<std::string> expected = {
        "lpr_cgi_init",
        "lpr_cgi_uninit",
        "lpr_cgi_handle",
        "lpr_cgi_resp_free",
        "lpr_cgi_list_actions",
        "lpr_cgi_register_action(char const*, int (*)(LprCgiCtx const*, LprCgiRespInternal*), "
        "unsigned int, int)",
        "load_lpr_param(char*, int)",
        "lpr_cgi_ws_sub_init(char const*)",
        "lpr_cgi_ws_sub_uninit()",
        "lpr::LprCgiCache::get_instance()",
        "lpr::LprCgiCache::load(char const*)",
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
    std::set<std::string> actual = exported_symbols(LPRCGI_SO);
    ASSERT_FALSE(actual.empty()) << "nm found no symbols in " << LPRCGI_SO;
    for (const std::string& name : actual) {
        EXPECT_TRUE(expected.count(name) == 1) << "unexpected export: " << name;
    }
    for (const std::string& name : expected) {
        EXPECT_TRUE(actual.count(name) == 1) << "missing export: " << name;
    }
}
