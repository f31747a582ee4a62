/* spx.cpp - SPX stream sockets: connections over the layer's IPX tunnel,
 * one message per recv, each packet acknowledged.
 *
 * SPX rides in the same tunnel as IPX packet type 5 with the 12-byte SPX
 * header: a connection request and its answer (system packets) exchange
 * connection IDs, each data packet carries up to 534 bytes and asks for an
 * acknowledgement, the last packet of a message has end-of-message set, so
 * one recv returns one message.  A sender waits for the acknowledgement of
 * each packet and repeats it a few times before it gives the connection
 * up; duplicates are acknowledged again and dropped.  Datastream type 0xFE
 * from the peer ends the connection: recv then returns 0.  closesocket
 * sends no end-of-connection; the peer is simply not heard from again.
 */
#include "ipx.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <string>

namespace win {
namespace detail {
namespace {

/* The SPX header, after the IPX header in packet type 5: where each field
 * starts (numbers big-endian). */
const int kSpxControl = 0;          /* connection control bits */
const int kSpxDatastream = 1;       /* datastream type */
const int kSpxSourceId = 2;         /* connection IDs */
const int kSpxDestId = 4;
const int kSpxSequence = 6;
const int kSpxAck = 8;
const int kSpxAllocation = 10;
const int kSpxHeader = 12;
static_assert(kSpxAllocation + 2 == kSpxHeader, "the SPX fields fill its header");
const int kSpxMaxData = 576 - kIpxHeader - kSpxHeader; /* 534 */

/* SPX connection control bits and datastream types. */
const uint8_t kSpxSystem = 0x80;
const uint8_t kSpxAckWanted = 0x40;
const uint8_t kSpxEndOfMessage = 0x10;
const uint8_t kSpxEndOfConnection = 0xFE;
const uint8_t kSpxEndOfConnectionAck = 0xFF;
const uint16_t kSpxUnknownId = 0xFFFF;
const uint16_t kSpxWindow = 7;      /* packets we announce room for */

/* Connection set-up and each data packet: tries, and the wait for an
 * answer after each. */
const int kSpxTries = 8;
const int kSpxRetryMs = 250;

/* ---- SPX connections ----------------------------------------------- */

std::atomic<uint16_t> next_connection_id{uint16_t(getpid() * 40503u)};

uint16_t new_connection_id()
{
    for (;;) {
        uint16_t id = next_connection_id++;
        if (id != 0 && id != kSpxUnknownId)
            return id;
    }
}

/* a comes after b in 16-bit sequence space. */
bool after(uint16_t a, uint16_t b) { return int16_t(uint16_t(a - b)) > 0; }

struct SpxSocket : IpxSocket {
    enum State { Idle, Connecting, Connected };

    explicit SpxSocket(const Segment &seg) : IpxSocket(seg) {}

    int connectTo(const struct sockaddr *name, int namelen) override
    {
        IpxAddress target;
        int error = read_address(name, namelen, &target);
        if (error)
            return error;
        if (memcmp(target.node, kBroadcastNode, 6) == 0 || target.socket == 0)
            return WSAEADDRNOTAVAIL;
        {
            std::lock_guard<std::mutex> lock(spx);
            if (state == Connected)
                return WSAEISCONN;
            if (state == Connecting)
                return WSAEINVAL;
        }
        error = ensureBound();
        if (error)
            return error;
        {
            std::lock_guard<std::mutex> lock(spx);
            peer = target;
            localId = new_connection_id();
            remoteId = kSpxUnknownId;
            sendSeq = recvSeq = acked = 0;
            state = Connecting;
        }
        for (int attempt = 0; attempt < kSpxTries; attempt++) {
            error = transmitSpx(kSpxSystem | kSpxAckWanted, 0, 0, nullptr, 0);
            if (!error)
                error = waitFor([this] { return state == Connected; });
            if (error != WSAETIMEDOUT)
                break;
        }
        std::lock_guard<std::mutex> lock(spx);
        if (error)
            state = Idle;
        return error;
    }

    int sendStream(const char *buf, int len, int *sent) override
    {
        int done = 0;
        do {
            int chunk = len - done < kSpxMaxData ? len - done : kSpxMaxData;
            uint16_t seq;
            {
                std::lock_guard<std::mutex> lock(spx);
                if (state != Connected)
                    return WSAENOTCONN;
                if (peerEnded || broken)
                    return WSAECONNRESET;
                seq = sendSeq++;
            }
            uint8_t control = kSpxAckWanted | (done + chunk == len ? kSpxEndOfMessage : 0);
            int error = WSAETIMEDOUT;
            for (int attempt = 0; attempt < kSpxTries && error == WSAETIMEDOUT; attempt++) {
                error = transmitSpx(control, 0, seq, buf + done, chunk);
                if (!error)
                    error = waitFor([this, seq] { return after(acked, seq) || peerEnded || broken; });
            }
            std::lock_guard<std::mutex> lock(spx);
            if (!error && !after(acked, seq))
                error = WSAECONNRESET; /* the peer ended the connection meanwhile */
            if (error) {
                broken = true;
                return error;
            }
            done += chunk;
        } while (done < len);
        *sent = len;
        return 0;
    }

    int receiveStream(char *buf, int len, int *got) override
    {
        std::lock_guard<std::mutex> lock(spx);
        pump();
        if (!messages.empty()) {
            std::string &message = messages.front();
            size_t copied = message.size() < size_t(len) ? message.size() : size_t(len);
            memcpy(buf, message.data(), copied);
            /* A message longer than the buffer comes out in parts. */
            if (copied < message.size())
                message.erase(0, copied);
            else
                messages.pop_front();
            *got = int(copied);
            return 0;
        }
        if (peerEnded) {
            *got = 0;
            return 0;
        }
        if (broken)
            return WSAECONNRESET;
        if (state != Connected)
            return WSAENOTCONN;
        return WSAEWOULDBLOCK;
    }

