// Feeds the discovery's two readers of received bytes: the walk over a
// configuration response and the count of an all-known-networks reply.
// The first byte picks the reader (bit 0) and which queries report
// success (the other bits, one per query); the rest is the datagram,
// copied to a buffer of exactly its size so that any read past it shows.
#include "kovawin.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wol32.h"

namespace {

struct Walked {
    const std::vector<uint8_t> *datagram;
    unsigned answers;
    int queries;
};

int Query(unsigned char offset, void *context)
{
    Walked *w = static_cast<Walked *>(context);
    const std::vector<uint8_t> &d = *w->datagram;
    // The entry asked about lies wholly inside the datagram.
    size_t at = IPX_RESPONSE_HEAD + offset;
    if (at + IPX_EXT_HEAD > d.size() || at + IPX_EXT_HEAD + IPX_ADDR_LEN * d[at + 1] > d.size() ||
        (signed char)d[at] <= IPX_SIMPLE_COMPONENT_MAX)
        abort();
    return (w->answers >> (w->queries++ % 7)) & 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned mode = data[0];
    std::vector<uint8_t> datagram(data + 1, data + size);
    int received = int(datagram.size());
    if (mode & 1) {
        Walked w = {&datagram, mode >> 1, 0};
        if (received <= IPX_RECEIVE_LIMIT)
            WalkComponents(datagram.data(), received, Query, &w);
    } else if (received <= IPX_RECVBUF_LEN) {
        int claimed = 0;
        int held = ReplyNetworks(datagram.data(), received, &claimed);
        if (held < 0 || held > IPX_REPLY_MAX_NETS || (held > 0 && IPX_REPLY_HEAD + 4 * held > received))
            abort();
        unsigned sum = 0;
        for (int i = 0; i < 4 * held; i++)
            sum += datagram[size_t(IPX_REPLY_HEAD + i)];
        (void)sum;
    }
    return 0;
}
