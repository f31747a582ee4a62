// ipxd - a test responder on an IPX segment carried over UDP.
//
// It joins the segment that KOVA_IPX names (NETWORK@BROADCAST[:PORT]) the
// way the platform layer does: a UDP socket on the segment's port shared
// with SO_REUSEADDR, every packet sent to the broadcast address, node
// 02 4B + process id, and it keeps only what is addressed to it.  It speaks
// IPX and SPX on its own, so it checks the layer's packets independently.
//
// What it does, each part switched on by its options:
//   - answers configuration requests on socket 0x0456 with a component list;
//   - serves all-known-networks queries on its SPX diagnostic socket from a
//     list of N networks, 128 per reply;
//   - fails or lies on request, to exercise the engine's error paths;
//   - prints each packet that reaches socket 0x9043 (the magic packets).
// Every event is one line on standard output.  "ipxd ready ..." comes once
// the socket is bound.  Several ipxd can share one segment.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: ipxd [options]\n"
    "  --segment NET@ADDR[:PORT]  the segment (default: $KOVA_IPX)\n"
    "  --components LIST   answer configuration requests with these components,\n"
    "                      comma-separated: ID (simple when ID <= 4), ID:N (extended,\n"
    "                      N attached networks), ID=NET/NET/... (extended, those networks)\n"
    "  --spx-socket HEX    the SPX diagnostic socket (default 4A4B)\n"
    "  --networks N        networks known to all-known-networks queries (default 0)\n"
    "  --network-base HEX  the first of them (default 00C00001); the rest follow by one\n"
    "  --fail ID:MODE[@S]  the component ID fails queries from start index S (default 0);\n"
    "                      MODE is code (completion code 1), zero (0 networks) or close\n"
    "                      (the connection is ended)\n"
    "  --endless           every reply holds 128 networks, whatever the start index\n"
    "  --claim-128         replies claim 128 networks, whatever they hold\n"
    "  --lie-count N       replies claim N networks more than they hold\n"
    "  --reply-truncate N  send only the first N bytes of each reply\n"
    "  --config-count N    the response claims N components\n"
    "  --config-truncate N send only the first N bytes of the configuration response\n"
    "  --config-raw HEX    send these bytes as the configuration response\n"
    "  --delay MS          answer configuration requests after MS milliseconds\n"
    "  --repeat K          send the configuration response K times (default 1)\n"
    "  --interval MS       between repeats (default 500)\n"
    "  --magic             print each packet to socket 9043\n"
    "  --lifetime MS       exit after MS milliseconds (default: run until killed)\n";

const int kIpxHeader = 30;
const int kSpxHeader = 12;
const int kMaxPacket = 1500;
const uint16_t kConfigSocket = 0x0456;
const uint16_t kMagicSocket = 0x9043;
const uint8_t kTypeSpx = 5;
const uint8_t kSpxSystem = 0x80, kSpxAckWanted = 0x40, kSpxEndOfMessage = 0x10;
const uint8_t kSpxEndOfConnection = 0xFE;
const int kRetryMs = 250, kTries = 8;
const int kPage = 128;

using Clock = std::chrono::steady_clock;

struct Address {
    uint8_t net[4] = {};
    uint8_t node[6] = {};
    uint16_t socket = 0;
};

struct Component {
    int id = 0;
    std::vector<uint32_t> networks; // attached ones, for an extended entry
};

struct Failure {
    int id;
    std::string mode;
    int from;
};

struct Options {
    std::string segment;
    bool answerConfig = false;
    std::vector<Component> components;
    uint16_t spxSocket = 0x4A4B;
    long networks = 0;
    uint32_t networkBase = 0x00C00001;
    std::vector<Failure> failures;
    bool endless = false, claim128 = false;
    int lieCount = 0;
    int replyTruncate = -1, configCount = -1, configTruncate = -1;
    std::vector<uint8_t> configRaw;
    bool haveConfigRaw = false;
    int delayMs = 0, repeat = 1, intervalMs = 500;
    bool magic = false;
    long lifetimeMs = -1;
};

struct Connection {
    Address client;
    uint16_t clientId = 0, ourId = 0;
    uint16_t recvSeq = 0, sendSeq = 0;
    std::vector<uint8_t> unacked; // the last reply, until acknowledged
    uint16_t unackedSeq = 0;
    int triesLeft = 0;
    Clock::time_point retryAt;
};

struct Scheduled {
    Clock::time_point at;
    Address to;
};

