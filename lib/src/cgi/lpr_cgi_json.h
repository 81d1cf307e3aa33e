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

#include <memory>
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

/* Takes ownership of json (may be null). If the share count cannot be allocated, the
 * tree is freed and std::bad_alloc passes on. */
inline CJsonPtr make_json(cJSON* json) {
    return CJsonPtr(json, CJsonDeleter());
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
