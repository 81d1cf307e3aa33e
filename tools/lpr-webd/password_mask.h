/*
 * Destination passwords are shown only to users who may change them: a user without
 * the change permission reads each stored, non-empty password as the placeholder of
 * the settings table (settings::kPasswordPlaceholder); an empty one stays empty, so
 * that such a user still sees whether a password is set. Strict mode takes the
 * placeholder sent back in a write as "keep the stored password" (strict_check.h).
 *
 * The settings table's rows marked secret say which members are passwords.
 */
#ifndef LPR_WEBD_PASSWORD_MASK_H
#define LPR_WEBD_PASSWORD_MASK_H

#include <string>

namespace webd {

/* body, the library's reply to the read action `action`, with every non-empty password
 * replaced by the placeholder; the empty string when the document holds no password
 * (the library's body is then sent as it is). */
std::string mask_passwords(const std::string& action, const char* body);

}  // namespace webd

#endif /* LPR_WEBD_PASSWORD_MASK_H */
