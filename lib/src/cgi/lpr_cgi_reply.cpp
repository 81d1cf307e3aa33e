#include <string>
#include <utility>

#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"

namespace lpr {

int return_error(LprCgiRespInternal* resp, int code, const char* msg) {
    CJsonPtr root = create_object();
    if (root) {
        cJSON_AddNumberToObject(root.get(), "code", code);
        cJSON_AddStringToObject(root.get(), "msg", msg);
    }
    std::string text = print_json(root, false);
    resp->m_code = code;
    resp->set_body(std::move(text));
    return 0;
}

int return_invalid_param(LprCgiRespInternal* resp, const char* fieldName) {
    std::string message = "Invalid parameter: ";
    message += fieldName;
    return return_error(resp, 400, message.c_str());
}

int return_ok(LprCgiRespInternal* resp) {
    resp->m_code = 200;
    resp->set_body_literal(kReplyOk);
    return 0;
}

}  // namespace lpr
