/* The anchor for the Windows TLS read path: one GET over https with Schannel through SSPI,
 * every decrypted piece written straight to a file (the response head included), until the
 * server closes. It is the platform's own ceiling, so it does only what Schannel needs: the
 * server's certificate is NOT checked (SCH_CRED_MANUAL_CRED_VALIDATION, and nothing after),
 * which is fine for a benchmark on loopback and never for anything else. The protocols are the
 * client's own: TLS 1.2 and 1.3 where the system offers it, TLS 1.2 otherwise.
 *   schannel_get PORT PATH OUTFILE   (127.0.0.1) */
#include <winsock2.h>

#include <windows.h>
#define SECURITY_WIN32
/* SCH_CREDENTIALS, which can ask for TLS 1.3, needs UNICODE_STRING first. */
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>

#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One receive asks for this much, as the client's does. */
#define RECEIVE_SIZE (256 << 10)
/* A record is at most 16 KiB plus its overhead; room for one left over before a receive. */
#define BUFFER_SIZE (RECEIVE_SIZE + (64 << 10))

static SOCKET s;
static CredHandle credentials;
static CtxtHandle context;
static char buffer[BUFFER_SIZE];
static size_t have; /* bytes from the socket at the front of buffer, not yet used */

static const ULONG requests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

static int send_all(const char* p, size_t n) {
    while (n > 0) {
        int sent = send(s, p, (int)n, 0);
        if (sent <= 0)
            return 0;
        p += sent;
        n -= (size_t)sent;
    }
    return 1;
}

/* Appends what the socket has: >0 bytes, 0 at its end, <0 on an error. */
static int receive_more(void) {
    size_t room = BUFFER_SIZE - have;
    int got = recv(s, buffer + have, (int)(room < RECEIVE_SIZE ? room : RECEIVE_SIZE), 0);
    if (got > 0)
        have += (size_t)got;
    return room == 0 ? -1 : got;
}

/* One handshake call on what buffer holds: sends its token, keeps what it left unread. */
static SECURITY_STATUS step(int first) {
    SecBuffer in[2] = {{(unsigned long)have, SECBUFFER_TOKEN, buffer}, {0, SECBUFFER_EMPTY, NULL}};
    SecBufferDesc inputs = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, NULL}};
    SecBufferDesc outputs = {SECBUFFER_VERSION, 1, out};
    ULONG attributes;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials, first ? NULL : &context, "127.0.0.1", requests, 0, 0, first ? NULL : &inputs,
        0, first ? &context : NULL, &outputs, &attributes, NULL);
    if (out[0].pvBuffer) {
        int ok = send_all(out[0].pvBuffer, out[0].cbBuffer);
        FreeContextBuffer(out[0].pvBuffer);
        if (!ok)
            return SEC_E_INTERNAL_ERROR;
    }
    if (!first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
        size_t extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        memmove(buffer, buffer + have - extra, extra);
        have = extra;
    }
    return status;
}

static int acquire(void) {
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TLS_PARAMETERS parameters = {0};
    parameters.grbitDisabledProtocols = (DWORD) ~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern = {0};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    if (AcquireCredentialsHandleA(NULL, (char*)UNISP_NAME_A, SECPKG_CRED_OUTBOUND, NULL, &modern,
                                  NULL, NULL, &credentials, NULL) == SEC_E_OK)
        return 1;
    SCHANNEL_CRED legacy = {0};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.dwFlags = flags;
    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    return AcquireCredentialsHandleA(NULL, (char*)UNISP_NAME_A, SECPKG_CRED_OUTBOUND, NULL, &legacy,
                                     NULL, NULL, &credentials, NULL) == SEC_E_OK;
}

static int handshake(void) {
    SECURITY_STATUS status = step(1);
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        if ((have == 0 || status == SEC_E_INCOMPLETE_MESSAGE) && receive_more() <= 0)
            return 0;
        status = step(0);
    }
    return status == SEC_E_OK;
}

static int send_request(const char* request, size_t n) {
    SecPkgContext_StreamSizes sizes;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK ||
        n > sizes.cbMaximumMessage)
        return 0;
    char record[1024];
    if (sizes.cbHeader + n + sizes.cbTrailer > sizeof record)
        return 0;
    memcpy(record + sizes.cbHeader, request, n);
    SecBuffer b[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                      {(unsigned long)n, SECBUFFER_DATA, record + sizes.cbHeader},
                      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + n},
                      {0, SECBUFFER_EMPTY, NULL}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, b};
    if (EncryptMessage(&context, 0, &message, 0) != SEC_E_OK)
        return 0;
    return send_all(record, b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
}

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, (struct sockaddr*)&a, sizeof a) != 0)
        return 1;
    if (!acquire() || !handshake()) {
        fprintf(stderr, "schannel_get: no TLS session\n");
        return 1;
    }
    char request[512];
    int n = snprintf(request, sizeof request,
                     "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n", argv[2],
                     argv[1]);
    if (!send_request(request, (size_t)n))
        return 1;
    HANDLE out =
        CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE)
        return 1;
    /* Records are decrypted where they lie; a partial one moves to the front once per receive.
     * The end is the peer's close_notify or the socket's end (Wine may hand the former over as
     * an empty record). */
    for (;;) {
        size_t at = 0;
        while (at < have) {
            SecBuffer b[4] = {{(unsigned long)(have - at), SECBUFFER_DATA, buffer + at},
                              {0, SECBUFFER_EMPTY, NULL},
                              {0, SECBUFFER_EMPTY, NULL},
                              {0, SECBUFFER_EMPTY, NULL}};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, b};
            SECURITY_STATUS status = DecryptMessage(&context, &message, 0, NULL);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                break;
            if (status == SEC_I_CONTEXT_EXPIRED)
                goto done;
            if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
                return 1;
            size_t extra = 0;
            for (int i = 0; i < 4; ++i) {
                DWORD written;
                if (b[i].BufferType == SECBUFFER_DATA && b[i].cbBuffer > 0 &&
                    (!WriteFile(out, b[i].pvBuffer, b[i].cbBuffer, &written, NULL) ||
                     written != b[i].cbBuffer))
                    return 1;
                if (b[i].BufferType == SECBUFFER_EXTRA)
                    extra = b[i].cbBuffer;
            }
            at = have - extra;
            if (status == SEC_I_RENEGOTIATE) {
                /* A TLS 1.3 ticket or key update: the handshake call takes it. */
                memmove(buffer, buffer + at, have - at);
                have -= at;
                at = 0;
                status = step(0);
                if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
                    return 1;
            }
        }
        memmove(buffer, buffer + at, have - at);
        have -= at;
        int got = receive_more();
        if (got < 0)
            return 1;
        if (got == 0)
            break;
    }
done:
    CloseHandle(out);
    DeleteSecurityContext(&context);
    FreeCredentialsHandle(&credentials);
    closesocket(s);
    WSACleanup();
    return 0;
}