Options opt;
int fd = -1;
sockaddr_in broadcastAddr{};
uint8_t segmentNet[4];
uint8_t ownNode[6];
std::vector<Connection> connections;
std::vector<Scheduled> scheduled;
uint16_t nextConnectionId = 0x2000;

uint16_t Get16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
void Put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

std::string HexBytes(const uint8_t *p, size_t n)
{
    std::string text;
    char buf[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "%02X", p[i]);
        text += buf;
    }
    return text;
}

std::string Describe(const Address &a)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%04X", a.socket);
    return HexBytes(a.net, 4) + ":" + HexBytes(a.node, 6) + ":" + buf;
}

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

[[noreturn]] void Fail(const std::string &what)
{
    fprintf(stderr, "ipxd: %s\n", what.c_str());
    exit(2);
}

long Number(const std::string &text, int base, const char *option)
{
    char *end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno)
        Fail(std::string("bad number for ") + option + ": " + text);
    return value;
}

std::vector<std::string> Split(const std::string &text, char by)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(by, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

std::vector<Component> ParseComponents(const std::string &list)
{
    std::vector<Component> components;
    uint32_t generated = 0x00E00001;
    for (const std::string &item : Split(list, ',')) {
        Component c;
        size_t colon = item.find(':'), equals = item.find('=');
        size_t cut = std::min(colon, equals);
        c.id = int(Number(item.substr(0, cut), 10, "--components"));
        if (c.id < -128 || c.id > 127)
            Fail("component ID out of range: " + item);
        if (colon != std::string::npos && colon == cut) {
            long n = Number(item.substr(colon + 1), 10, "--components");
            if (n < 0 || n > 255)
                Fail("network count out of range: " + item);
            for (long k = 0; k < n; k++)
                c.networks.push_back(generated++);
        } else if (equals != std::string::npos) {
            for (const std::string &net : Split(item.substr(equals + 1), '/'))
                c.networks.push_back(uint32_t(Number(net, 16, "--components")));
        }
        if (c.id <= 4 && !c.networks.empty())
            Fail("a simple component has no networks: " + item);
        components.push_back(c);
    }
    return components;
}

std::vector<uint8_t> ParseHex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    if (text.size() % 2)
        Fail("odd number of hex digits: " + text);
    for (size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(uint8_t(Number(text.substr(i, 2), 16, "--config-raw")));
    return bytes;
}

void ParseArguments(int argc, char **argv)
{
    const char *env = getenv("KOVA_IPX");
    opt.segment = env ? env : "";
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail(name + " needs a value");
            return argv[++i];
        };
        if (name == "--segment")
            opt.segment = value();
        else if (name == "--components") {
            opt.components = ParseComponents(value());
            opt.answerConfig = true;
        } else if (name == "--spx-socket")
            opt.spxSocket = uint16_t(Number(value(), 16, "--spx-socket"));
        else if (name == "--networks")
            opt.networks = Number(value(), 10, "--networks");
        else if (name == "--network-base")
            opt.networkBase = uint32_t(Number(value(), 16, "--network-base"));
        else if (name == "--fail") {
            std::string mode = value();
            size_t colon = mode.find(':'), at = mode.find('@');
            if (colon == std::string::npos)
                Fail("--fail needs ID:MODE");
            Failure f{int(Number(mode.substr(0, colon), 10, "--fail")),
                      mode.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1),
                      at == std::string::npos ? 0 : int(Number(mode.substr(at + 1), 10, "--fail"))};
            if (f.mode != "code" && f.mode != "zero" && f.mode != "close")
                Fail("--fail mode must be code, zero or close: " + mode);
            opt.failures.push_back(f);
        } else if (name == "--endless")
            opt.endless = true;
        else if (name == "--claim-128")
            opt.claim128 = true;
        else if (name == "--lie-count")
            opt.lieCount = int(Number(value(), 10, "--lie-count"));
        else if (name == "--reply-truncate")
            opt.replyTruncate = int(Number(value(), 10, "--reply-truncate"));
        else if (name == "--config-count")
            opt.configCount = int(Number(value(), 10, "--config-count"));
        else if (name == "--config-truncate")
            opt.configTruncate = int(Number(value(), 10, "--config-truncate"));
        else if (name == "--config-raw") {
            opt.configRaw = ParseHex(value());
            opt.haveConfigRaw = opt.answerConfig = true;
        } else if (name == "--delay")
            opt.delayMs = int(Number(value(), 10, "--delay"));
        else if (name == "--repeat")
            opt.repeat = int(Number(value(), 10, "--repeat"));
        else if (name == "--interval")
            opt.intervalMs = int(Number(value(), 10, "--interval"));
        else if (name == "--magic")
            opt.magic = true;
        else if (name == "--lifetime")
            opt.lifetimeMs = Number(value(), 10, "--lifetime");
        else if (name == "--help" || name == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else {
            fputs(kUsage, stderr);
            Fail("unknown option " + name);
        }
    }
}

