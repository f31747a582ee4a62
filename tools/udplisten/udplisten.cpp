// udplisten - receives UDP datagrams on a loopback port and prints each one
// in hex, 16 bytes to a line.  For the demos and for looking at frames by
// hand.
//
//   udplisten [--addr A] [--port N] [--count N] [--timeout MS]
//
// Ends after --count datagrams (default 2) or when --timeout milliseconds
// pass without one (default 5000).  Prints "listening" on standard error
// once the port is bound.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    std::string addr = "127.0.0.1";
    int port = 40009, count = 2, timeout = 5000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--addr")
            addr = argv[i + 1];
        else if (opt == "--port")
            port = atoi(argv[i + 1]);
        else if (opt == "--count")
            count = atoi(argv[i + 1]);
        else if (opt == "--timeout")
            timeout = atoi(argv[i + 1]);
        else {
            fprintf(stderr, "udplisten: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(uint16_t(port));
    if (fd < 0 || inet_pton(AF_INET, addr.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        fprintf(stderr, "udplisten: cannot bind %s:%d: %s\n", addr.c_str(), port, strerror(errno));
        return 2;
    }
    fprintf(stderr, "listening on %s:%d\n", addr.c_str(), port);
    for (int seen = 0; seen < count; seen++) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0) {
            fprintf(stderr, "udplisten: no datagram within %d ms\n", timeout);
            return 1;
        }
        unsigned char buf[65536];
        sockaddr_in from{};
        socklen_t fromlen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n < 0)
            return 1;
        char src[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
        printf("datagram %d from %s:%d, %zd bytes\n", seen + 1, src, ntohs(from.sin_port), n);
        for (ssize_t i = 0; i < n; i++)
            printf("%02X%s", buf[i], (i % 16 == 15 || i == n - 1) ? "\n" : " ");
        fflush(stdout);
    }
    return 0;
}
