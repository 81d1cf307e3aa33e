// Message framing on the wire (docs/bus.md, "Wire format"): every message is the topic
// frame, a header frame and the payload frame. Readers rely only on the first frame being
// the topic and the last the payload, so messages of plain ZeroMQ publishers are read too.
//
// Header, version 2 (20 bytes): magic "LB", version, flags (none yet), the sender's source
// (uint16), two reserved zero bytes, the sender's session (uint32) and the message's
// sequence (uint64), all little-endian. Version 1 (8 bytes) ends after the reserved bytes.
// Bytes 0..5 keep their place in every version, so a reader of version 1 still finds the
// source.
#ifndef LPR_BUS_FRAME_H
#define LPR_BUS_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "lpr_zmq.h"

namespace lpr_bus {

// Sends topic, header and payload as one message on a PUB socket. LPR_ZMQ_OK,
// LPR_ZMQ_EAGAIN when ZeroMQ refused the message for now, or LPR_ZMQ_EZMQ; logged.
int send_message(void* pub, const char* topic, const lpr_zmq_msg_info_t& header, const void* data,
                 size_t len, int flags);

enum class Received {
    kNothing,  // no message waits
    kMessage,  // *topic, *payload and *header are set
    kDropped,  // a message without a payload frame, read and dropped
};

// Reads one whole message from a SUB socket without waiting. The header of a message
// without ours (a plain ZeroMQ publisher) has source 0; a version 1 header has session and
// sequence 0. header->topic is the topic, cut to its 255 bytes.
Received receive_message(void* sub, std::string* topic, std::string* payload,
                         lpr_zmq_msg_info_t* header);

// info.topic = topic (len bytes), cut to 255 bytes and NUL-terminated.
void set_topic(lpr_zmq_msg_info_t& info, const char* topic, size_t len);

}  // namespace lpr_bus

#endif /* LPR_BUS_FRAME_H */