void JoinSegment()
{
    size_t at = opt.segment.find('@');
    if (opt.segment.empty() || at == std::string::npos || at == 0 || at > 8)
        Fail("no segment: set KOVA_IPX or --segment NET@ADDR[:PORT]");
    Put32(segmentNet, uint32_t(Number(opt.segment.substr(0, at), 16, "--segment")));
    std::string rest = opt.segment.substr(at + 1);
    long port = 213;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        port = Number(rest.substr(colon + 1), 10, "--segment");
        rest.erase(colon);
    }
    broadcastAddr.sin_family = AF_INET;
    broadcastAddr.sin_port = htons(uint16_t(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, rest.c_str(), &broadcastAddr.sin_addr) != 1)
        Fail("bad segment " + opt.segment);
    uint32_t pid = uint32_t(getpid());
    ownNode[0] = 0x02;
    ownNode[1] = 0x4B;
    for (int i = 0; i < 4; i++)
        ownNode[2 + i] = uint8_t(pid >> (24 - 8 * i));

    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = broadcastAddr.sin_port;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        Fail(std::string("cannot join UDP port ") + std::to_string(port) + ": " + strerror(errno));
}

void Transmit(uint8_t type, const Address &to, uint16_t fromSocket, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> packet(kIpxHeader);
    Put16(&packet[0], 0xFFFF);
    Put16(&packet[2], uint16_t(kIpxHeader + data.size()));
    packet[4] = 0;
    packet[5] = type;
    memcpy(&packet[6], to.net, 4);
    memcpy(&packet[10], to.node, 6);
    Put16(&packet[16], to.socket);
    memcpy(&packet[18], segmentNet, 4);
    memcpy(&packet[22], ownNode, 6);
    Put16(&packet[28], fromSocket);
    packet.insert(packet.end(), data.begin(), data.end());
    if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&broadcastAddr),
               sizeof broadcastAddr) != ssize_t(packet.size()))
        fprintf(stderr, "ipxd: sendto: %s\n", strerror(errno));
}

/* ---- Configuration responses --------------------------------------- */

std::vector<uint8_t> ConfigResponse()
{
    if (opt.haveConfigRaw)
        return opt.configRaw;
    std::vector<uint8_t> r = {1, 0, uint8_t(opt.spxSocket >> 8), uint8_t(opt.spxSocket),
                              uint8_t(opt.configCount >= 0 ? opt.configCount : int(opt.components.size()))};
    for (const Component &c : opt.components) {
        r.push_back(uint8_t(c.id));
        if (c.id <= 4)
            continue;
        r.push_back(uint8_t(c.networks.size()));
        for (uint32_t net : c.networks) {
            uint8_t addr[11] = {0};
            Put32(addr + 1, net);
            addr[10] = 1;
            r.insert(r.end(), addr, addr + 11);
        }
    }
    if (opt.configTruncate >= 0 && size_t(opt.configTruncate) < r.size())
        r.resize(size_t(opt.configTruncate));
    return r;
}

/* The component whose entry starts at this offset of the component list. */
const Component *ComponentAt(int offset)
{
    int p = 0;
    for (const Component &c : opt.components) {
        if (p == offset)
            return c.id > 4 ? &c : nullptr;
        p += c.id <= 4 ? 1 : 2 + 11 * int(c.networks.size());
    }
    return nullptr;
}

/* ---- SPX ----------------------------------------------------------- */

std::vector<uint8_t> SpxHeader(const Connection &c, uint8_t control, uint8_t datastream, uint16_t seq)
{
    std::vector<uint8_t> h(kSpxHeader);
    h[0] = control;
    h[1] = datastream;
    Put16(&h[2], c.ourId);
    Put16(&h[4], c.clientId);
    Put16(&h[6], seq);
    Put16(&h[8], c.recvSeq);
    Put16(&h[10], uint16_t(c.recvSeq + 7));
    return h;
}

void SendSystem(const Connection &c)
{
    Transmit(kTypeSpx, c.client, opt.spxSocket, SpxHeader(c, kSpxSystem, 0, c.sendSeq));
}

