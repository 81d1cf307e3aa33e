/*
 * Writes that a browser sends for another site's page. A browser keeps a user's Digest
 * login for the camera's realm and answers the camera's challenge with it whatever page
 * made the request, so without this check any site the user visits could post a write
 * in the user's name while the settings page is open: a plain HTML form with
 * enctype="text/plain" sends a body such as {"httpUrl":"http://elsewhere/=x"}, which is
 * valid JSON and passes strict mode. Browsers say where a request comes from
 * (Sec-Fetch-Site, Origin); clients that are not browsers (curl, scripts) send neither
 * header and are not affected.
 */
#ifndef LPR_WEBD_CROSS_SITE_H
#define LPR_WEBD_CROSS_SITE_H

#include <microhttpd.h>

namespace webd {

/* Whether the request comes from a page of another origin: Sec-Fetch-Site names
 * another site ("cross-site", "same-site"), or an Origin header is not "http://" and the
 * request's own Host ("null" included). A request with neither header is not. */
bool from_another_site(MHD_Connection* connection);

}  // namespace webd

#endif /* LPR_WEBD_CROSS_SITE_H */
