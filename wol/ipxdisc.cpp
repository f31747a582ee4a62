/* ipxdisc.cpp - IPX network discovery. */
#include "kovawin.h"

#include "wol32.h"

StructNetworkAddress NetList[IPX_NETLIST_SLOTS];
std::atomic<int> NumNewNets{0};
HANDLE DiscThreadId = NULL;

int FindNets(void)
{
    NumNewNets.store(0);
    memset(NetList, 0, sizeof(NetList));
    return 0;
}
