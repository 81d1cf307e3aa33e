// Owners of the bus client's handles: the ZeroMQ context and sockets, one received frame,
// and a file descriptor. Each closes what it holds when it goes, on every path.
#ifndef LPR_BUS_HANDLES_H
#define LPR_BUS_HANDLES_H

#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <utility>

namespace lpr_bus {

struct ContextCloser {
    void operator()(void* ctx) const {
        // Returns once every socket is closed and its linger has run out.
        while (zmq_ctx_term(ctx) != 0 && zmq_errno() == EINTR) {
        }
    }
};
struct SocketCloser {
    void operator()(void* sock) const { zmq_close(sock); }
};
using ContextPtr = std::unique_ptr<void, ContextCloser>;
using SocketPtr = std::unique_ptr<void, SocketCloser>;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

  private:
    int m_fd = -1;
};

// One frame as ZeroMQ received it.
class Message {
  public:
    Message() { zmq_msg_init(&m_msg); }
    ~Message() { zmq_msg_close(&m_msg); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    zmq_msg_t* get() { return &m_msg; }
    const char* data() { return static_cast<const char*>(zmq_msg_data(&m_msg)); }
    size_t size() { return zmq_msg_size(&m_msg); }
    bool more() { return zmq_msg_more(&m_msg) != 0; }

  private:
    zmq_msg_t m_msg;
};

}  // namespace lpr_bus

#endif /* LPR_BUS_HANDLES_H */