void SendData(Connection &c, uint8_t datastream, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> packet = SpxHeader(c, kSpxAckWanted | kSpxEndOfMessage, datastream, c.sendSeq);
    packet.insert(packet.end(), data.begin(), data.end());
    c.unacked = packet;
    c.unackedSeq = c.sendSeq++;
    c.triesLeft = kTries - 1;
    c.retryAt = Clock::now() + std::chrono::milliseconds(kRetryMs);
    Transmit(kTypeSpx, c.client, opt.spxSocket, packet);
}

uint32_t NetworkAt(long index)
{
    return opt.networkBase + uint32_t(index);
}

/* Answers one all-known-networks request; false when the connection is
 * to be forgotten. */
bool AnswerQuery(Connection &c, const uint8_t *request, int len)
{
    if (len < 4) {
        Say("spx-query short %d bytes", len);
        return true;
    }
    int offset = request[0], code = request[1], start = request[2] | request[3] << 8;
    const Component *component = ComponentAt(offset);
    std::string head = "spx-query offset " + std::to_string(offset) + " code " + std::to_string(code) +
                       " start " + std::to_string(start);
    if (!component || code != 2) {
        Say("%s -> no component", head.c_str());
        SendData(c, 0, {1, 0, 0, 0, 0, 0, 0});
        return true;
    }
    for (const Failure &f : opt.failures) {
        if (f.id != component->id || start < f.from)
            continue;
        Say("%s component %d -> fail %s", head.c_str(), component->id, f.mode.c_str());
        if (f.mode == "code")
            SendData(c, 0, {1, 0, 0, 0, 0, 0, 0});
        else if (f.mode == "zero")
            SendData(c, 0, {0, 0, 0, 0, 0, 0, 0});
        else {
            SendData(c, kSpxEndOfConnection, {});
            c.triesLeft = 0;
            return false;
        }
        return true;
    }
    long held = opt.endless ? kPage : std::max(0L, std::min<long>(kPage, opt.networks - start));
    long claimed = opt.claim128 ? kPage : held + opt.lieCount;
    std::vector<uint8_t> reply = {0, 0, 0, 0, 0, uint8_t(claimed), uint8_t(claimed >> 8)};
    for (long k = 0; k < held; k++) {
        uint8_t net[4];
        Put32(net, NetworkAt(start + k));
        reply.insert(reply.end(), net, net + 4);
    }
    if (opt.replyTruncate >= 0 && size_t(opt.replyTruncate) < reply.size())
        reply.resize(size_t(opt.replyTruncate));
    Say("%s component %d -> networks %ld claimed %ld bytes %zu", head.c_str(), component->id, held,
        claimed, reply.size());
    SendData(c, 0, reply);
    return true;
}

void HandleSpx(const Address &from, const uint8_t *spx, int len)
{
    if (len < kSpxHeader)
        return;
    uint8_t control = spx[0];
    uint16_t sourceId = Get16(spx + 2), destinationId = Get16(spx + 4);
    uint16_t seq = Get16(spx + 6), ack = Get16(spx + 8);
    auto same = [&](const Connection &c) {
        return memcmp(c.client.node, from.node, 6) == 0 && c.client.socket == from.socket &&
               c.clientId == sourceId;
    };
    auto found = std::find_if(connections.begin(), connections.end(), same);
    if (destinationId == 0xFFFF && (control & kSpxSystem)) {
        if (found == connections.end()) {
            Connection c;
            c.client = from;
            c.clientId = sourceId;
            c.ourId = nextConnectionId++;
            connections.push_back(c);
            found = connections.end() - 1;
            Say("spx-connect from %s", Describe(from).c_str());
        }
        SendSystem(*found); /* again for a repeated request */
        return;
    }
    if (found == connections.end() || destinationId != found->ourId)
        return;
    Connection &c = *found;
    if (!c.unacked.empty() && int16_t(uint16_t(ack - c.unackedSeq)) > 0)
        c.unacked.clear();
    if (control & kSpxSystem)
        return;
    if (seq != c.recvSeq) {
        SendSystem(c); /* a repeat: our acknowledgement was lost */
        return;
    }
    c.recvSeq++;
    SendSystem(c);
    if (spx[1] == kSpxEndOfConnection) {
        connections.erase(found);
        return;
    }
    if (!AnswerQuery(c, spx + kSpxHeader, len - kSpxHeader))
        connections.erase(found);
}

/* ---- Packets ------------------------------------------------------- */

