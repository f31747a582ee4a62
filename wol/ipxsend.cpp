/* ipxsend.cpp - the IPX sender. */
#include "kovawin.h"

#include "wakew32.h"
#include "wol32.h"

int DoIPX(char *)
{
    closesocket(m_Socket);
    WSACleanup();
    return 0;
}
