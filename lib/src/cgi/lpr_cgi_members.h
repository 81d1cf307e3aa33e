/*
 * What the two settings groups' actions share: opening a write (the body's presence and
 * its parse), reading a request member as the writes read it, adding a record's text to
 * a document, and closing a read with the printed document.
 *
 * Header-only, internal to the library; every function works on the caller's thread and
 * on the caller's trees.
 */
#ifndef LPR_CGI_MEMBERS_H
#define LPR_CGI_MEMBERS_H

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cgi/lpr_cgi.h"
#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"

namespace lpr {

/* A subtree not yet attached to the document; freed unless its attachment succeeded. */
using PendingJson = std::unique_ptr<cJSON, CJsonDeleter>;

/* Attaches child under key (to an object), or as the next element (key null, to an
 * array); the child is freed when it cannot be attached. */
inline void attach(cJSON* parent, const char* key, PendingJson child) {
    if (!child) {
        return;
    }
    const bool attached = key != nullptr ? cJSON_AddItemToObject(parent, key, child.get())
                                         : cJSON_AddItemToArray(parent, child.get());
    if (attached) {
        child.release();  // now part of the document
    }
}

/* Adds key with the text of a record field of size bytes. A text without a NUL inside its
 * array cannot come from a write; should the database have left one, the text is taken
 * up to the end of the array and never beyond. A NUL in the last byte (a record the
 * database filled, a text of full length) settles that without a scan. */
inline void add_field_text(cJSON* object, const char* key, const char* field, size_t size) {
    if (field[size - 1] == '\0' || strnlen(field, size) < size) {
        cJSON_AddStringToObject(object, key, field);
        return;
    }
    cJSON_AddStringToObject(object, key, std::string(field, size).c_str());
}

/* A request member that a text member takes. */
inline bool is_text(const cJSON* item) {
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

/* The value a number member is tested on: cJSON's integer value (the fraction dropped
 * toward zero, saturated at the 32-bit limits) taken as unsigned, so that a negative
 * value is always above the bound. */
inline uint32_t unsigned_value(const cJSON* item) {
    return static_cast<uint32_t>(item->valueint);
}

/* The body of a write, parsed; null when there is none or it is not JSON, after the 400
 * reply has been written. The body is read up to its NUL; text after the first JSON value
 * is not looked at. */
inline CJsonPtr parse_write_body(const LprCgiCtx* ctx, LprCgiRespInternal* resp) {
    if (ctx == nullptr || ctx->body == nullptr || ctx->bodyLen <= 0) {
        return_error(resp, 400, "Empty body");
        return nullptr;
    }
    CJsonPtr root = parse_json(ctx->body);
    if (!root) {
        return_error(resp, 400, "Invalid JSON");
    }
    return root;
}

/* A read's reply: 200 with the document printed unformatted. */
inline int32_t reply_document(LprCgiRespInternal* resp, const CJsonPtr& root) {
    resp->m_code = 200;
    resp->set_body(print_json(root, false));
    return 0;
}

}  // namespace lpr

#endif /* LPR_CGI_MEMBERS_H */
