/*
 * The settings page: the files under tools/lpr-webd/www/, turned into byte arrays at
 * build time (cmake/embed_files.cmake makes the generated source that defines
 * kEmbeddedFiles), so the program needs no folder of its own at run time and the page
 * always matches the program that serves it. The server answers GET and HEAD of "/"
 * (index.html) and "/<file>" with them, after the same Digest authentication as the API.
 *
 * Caching: each file's ETag is made from the SHA-256 of its bytes; "no-cache" makes the
 * browser ask again every time, and a request whose If-None-Match names the current
 * ETag gets 304 without a body. So a program with a changed page is seen at once, and an
 * unchanged page costs one short reply per file. "private": the files are served only to
 * users who logged in, so no shared cache keeps them.
 *
 * The arrays are constant and live as long as the program; replies send them from
 * where they lie, on any thread.
 */
#ifndef LPR_WEBD_STATIC_FILES_H
#define LPR_WEBD_STATIC_FILES_H

#include <cstddef>
#include <string>

#include "mhd.h"

namespace webd {

/* One file as the build embedded it. */
struct EmbeddedFile {
    const char* name; /* relative to www/: "index.html", "page.js" */
    const unsigned char* data;
    size_t size;
    const char* sha256; /* of the bytes, 64 hex digits */
};

/* Defined by the generated source, in the order of the build's list. */
extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;
extern const size_t kEmbeddedBytes; /* all files together, within the build's budget */

/* The file served at path: "/" is index.html, "/page.js" is page.js; null for any other
 * path ("/index.html" included: the page has one URL). */
const EmbeddedFile* find_page_file(const std::string& path);

/* A reply to a GET or HEAD of a page file. */
struct PageReply {
    unsigned status;      /* 200, or 304 when the browser holds the current file */
    size_t bytes;         /* body bytes: the file's size, 0 for 304 */
    MhdResponse response; /* with Content-Type, ETag, Cache-Control and the page's
                             security headers */
};

/* The reply for file; ifNoneMatch is the request's If-None-Match header, or null. */
PageReply page_reply(const EmbeddedFile& file, const char* ifNoneMatch);

}  // namespace webd

#endif /* LPR_WEBD_STATIC_FILES_H */
