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

/* The characters of the last reply body released on this thread, kept for the next text
 * printed here. A body outlives its handler (the host frees it after sending it), so its
 * block is released after the handler's tree: given back to the C library, it would
 * merge into the free space at the top of the heap, and the allocator would then gather
 * up every small block the tree left, only for the next tree to split them again. Bodies
 * above kSpareBodyLimit bytes are not kept. */
constexpr std::size_t kSpareBodyLimit = 64 * 1024;
inline thread_local std::string t_spareBody;

}  // namespace detail

/* The allocator of a reply body's shared string (object and share count in one block, as
 * make_shared makes them): when the body goes, its characters become this thread's spare
 * if they are larger than the spare it holds. */
template <typename T>
struct BodyAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = BodyAllocator<U>;
    };
    BodyAllocator() noexcept = default;
    template <typename U>
    BodyAllocator(const BodyAllocator<U>& /*other*/) noexcept {}

    void destroy(std::string* body) noexcept {
        std::string& spare = detail::t_spareBody;
        if (body->capacity() > spare.capacity() && body->capacity() <= detail::kSpareBodyLimit) {
            spare.swap(*body);
        }
        body->~basic_string();
    }
};

/* A new reply body holding text's characters (taken over, not copied). */
inline std::shared_ptr<std::string> make_body(std::string&& text) {
    return std::allocate_shared<std::string>(BodyAllocator<std::string>(), std::move(text));
}

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
 * to print or the printer fails. The printer's buffer is released at once; the copy is
 * made in this thread's spare body characters, if any. */
inline std::string print_json(const CJsonPtr& json, bool formatted) {
    std::string result;
    if (!json) {
        return result;
    }
    char* text = formatted ? cJSON_Print(json.get()) : cJSON_PrintUnformatted(json.get());
    if (text != nullptr) {
        result.swap(detail::t_spareBody);
        result.assign(text);
    }
    cJSON_free(text);
    return result;
}

}  // namespace lpr

#endif /* LPR_CGI_JSON_H */
