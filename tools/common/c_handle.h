/*
 * The programs' one way to own what a C library hands out: a std::unique_ptr that calls the
 * library's own release function, once, on every way out, and never on null; for example
 * CHandle<cJSON, cJSON_Delete> or CHandle<MHD_Daemon, MHD_stop_daemon>.
 */
#ifndef LPR_TOOLS_C_HANDLE_H
#define LPR_TOOLS_C_HANDLE_H

#include <memory>

namespace tools {

template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T* handle) const {
        Release(handle);
    }
};

template <typename T, auto Release>
using CHandle = std::unique_ptr<T, ReleaseWith<Release>>;

}  // namespace tools

#endif /* LPR_TOOLS_C_HANDLE_H */
