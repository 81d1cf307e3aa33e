/*
 * The refusal report of strict mode: the 400 reply that lists what is wrong with a write
 * and how to fix it, in the library's envelope with "errors" added (strict_check.h).
 */
#ifndef LPR_WEBD_STRICT_REFUSAL_H
#define LPR_WEBD_STRICT_REFUSAL_H

#include <string>
#include <vector>

namespace webd {
namespace strict {

/* One thing wrong with a write. */
struct Problem {
    std::string member;   /* path: httpList[1].enable */
    std::string reason;   /* one of the fixed reasons listed in docs/api.md */
    std::string received; /* the value as JSON text, shortened; empty: nothing */
    std::string allowed;
    std::string hint;
    std::string name; /* for "Invalid parameter: <name>" */
};

/* {"code":400,"msg":msg,"errors":[...]}: the first kMaxListedProblems problems. */
std::string refusal_body(const std::string& msg, const std::vector<Problem>& problems);

/* A problem of the body as a whole: "Invalid JSON", as the library says of a body it
 * cannot read. */
std::string body_refusal(const char* reason, const std::string& received, const std::string& hint);

}  // namespace strict
}  // namespace webd

#endif /* LPR_WEBD_STRICT_REFUSAL_H */
