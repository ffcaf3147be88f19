#include "platform/Crypto.h"

#include <cerrno>
#include <sys/random.h>

#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace platform {

namespace {

template <class T, void (*Free)(T*)> struct TFree {
    void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)> using TOwned = std::unique_ptr<T, TFree<T, Free>>;

using TPKey = TOwned<EVP_PKEY, EVP_PKEY_free>;
using TPKeyContext = TOwned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using TParamBuilder = TOwned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using TParams = TOwned<OSSL_PARAM, OSSL_PARAM_free>;
using TEcdsaSig = TOwned<ECDSA_SIG, ECDSA_SIG_free>;

TPKey ImportPoint(const TP256Point& point) {
    TParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                         0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size()))
        return nullptr;
    TParams params(OSSL_PARAM_BLD_to_param(builder.get()));
    TPKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    return TPKey(key);
}

} // namespace

struct TSha256::TImpl {
    TOwned<EVP_MD_CTX, EVP_MD_CTX_free> context{EVP_MD_CTX_new()};
    bool ok = false;
};

TSha256::TSha256() : impl_(std::make_unique<TImpl>()) {
    Reset();
}

TSha256::~TSha256() = default;

void TSha256::Reset() {
    impl_->ok =
        impl_->context && EVP_DigestInit_ex(impl_->context.get(), EVP_sha256(), nullptr) == 1;
}

void TSha256::Update(const void* bytes, std::size_t n) {
    impl_->ok = impl_->ok && EVP_DigestUpdate(impl_->context.get(), bytes, n) == 1;
}

bool TSha256::Final(TSha256Digest& digest) {
    unsigned int size = 0;
    bool ok = impl_->ok && EVP_DigestFinal_ex(impl_->context.get(), digest.data(), &size) == 1 &&
              size == digest.size();
    Reset();
    return ok;
}

bool VerifyP256(const TP256Point& point, const TSha256Digest& digest,
                const TP256Signature& signature) {
    TPKey key = ImportPoint(point);
    if (!key)
        return false;
    // libcrypto takes the signature in DER: r and s go back into their structure.
    TEcdsaSig sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || !r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    int length = i2d_ECDSA_SIG(sig.get(), &der);
    if (length <= 0)
        return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
        der, [](unsigned char* p) { OPENSSL_free(p); });
    TPKeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
           EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(length), digest.data(),
                           digest.size()) == 1;
}

bool RandomBytes(void* bytes, std::size_t n) {
    auto* at = static_cast<unsigned char*>(bytes);
    while (n > 0) {
        const ssize_t got = ::getrandom(at, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace platform