    bool readable() override
    {
        std::lock_guard<std::mutex> lock(spx);
        pump();
        return heldLocked();
    }

    bool pending() override
    {
        std::lock_guard<std::mutex> lock(spx);
        return heldLocked();
    }

private:
    /* A receive would return at once: a message, the end, or an error. */
    bool heldLocked() const { return !messages.empty() || peerEnded || broken || state != Connected; }

    /* The 12-byte SPX header: our state as of now (lock held). */
    void spxHeader(uint8_t *head, uint8_t control, uint8_t datastream, uint16_t seq) const
    {
        head[kSpxControl] = control;
        head[kSpxDatastream] = datastream;
        put16(head + kSpxSourceId, localId);
        put16(head + kSpxDestId, remoteId);
        put16(head + kSpxSequence, seq);
        put16(head + kSpxAck, recvSeq);
        put16(head + kSpxAllocation, uint16_t(recvSeq + kSpxWindow));
    }

    int transmitSpx(uint8_t control, uint8_t datastream, uint16_t seq, const char *data, int len)
    {
        uint8_t head[kSpxHeader];
        {
            std::lock_guard<std::mutex> lock(spx);
            spxHeader(head, control, datastream, seq);
        }
        return transmit(kTypeSpx, peer, head, kSpxHeader, data, len);
    }

    /* Waits up to one retry interval for done() (checked under the lock
     * after each batch of packets); WSAETIMEDOUT when it did not come. */
    template <typename Done> int waitFor(Done done)
    {
        uint64_t deadline = now_ms() + kSpxRetryMs;
        for (;;) {
            if (closed)
                return WSAEINTR;
            {
                std::lock_guard<std::mutex> lock(spx);
                pump();
                if (done())
                    return 0;
            }
            uint64_t now = now_ms();
            if (now >= deadline)
                return WSAETIMEDOUT;
            struct pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline - now)) < 0 && errno != EINTR)
                return wsa_error_from_errno(errno);
        }
    }

    /* Takes every waiting packet off the descriptor (lock held). */
    void pump()
    {
        uint8_t packet[kIpxMaxPacket + 1];
        /* A shut-down descriptor reads 0 for ever: stop once closed. */
        while (!closed) {
            ssize_t n = retry_interrupted(
                [&] { return ::recv(fd, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC); });
            if (n < 0)
                return;
            int dataLen = 0;
            if (n > kIpxMaxPacket || !accepts(packet, n, true, &dataLen) || dataLen < kSpxHeader)
                continue;
            handle(packet, packet + kIpxHeader, dataLen);
        }
    }

    void handle(const uint8_t *packet, const uint8_t *h, int dataLen)
    {
        IpxAddress from;
        sourceOf(packet, &from);
        if (memcmp(from.node, peer.node, 6) != 0 || from.socket != peer.socket)
            return;
        uint8_t control = h[kSpxControl], datastream = h[kSpxDatastream];
        uint16_t sourceId = get16(h + kSpxSourceId), destinationId = get16(h + kSpxDestId);
        uint16_t seq = get16(h + kSpxSequence), ack = get16(h + kSpxAck);
        if (destinationId != localId)
            return;
        if (state == Connecting) {
            if (!(control & kSpxSystem))
                return;
            remoteId = sourceId;
            acked = ack;
            state = Connected;
            return;
        }
        if (state != Connected || sourceId != remoteId)
            return;
        if (after(ack, acked))
            acked = ack;
        if (control & kSpxSystem) {
            if (control & kSpxAckWanted)
                acknowledge();
            return;
        }
        if (seq != recvSeq) {
            /* An old packet again: our acknowledgement was lost.  A packet
             * from beyond a gap is dropped; the peer repeats it. */
            if (after(recvSeq, seq))
                acknowledge();
            return;
        }
        recvSeq++;
        if (datastream == kSpxEndOfConnection) {
            peerEnded = true;
            acknowledge(kSpxEndOfConnectionAck);
            return;
        }
        if (datastream == kSpxEndOfConnectionAck)
            return;
        partial.append(reinterpret_cast<const char *>(h + kSpxHeader), size_t(dataLen - kSpxHeader));
        if (control & kSpxEndOfMessage) {
            messages.push_back(partial);
            partial.clear();
        }
        if (control & kSpxAckWanted)
            acknowledge();
    }

    /* A system packet that acknowledges everything up to recvSeq (lock
     * held; transmit does not take it). */
    void acknowledge(uint8_t datastream = 0)
    {
        uint8_t head[kSpxHeader];
        spxHeader(head, kSpxSystem, datastream, sendSeq);
        transmit(kTypeSpx, peer, head, kSpxHeader, nullptr, 0);
    }

    std::mutex spx; /* guards everything below */
    State state = Idle;
    IpxAddress peer;
    uint16_t localId = 0, remoteId = kSpxUnknownId;
    uint16_t sendSeq = 0; /* next sequence number we send */
    uint16_t recvSeq = 0; /* next sequence number we expect */
    uint16_t acked = 0;   /* the peer has everything before this */
    bool peerEnded = false;
    bool broken = false;
    std::string partial;
    std::deque<std::string> messages;
};

}  // namespace

IpxSocket *new_spx_socket(const Segment &segment)
{
    return new SpxSocket(segment);
}

}  // namespace detail
}  // namespace win
