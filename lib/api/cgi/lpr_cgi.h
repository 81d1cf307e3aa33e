/*
 * liblprcgi: the JSON configuration library of the LPR camera's web server.
 *
 * Calling order expected of the host:
 *   lpr_cgi_init(dbPath);
 *   lpr_cgi_register_action(name, handler, requiredPerm, methodMask) per action;
 *   per request: fill an LprCgiCtx, lpr_cgi_handle(&ctx, &resp), send resp.code and
 *                resp.body, lpr_cgi_resp_free(&resp);
 *   lpr_cgi_uninit().
 * lpr_cgi_init, lpr_cgi_register_action and lpr_cgi_uninit are never called while a
 * request is being dispatched; lpr_cgi_handle may run on several threads at once.
 */
#ifndef LPR_CGI_H
#define LPR_CGI_H

#include <stdint.h>

#include "lpr_defs.h"

#define LPR_CGI_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* The request. The host owns it and every text it points to for one lpr_cgi_handle
 * call; the library never writes into it and keeps no pointer into it afterwards. */
typedef struct LprCgiCtx {
    const char* action;     /* action name, matched byte for byte */
    int32_t method;         /* an HTTP_METHODS value */
    char* body;             /* NUL-terminated request body, may be null */
    int32_t bodyLen;        /* length of body; below 1 means no body */
    uint32_t lprPermission; /* permission bits of the requesting user */
    const char* userId;     /* not read by the library */
    const char* remoteIp;   /* not read by the library */
} LprCgiCtx;

/* The reply. The host owns the record; the library owns the body until
 * lpr_cgi_resp_free. body is NUL-terminated and bodyLen excludes the NUL. */
typedef struct LprCgiResp {
    int32_t code;    /* HTTP status of the reply */
    char* body;      /* reply body or null; never freed or resized by the host */
    int32_t bodyLen; /* bytes of body without the NUL; 0 without a body */
    void* _priv;     /* opaque owner of the body storage */
} LprCgiResp;

/* Starts the library: 0 started (or already started), -1 the settings database did
 * not initialise. */
LPR_CGI_API int32_t lpr_cgi_init(const char* dbPath);

/* Stops the library and forgets every registered action. Always 0. */
LPR_CGI_API int32_t lpr_cgi_uninit(void);

/* Dispatches one request: -1 not started or a null argument (resp untouched); 1 no
 * such action (resp cleared); 0 refused with 403 or 405; otherwise the handler's
 * result. Every resp that received a body must be passed to lpr_cgi_resp_free. */
LPR_CGI_API int32_t lpr_cgi_handle(const LprCgiCtx* ctx, LprCgiResp* resp);

/* Releases the body of a reply and clears the record. Harmless on a cleared record,
 * on a record without body and on null. */
LPR_CGI_API void lpr_cgi_resp_free(LprCgiResp* resp);

/* Writes the registered action names as a JSON array of strings into resp, cut to
 * len - 1 characters and always NUL-terminated. 0 written; -1 null buffer or len < 1. */
LPR_CGI_API int32_t lpr_cgi_list_actions(char* resp, int len);

#ifdef __cplusplus
} /* extern "C" */

/* The handler-side reply; handlers fill it, the dispatcher hands it to the host. */
struct LprCgiRespInternal;

/* A handler: runs one action, leaves its reply in resp, and returns a result that
 * lpr_cgi_handle passes back to the host unchanged. */
typedef int32_t (*LprCgiHandler)(const LprCgiCtx* ctx, LprCgiRespInternal* resp);

/* Registers an action. The name is held by pointer, not copied: it must stay valid
 * and unchanged while registered. 0 registered; -1 null name or handler, or a name
 * already registered. */
LPR_CGI_API int32_t lpr_cgi_register_action(const char* action, LprCgiHandler handler,
                                            uint32_t requiredPerm, int methodMask);

/* The settings actions, for the host to register under names of its own. Reads
 * answer 200 with the settings document; writes take a (partial) settings document
 * and answer with the reply envelope {"code":..,"msg":..}. */
LPR_CGI_API int32_t get_lpr_advanced_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp);
LPR_CGI_API int32_t set_lpr_advanced_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp);
LPR_CGI_API int32_t get_vehicle_count_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp);
LPR_CGI_API int32_t set_vehicle_count_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp);

/* Kept for hosts that call it: does nothing. */
LPR_CGI_API void load_lpr_param(char* sBuffer, int buffSize);

#endif /* __cplusplus */

#endif /* LPR_CGI_H */
