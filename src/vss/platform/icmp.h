// ICMP echo (IcmpCreateFile, IcmpSendEcho, IcmpCloseHandle) and the Windows
// Sockets start-up, for the registration tool's reachability check. Name
// resolution (inet_addr, inet_ntoa, gethostbyname) is the C library's.
//
// On Linux an ICMP handle owns an unprivileged datagram ping socket where
// net.ipv4.ping_group_range admits the caller, and a raw ICMP socket
// otherwise (which needs CAP_NET_RAW).
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include "errors.h"
#include "wintypes.h"

typedef ULONG IPAddr;  // IPv4 address in network byte order

// ---- Windows Sockets ---------------------------------------------------------

#define MAKEWORD(low, high) ((WORD)(((BYTE)((low)&0xff)) | ((WORD)((BYTE)((high)&0xff))) << 8))
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

// Sockets need no start-up on Linux: both succeed (WSAStartup fills in the
// record for the version asked for).
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();

// ---- ICMP echo -----------------------------------------------------------------

// Status values of a reply.
#define IP_SUCCESS 0
#define IP_STATUS_BASE 11000
#define IP_BUF_TOO_SMALL (IP_STATUS_BASE + 1)
#define IP_DEST_HOST_UNREACHABLE (IP_STATUS_BASE + 3)
#define IP_REQ_TIMED_OUT (IP_STATUS_BASE + 10)
#define IP_GENERAL_FAILURE (IP_STATUS_BASE + 50)

typedef struct ip_option_information {
    BYTE Ttl;
    BYTE Tos;
    BYTE Flags;
    BYTE OptionsSize;
    BYTE* OptionsData;
} IP_OPTION_INFORMATION, *PIP_OPTION_INFORMATION;

// Laid out as on 64-bit Windows (40 bytes), so reply-buffer sizes computed
// the Windows way hold here too.
typedef struct icmp_echo_reply {
    IPAddr Address;
    ULONG Status;
    ULONG RoundTripTime;
    WORD DataSize;
    WORD Reserved;
    PVOID Data;
    IP_OPTION_INFORMATION Options;
} ICMP_ECHO_REPLY, *PICMP_ECHO_REPLY;

// INVALID_HANDLE_VALUE on failure, with the reason in GetLastError().
HANDLE IcmpCreateFile();
BOOL IcmpCloseHandle(HANDLE IcmpHandle);
// Sends one echo request and waits up to Timeout milliseconds for the reply
// that carries this request's identifier and sequence number. Returns the
// number of replies written to ReplyBuffer (0 or 1); on 0, GetLastError()
// tells why (IP_REQ_TIMED_OUT, IP_BUF_TOO_SMALL, ...). ReplySize must hold
// an ICMP_ECHO_REPLY plus RequestSize bytes.
DWORD IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, LPVOID RequestData, WORD RequestSize,
                   PIP_OPTION_INFORMATION RequestOptions, LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout);
