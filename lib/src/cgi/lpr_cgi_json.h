/*
 * The JSON toolkit of the handlers: cJSON trees held only through CJsonPtr, so that a
 * tree is freed exactly once on every way out of a handler.
 *
 * Items reached from a root (members, array elements) are borrowed pointers, valid
 * while the root's CJsonPtr lives; they are never freed by themselves. Items attached
 * to a tree are freed with it.
 */
#ifndef LPR_CGI_JSON_H
#define LPR_CGI_JSON_H

#include <cjson/cJSON.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <string>

namespace lpr {

struct CJsonDeleter {
    void operator()(cJSON* json) const {
        if (json != nullptr) {
            cJSON_Delete(json);
        }
    }
};

using CJsonPtr = std::shared_ptr<cJSON>;

namespace detail {

/* The size of every spare block: the share count block of a CJsonPtr (its table
 * pointer, two counts and the tree's address: 24 bytes on x86-64, 16 on armhf) fits. */
constexpr std::size_t kCountBlockSize = 32;

/* The count block of the last tree released, kept for the next tree; freed when the
 * library is unloaded. One slot for the process, taken and refilled atomically: threads
 * that release trees at the same moment find it full and free their blocks. */
struct SpareCountBlock {
    std::atomic<void*> block{nullptr};

    ~SpareCountBlock() { ::operator delete(block.exchange(nullptr)); }
};
inline SpareCountBlock s_spareCountBlock;

}  // namespace detail

/*
 * Where the share counts of trees come from. A CJsonPtr needs a count block beside its
 * tree; the block of the tree released last is handed to the next tree made, so a
 * handler's tree costs no allocation beyond cJSON's own while requests come one at a
 * time on a thread. The blocks are plain heap memory: any thread may take or free one.
 */
template <typename T>
struct CJsonCountAllocator {
    using value_type = T;

    CJsonCountAllocator() noexcept = default;
    template <typename U>
    CJsonCountAllocator(const CJsonCountAllocator<U>& /*other*/) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(
            sizeof(T) <= detail::kCountBlockSize && alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
            "a count block fits a spare block");
        if (n != 1) {  // shared_ptr asks for one count block; anything else is not kept
            return static_cast<T*>(::operator new(n * sizeof(T)));
        }
        void* block = detail::s_spareCountBlock.block.exchange(nullptr);
        return static_cast<T*>(block != nullptr ? block : ::operator new(detail::kCountBlockSize));
    }

    void deallocate(T* block, std::size_t n) noexcept {
        void* empty = nullptr;
        if (n != 1 || !detail::s_spareCountBlock.block.compare_exchange_strong(empty, block)) {
            ::operator delete(block);
        }
    }
};

template <typename T, typename U>
bool operator==(const CJsonCountAllocator<T>& /*a*/, const CJsonCountAllocator<U>& /*b*/) {
    return true;
}
template <typename T, typename U>
bool operator!=(const CJsonCountAllocator<T>& /*a*/, const CJsonCountAllocator<U>& /*b*/) {
    return false;
}

/* Takes ownership of json (may be null). If the share count cannot be allocated, the
 * tree is freed and std::bad_alloc passes on. */
inline CJsonPtr make_json(cJSON* json) {
    return CJsonPtr(json, CJsonDeleter(), CJsonCountAllocator<cJSON>());
}

/* Parses NUL-terminated text; the result tests false when the text is not JSON. */
inline CJsonPtr parse_json(const char* str) {
    return make_json(cJSON_Parse(str));
}

/* A new empty object; tests false only when memory runs out. */
inline CJsonPtr create_object() {
    return make_json(cJSON_CreateObject());
}

/* The printed text, unformatted unless formatted is true; empty when there is nothing
 * to print or the printer fails. The printer's buffer is released at once. */
inline std::string print_json(const CJsonPtr& json, bool formatted) {
    if (!json) {
        return std::string();
    }
    char* text = formatted ? cJSON_Print(json.get()) : cJSON_PrintUnformatted(json.get());
    std::string result = text != nullptr ? std::string(text) : std::string();
    cJSON_free(text);
    return result;
}

}  // namespace lpr

#endif /* LPR_CGI_JSON_H */