void HandleMagic(const Address &to, const Address &from, const uint8_t *data, int len)
{
    bool frame = len == 102;
    for (int i = 0; frame && i < 6; i++)
        frame = data[i] == 0xFF;
    for (int k = 1; frame && k < 16; k++)
        frame = memcmp(data + 6, data + 6 + 6 * k, 6) == 0;
    Say("magic net %s node %s socket %04X from %s bytes %d mac %s frame %s",
        HexBytes(to.net, 4).c_str(), HexBytes(to.node, 6).c_str(), to.socket,
        Describe(from).c_str(), len, len >= 12 ? HexBytes(data + 6, 6).c_str() : "-",
        frame ? "ok" : "bad");
}

void HandlePacket(const uint8_t *packet, ssize_t n)
{
    static const uint8_t zero[4] = {}, all[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (n < kIpxHeader)
        return;
    int length = Get16(packet + 2);
    if (length < kIpxHeader || length > n)
        return;
    Address to, from;
    memcpy(to.net, packet + 6, 4);
    memcpy(to.node, packet + 10, 6);
    to.socket = Get16(packet + 16);
    memcpy(from.net, packet + 18, 4);
    memcpy(from.node, packet + 22, 6);
    from.socket = Get16(packet + 28);
    if (memcmp(from.node, ownNode, 6) == 0)
        return; /* our own, back from the broadcast */
    if (memcmp(to.net, zero, 4) != 0 && memcmp(to.net, segmentNet, 4) != 0)
        return;
    if (memcmp(to.node, ownNode, 6) != 0 && memcmp(to.node, all, 6) != 0)
        return;
    const uint8_t *data = packet + kIpxHeader;
    int len = length - kIpxHeader;
    if (to.socket == kConfigSocket && opt.answerConfig) {
        Say("config-request from %s bytes %d", Describe(from).c_str(), len);
        auto due = Clock::now() + std::chrono::milliseconds(opt.delayMs);
        for (int k = 0; k < opt.repeat; k++)
            scheduled.push_back({due + std::chrono::milliseconds(k * opt.intervalMs), from});
    } else if (to.socket == opt.spxSocket && packet[5] == kTypeSpx) {
        HandleSpx(from, data, len);
    } else if (to.socket == kMagicSocket && opt.magic) {
        HandleMagic(to, from, data, len);
    }
}

void RunTimers()
{
    auto now = Clock::now();
    for (size_t i = 0; i < scheduled.size();) {
        if (scheduled[i].at > now) {
            i++;
            continue;
        }
        std::vector<uint8_t> response = ConfigResponse();
        Transmit(0, scheduled[i].to, kConfigSocket, response);
        Say("config-response to %s bytes %zu", Describe(scheduled[i].to).c_str(), response.size());
        scheduled.erase(scheduled.begin() + long(i));
    }
    for (Connection &c : connections) {
        if (c.unacked.empty() || c.retryAt > now)
            continue;
        if (c.triesLeft-- <= 0) {
            c.unacked.clear();
            continue;
        }
        c.retryAt = now + std::chrono::milliseconds(kRetryMs);
        Transmit(kTypeSpx, c.client, opt.spxSocket, c.unacked);
    }
}

int NextTimeoutMs(Clock::time_point end)
{
    auto next = end;
    for (const Scheduled &s : scheduled)
        next = std::min(next, s.at);
    for (const Connection &c : connections)
        if (!c.unacked.empty())
            next = std::min(next, c.retryAt);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return int(std::clamp<long long>(ms + 1, 0, 1000));
}

}  // namespace

int main(int argc, char **argv)
{
    ParseArguments(argc, argv);
    JoinSegment();
    signal(SIGPIPE, SIG_IGN);
    Say("ipxd ready node %s segment %s port %d", HexBytes(ownNode, 6).c_str(),
        HexBytes(segmentNet, 4).c_str(), ntohs(broadcastAddr.sin_port));
    auto end = opt.lifetimeMs >= 0 ? Clock::now() + std::chrono::milliseconds(opt.lifetimeMs)
                                   : Clock::time_point::max();
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, NextTimeoutMs(end));
        if (n < 0 && errno != EINTR)
            Fail(std::string("poll: ") + strerror(errno));
        if (n > 0) {
            uint8_t packet[kMaxPacket + 1];
            ssize_t got;
            while ((got = recv(fd, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC)) >= 0)
                if (got <= kMaxPacket)
                    HandlePacket(packet, got);
        }
        RunTimers();
    }
    return 0;
}
