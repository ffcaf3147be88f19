/* The anchor for the Windows read path: one GET over a plain Winsock socket, every received
 * piece written straight to a file (the response head included), until the server closes.
 *   winsock_get PORT PATH OUTFILE   (127.0.0.1) */
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, (struct sockaddr*)&a, sizeof a) != 0)
        return 1;
    char request[512];
    int n = snprintf(request, sizeof request,
                     "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n",
                     argv[2], argv[1]);
    if (send(s, request, n, 0) != n)
        return 1;
    HANDLE out = CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE)
        return 1;
    static char buffer[65536];
    int got;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0) {
        DWORD written;
        if (!WriteFile(out, buffer, (DWORD)got, &written, NULL) || written != (DWORD)got)
            return 1;
    }
    CloseHandle(out);
    closesocket(s);
    WSACleanup();
    return got == 0 ? 0 : 1;
}
