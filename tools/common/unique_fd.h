/*
 * A file descriptor owned by one object and closed when it goes, on every way out.
 */
#ifndef LPR_TOOLS_UNIQUE_FD_H
#define LPR_TOOLS_UNIQUE_FD_H

#include <unistd.h>

namespace tools {

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    /* Closes what it holds (if anything) and holds fd instead. */
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }
    /* Hands the descriptor over; the caller closes it. */
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    /* Closes now and reports the result of close(), which a writer must check. */
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

  private:
    int m_fd;
};

}  // namespace tools

#endif /* LPR_TOOLS_UNIQUE_FD_H */
