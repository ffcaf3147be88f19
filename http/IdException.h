#pragma once
// The network client's exceptions. Every failure of the client is one of these, each with a
// fixed English message.

#include <cstdint>
#include <string>

#include "support/Exception.h"

#define QVB_ID_EXCEPTION(Name, Base)                                                               \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

QVB_ID_EXCEPTION(EIdException, Exception);

QVB_ID_EXCEPTION(EIdSilentException, EIdException);
class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

QVB_ID_EXCEPTION(EIdTCPConnectionError, EIdException);
QVB_ID_EXCEPTION(EIdNotEnoughDataInBuffer, EIdTCPConnectionError);
QVB_ID_EXCEPTION(EIdIOHandlerPropInvalid, EIdTCPConnectionError);
QVB_ID_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError);
QVB_ID_EXCEPTION(EIdNotConnected, EIdTCPConnectionError);

QVB_ID_EXCEPTION(EIdAlreadyConnected, EIdException);
QVB_ID_EXCEPTION(EIdClosedSocket, EIdException);
QVB_ID_EXCEPTION(EIdReadTimeout, EIdException);
// A send that the peer did not take within the time left: it never reads what we write.
QVB_ID_EXCEPTION(EIdWriteTimeout, EIdException);
QVB_ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
QVB_ID_EXCEPTION(EIdInvalidSocket, EIdException);
// A TLS handshake that failed, or a server certificate that did not verify.
QVB_ID_EXCEPTION(EIdTlsError, EIdException);
// A TLS peer that ended the connection without closing its session: a cut body must never pass
// for a whole one.
QVB_ID_EXCEPTION(EIdTlsTruncated, EIdException);

QVB_ID_EXCEPTION(EIdStackError, EIdException);
QVB_ID_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
QVB_ID_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
QVB_ID_EXCEPTION(EIdInvalidIPAddress, EIdStackError);
QVB_ID_EXCEPTION(EIdWS2StubError, EIdException);

QVB_ID_EXCEPTION(EIdSocketHandleError, EIdException);
QVB_ID_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError);
QVB_ID_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
QVB_ID_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);

#undef QVB_ID_EXCEPTION

// A numbered reply of a protocol peer; the base of the HTTP protocol exception.
class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(std::int32_t errorCode, std::string message)
        : EIdException(std::move(message)), errorCode_(errorCode) {}
    std::int32_t ErrorCode() const { return errorCode_; }

private:
    std::int32_t errorCode_;
};

// A failed socket call; LastError is the Windows Sockets error number.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(std::int32_t lastError, std::string message)
        : EIdException(std::move(message)), lastError_(lastError) {}
    std::int32_t LastError() const { return lastError_; }

private:
    std::int32_t lastError_;
};
