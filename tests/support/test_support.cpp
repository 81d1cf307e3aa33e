#include "test_support.h"

#include <cstdio>
#include <sstream>

namespace lpr_test {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture() { text(); }

std::string StdoutCapture::text() {
    if (m_active) {
        std::fflush(stdout);
        m_text = ::testing::internal::GetCapturedStdout();
        m_active = false;
    }
    return m_text;
}

std::vector<std::string> log_lines(const std::string& captured) {
    std::vector<std::string> lines;
    std::istringstream in(captured);
    std::string line;
    while (std::getline(in, line)) {
        auto head = line.find("] ");
        if (line.rfind('[', 0) == 0 && head != std::string::npos) {
            lines.push_back(line.substr(head + 2));
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

}  // namespace lpr_test
