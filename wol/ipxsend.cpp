/* ipxsend.cpp - the IPX sender: four magic packets per pass, to every node
 * of one network, socket 0x9043. */
#include "kovawin.h"

#include "wakew32.h"
#include "wol32.h"

/* The last pass: one for the local network and one per network counted so
 * far.  Read afresh before every pass, as discovery may still add some.
 * Never more than the 32 stored networks: wakelan would have no network
 * for a further pass, and kova32ex, which repeats the same four datagrams
 * every pass, would flood the segment for a responder that claims
 * endless pages. */
static int LastPass(void)
{
    int count = NumNewNets.load(std::memory_order_acquire);
    if (count > IPX_NETLIST_SLOTS)
        count = IPX_NETLIST_SLOTS;
    return count;
}

int DoIPX(char *lpszMac)
{
    SOCKADDR_IPX destination;
    const struct sockaddr *pTo = (const struct sockaddr *)&destination;
    unsigned char bMAC1[WOL_MAC_LEN], bMAC2[WOL_MAC_LEN], bMAC3[WOL_MAC_LEN], bMAC4[WOL_MAC_LEN];
    unsigned char cFrame1[WOL_FRAME_LEN], cFrame2[WOL_FRAME_LEN], cFrame3[WOL_FRAME_LEN],
        cFrame4[WOL_FRAME_LEN];
    int j;

    memset(&destination, 0, sizeof(destination));
    destination.sa_family = AF_IPX;
    memset(destination.sa_nodenum, 0xFF, sizeof(destination.sa_nodenum));
    destination.sa_socket = htons(WOL_IPX_SOCKET);

    WolTextToBytes(lpszMac, bMAC1, WOL_MAC_LEN);
    WolReverseBits(bMAC3, bMAC1);
    WolReverseByteOrder(bMAC2, bMAC1);
    WolReverseByteOrder(bMAC4, bMAC3);
    WolBuildFrame(cFrame1, bMAC1);
    WolBuildFrame(cFrame2, bMAC2);
    WolBuildFrame(cFrame3, bMAC3);
    WolBuildFrame(cFrame4, bMAC4);

    /* IPXNET= all zero is the local network. */
    if (IPX_PASS_RULE == IPX_PASS_IPXNET)
        WolTextToBytes(networkNumber, (unsigned char *)destination.sa_netnum, WOL_IPX_NET_LEN);

    for (j = 0; j <= LastPass(); j++) {
        if (IPX_PASS_RULE == IPX_PASS_DISCOVERED && j >= 1)
            memcpy(destination.sa_netnum, NetList[j - 1].address, WOL_IPX_NET_LEN);
        if (!SendFrame(cFrame1, pTo, sizeof(destination), "IPX") ||
            !SendFrame(cFrame2, pTo, sizeof(destination), "IPX") ||
            !SendFrame(cFrame3, pTo, sizeof(destination), "IPX") ||
            !SendFrame(cFrame4, pTo, sizeof(destination), "IPX"))
            return 0;
    }
    if (LastPass() == 0)
        WOL_TRACE("IPX discovery had found no network when the send ended");
    return 1;
}
