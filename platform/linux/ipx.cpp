/* ipx.cpp - IPX and SPX: not configured on this host. */
#include "sockets.h"

namespace win {
namespace detail {

int create_ipx_socket(int, int, SocketImpl **out)
{
    *out = nullptr;
    return WSAEAFNOSUPPORT;
}

}  // namespace detail
}  // namespace win
