/*
 * Helpers shared by the test programs.
 */
#ifndef LPR_TEST_SUPPORT_H
#define LPR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lpr_test {

/* Captures standard output (printf included) from construction to text(). */
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    /* Ends the capture (once) and returns what was written. */
    std::string text();

private:
    bool m_active = true;
    std::string m_text;
};

/* Log lines with the variable head "[<time> <pid>] " removed: "tag: msg==func:..". */
std::vector<std::string> log_lines(const std::string& captured);

}  // namespace lpr_test

#endif /* LPR_TEST_SUPPORT_H */
