#include "bus_frame.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bus_handles.h"
#include "bus_log.h"

namespace lpr_bus {
namespace {

constexpr unsigned char kMagic0 = 'L';
constexpr unsigned char kMagic1 = 'B';
constexpr unsigned char kVersion = 2;
constexpr size_t kHeaderSize = 20;
constexpr size_t kHeaderV1Size = 8;
constexpr size_t kSourceOffset = 4;
constexpr size_t kSessionOffset = 8;
constexpr size_t kSequenceOffset = 12;

uint64_t read_le(const std::string& bytes, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

void write_le(unsigned char* at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void decode_header(const std::string& header, lpr_zmq_msg_info_t* info) {
    if (header.size() < kHeaderV1Size || static_cast<unsigned char>(header[0]) != kMagic0 ||
        static_cast<unsigned char>(header[1]) != kMagic1) {
        return;
    }
    info->source = static_cast<uint16_t>(read_le(header, kSourceOffset, 2));
    if (static_cast<unsigned char>(header[2]) >= 2 && header.size() >= kHeaderSize) {
        info->session = static_cast<uint32_t>(read_le(header, kSessionOffset, 4));
        info->sequence = read_le(header, kSequenceOffset, 8);
    }
}

}  // namespace

int send_message(void* pub, const char* topic, const lpr_zmq_msg_info_t& header, const void* data,
                 size_t len, int flags) {
    unsigned char bytes[kHeaderSize] = {kMagic0, kMagic1, kVersion};
    write_le(bytes + kSourceOffset, header.source, 2);
    write_le(bytes + kSessionOffset, header.session, 4);
    write_le(bytes + kSequenceOffset, header.sequence, 8);
    // zmq_send copies each frame. A PUB socket accepts the first frame only when it can take
    // the whole message, so a refusal can only happen there.
    if (zmq_send(pub, topic, std::strlen(topic), ZMQ_SNDMORE | flags) < 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_WARN, "publish on %s dropped: %s", topic, zmq_strerror(err));
        return err == EAGAIN ? LPR_ZMQ_EAGAIN : LPR_ZMQ_EZMQ;
    }
    if (zmq_send(pub, bytes, sizeof bytes, ZMQ_SNDMORE | flags) < 0 ||
        zmq_send(pub, data, len, flags) < 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_ERROR, "publish on %s cut short: %s", topic, zmq_strerror(err));
        return LPR_ZMQ_EZMQ;
    }
    return LPR_ZMQ_OK;
}

Received receive_message(void* sub, std::string* topic, std::string* payload,
                         lpr_zmq_msg_info_t* header) {
    std::string headerBytes;
    size_t frames = 0;
    bool more = true;
    while (more) {
        Message part;
        if (zmq_msg_recv(part.get(), sub, ZMQ_DONTWAIT) < 0) {
            if (frames > 0) {
                bus_log(LPR_ZMQ_LOG_ERROR, "message cut short: %s", zmq_strerror(zmq_errno()));
            }
            return Received::kNothing;
        }
        more = part.more();
        if (frames == 0) {
            topic->assign(part.data(), part.size());
        } else if (frames == 1 && more) {
            headerBytes.assign(part.data(), part.size());
        } else if (!more) {
            payload->assign(part.data(), part.size());
        }
        ++frames;
    }
    if (frames < 2) {
        bus_log(LPR_ZMQ_LOG_DEBUG, "message without payload frame on %s dropped", topic->c_str());
        return Received::kDropped;
    }
    *header = lpr_zmq_msg_info_t{};
    set_topic(*header, topic->data(), topic->size());
    decode_header(headerBytes, header);
    return Received::kMessage;
}

void set_topic(lpr_zmq_msg_info_t& info, const char* topic, size_t len) {
    len = std::min(len, sizeof info.topic - 1);
    std::memcpy(info.topic, topic, len);
    info.topic[len] = '\0';
}

}  // namespace lpr_bus
