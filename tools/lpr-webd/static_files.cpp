#include "static_files.h"

#include <cstring>

namespace webd {
namespace {

/* By the name's extension; the build embeds only these kinds. */
const char* content_type(const char* name) {
    const char* dot = std::strrchr(name, '.');
    const std::string ext = dot != nullptr ? dot + 1 : "";
    if (ext == "html") {
        return "text/html; charset=utf-8";
    }
    if (ext == "css") {
        return "text/css; charset=utf-8";
    }
    if (ext == "js") {
        return "text/javascript; charset=utf-8";
    }
    return "application/octet-stream";
}

/* The page loads nothing but its own files and the JSON API: no inline script or style,
 * no other origin, no frames around it (a settings page in a hidden frame could be
 * clicked by another site), no form posts anywhere. */
const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; form-action 'none'; frame-ancestors 'none'; base-uri 'none'";

/* Whether an If-None-Match value names etag: a list of quoted tags, weak ones
 * ("W/...") compared by their tag as RFC 9110 says for GET, or "*". */
bool names_etag(const char* ifNoneMatch, const std::string& etag) {
    if (ifNoneMatch == nullptr) {
        return false;
    }
    const std::string value = ifNoneMatch;
    const size_t first = value.find_first_not_of(" \t");
    return (first != std::string::npos && value[first] == '*') ||
           value.find(etag) != std::string::npos;
}

}  // namespace

const EmbeddedFile* find_page_file(const std::string& path) {
    // The page has one URL, "/": "/index.html" is not another name for it.
    const char kPage[] = "index.html";
    if (path.empty() || path[0] != '/' || path.compare(1, std::string::npos, kPage) == 0) {
        return nullptr;
    }
    const std::string name = path == "/" ? kPage : path.substr(1);
    for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
        if (name == kEmbeddedFiles[i].name) {
            return &kEmbeddedFiles[i];
        }
    }
    return nullptr;
}

PageReply page_reply(const EmbeddedFile& file, const char* ifNoneMatch) {
    // 16 bytes of the hash tell two versions of a file apart well enough for a cache.
    const std::string etag = "\"" + std::string(file.sha256, 32) + "\"";
    const bool current = names_etag(ifNoneMatch, etag);
    PageReply reply{
        current ? 304u : 200u, current ? 0 : file.size,
        current ? MhdResponse::copy_of("") : MhdResponse::persistent(file.data, file.size)};
    reply.response.add_header(MHD_HTTP_HEADER_CONTENT_TYPE, content_type(file.name));
    reply.response.add_header(MHD_HTTP_HEADER_ETAG, etag.c_str());
    reply.response.add_header(MHD_HTTP_HEADER_CACHE_CONTROL, "private, no-cache");
    reply.response.add_header(MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, kContentSecurityPolicy);
    reply.response.add_header(MHD_HTTP_HEADER_X_CONTENT_TYPE_OPTIONS, "nosniff");
    reply.response.add_header("Referrer-Policy", "no-referrer");
    return reply;
}

}  // namespace webd
